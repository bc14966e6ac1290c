#pragma once
// The voxel field behind a rig's latest mesh, written as an OpenVDB volume.

#include <string>

#include "glomora_rig.h"

enum class VolumeWrite {
  Written,  // the file is complete under its final name
  NoField,  // the latest evaluation had no voxel field (Space 1, Mode 3, no result): nothing written
  Failed,   // the file could not be made or written: `error` says why, nothing left behind
};

// Writes the field of the rig's latest evaluation (Glomora_GetField) to
// `path` as an OpenVDB float grid "density" in the space of the mesh, with
// the scene's name, the iso-value and the frame in its metadata; the file is
// written under a temporary name in the same folder, then renamed.
VolumeWrite WriteFieldVolume(const GlomoraRig& rig, const std::string& sceneName, const std::string& path,
                             std::string& error);
