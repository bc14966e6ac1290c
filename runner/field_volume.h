#pragma once
// The voxel field behind a rig's latest mesh, written as an OpenVDB volume.

#include <string>

#include "glomora_rig.h"

enum class VolumeWrite {
  Written,  // the bytes are made (and the file is complete under its final name)
  NoField,  // the latest evaluation had no voxel field (Space 1, Mode 3, no result): nothing written
  Failed,   // the file could not be made or written: `error` says why, nothing left behind
};

// Whether this process can write volumes: false with a message naming the
// file when the OpenVDB module cannot be loaded (vdb_files.h).
bool FieldVolumesAvailable(std::string& error);

// Where the volume's voxels are read from: the field's tiles
// (Glomora_GetFieldTiles; a leaf of the grid per tile, so the memory taken is
// that of the tiles holding the field) or its dense lattice
// (Glomora_GetField, which makes tiled lattices dense). The same bytes.
enum class FieldVolumeSource { Tiles, Dense };

// The bytes of an OpenVDB file holding the field of the latest evaluation
// of the main operator named `operatorFullName`: a float
// grid "density" in the space of the mesh, with the scene's name, the
// iso-value and the frame in its metadata (vdb_files.h); no file is written.
// With `velocity`, also the vector grid "v": the velocity carried from the
// elements onto each lattice point where the density is not 0, as onto the
// mesh's vertices (Glomora_TransferAttributeAt; units per frame), which the
// operator must have been asked for (Glomora_SetTransferAttributes).
VolumeWrite EncodeFieldVolume(const XSI::CString& operatorFullName, const std::string& sceneName, std::string& bytes,
                              std::string& error, bool velocity = false,
                              FieldVolumeSource source = FieldVolumeSource::Tiles);

// The same (from the tiles) for the rig's main operator, written to `path` under a temporary
// name in the same folder, then renamed.
VolumeWrite WriteFieldVolume(const GlomoraRig& rig, const std::string& sceneName, const std::string& path,
                             std::string& error, bool velocity = false);
