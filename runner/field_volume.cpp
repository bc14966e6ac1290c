#include "field_volume.h"

#include "atomic_file.h"
#include "front/glomora_api.h"
#include "vdb_files.h"

bool FieldVolumesAvailable(std::string& error) { return LoadVdbModule(error); }

VolumeWrite EncodeFieldVolume(const XSI::CString& operatorFullName, const std::string& sceneName, std::string& bytes,
                              std::string& error) {
  GlomoraField field{};
  if (!Glomora_GetField(operatorFullName, field)) return VolumeWrite::NoField;
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
  return EncodeFieldVdb(lattice, labels, bytes, error) ? VolumeWrite::Written : VolumeWrite::Failed;
}

VolumeWrite WriteFieldVolume(const GlomoraRig& rig, const std::string& sceneName, const std::string& path,
                             std::string& error) {
  std::string bytes;
  const VolumeWrite made = EncodeFieldVolume(rig.op.GetAsText(), sceneName, bytes, error);
  if (made != VolumeWrite::Written) return made;
  return WriteFileAtomically(path, bytes, error) ? VolumeWrite::Written : VolumeWrite::Failed;
}
