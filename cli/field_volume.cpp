#include "field_volume.h"

#include "atomic_file.h"
#include "glomora_api.h"
#include "vdb_files.h"

VolumeWrite WriteFieldVolume(const GlomoraRig& rig, const std::string& sceneName, const std::string& path,
                             std::string& error) {
  GlomoraField field{};
  if (!Glomora_GetField(rig.op.GetAsText(), field)) return VolumeWrite::NoField;
  FieldLattice lattice;
  lattice.values = field.values;
  lattice.nx = field.nx;
  lattice.ny = field.ny;
  lattice.nz = field.nz;
  for (int axis = 0; axis < 3; ++axis) {
    lattice.voxelSize[axis] = static_cast<double>(field.cellSize[axis]);
    lattice.origin[axis] = static_cast<double>(field.origin[axis]);
  }
  FieldLabels labels;
  labels.isovalue = field.isovalue;
  labels.scene = sceneName;
  labels.frame = field.frame;
  labels.creator = std::string("glomora ") + Glomora_Version();
  std::string bytes;
  if (!EncodeFieldVdb(lattice, labels, bytes, error) || !WriteFileAtomically(path, bytes, error)) {
    return VolumeWrite::Failed;
  }
  return VolumeWrite::Written;
}
