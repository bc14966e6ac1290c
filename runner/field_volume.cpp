#include "field_volume.h"

#include <new>
#include <vector>

#include "atomic_file.h"
#include "front/glomora_api.h"
#include "vdb_files.h"

bool FieldVolumesAvailable(std::string& error) { return LoadVdbModule(error); }

namespace {

// The velocity carried onto the points (three coordinates each) into
// `velocity`: `count` slots of three floats, zeros but at the slots `at`.
bool CarryVelocity(const XSI::CString& operatorFullName, const std::vector<double>& points,
                   const std::vector<size_t>& at, size_t count, std::vector<float>& velocity, std::string& error) {
  std::vector<float> values(3 * at.size());
  if (!at.empty() && !Glomora_TransferAttributeAt(operatorFullName, "v", 3, points.data(), at.size(), values.data())) {
    error = "the velocity \"v\" cannot be carried onto the field's lattice (the scene carries no velocity)";
    return false;
  }
  velocity.assign(3 * count, 0.0f);
  for (size_t p = 0; p < at.size(); ++p) {
    for (size_t c = 0; c < 3; ++c) velocity[3 * at[p] + c] = values[3 * p + c];
  }
  return true;
}

// The velocity at the lattice points of `field` whose value is not 0 (zeros
// at the others), three floats per point in the lattice's order.
bool LatticeVelocity(const XSI::CString& operatorFullName, const GlomoraField& field, std::vector<float>& velocity,
                     std::string& error) {
  const size_t count = static_cast<size_t>(field.nx) * static_cast<size_t>(field.ny) * static_cast<size_t>(field.nz);
  std::vector<double> points;
  std::vector<size_t> at;
  for (int32_t i = 0; i < field.nx; ++i) {
    for (int32_t j = 0; j < field.ny; ++j) {
      for (int32_t k = 0; k < field.nz; ++k) {
        const size_t n = (static_cast<size_t>(i) * static_cast<size_t>(field.ny) + static_cast<size_t>(j)) *
                             static_cast<size_t>(field.nz) +
                         static_cast<size_t>(k);
        if (field.values[n] == 0.0f) continue;
        at.push_back(n);
        const int32_t ijk[3] = {i, j, k};
        for (int a = 0; a < 3; ++a) {
          points.push_back(static_cast<double>(field.origin[a]) + ijk[a] * static_cast<double>(field.cellSize[a]));
        }
      }
    }
  }
  return CarryVelocity(operatorFullName, points, at, count, velocity, error);
}

// The velocity at the points of `field`'s tiles whose value is not 0 (zeros
// at the others), 3 * 512 floats a tile in the tiles' order.
bool TileVelocity(const XSI::CString& operatorFullName, const GlomoraFieldTiles& field, std::vector<float>& velocity,
                  std::string& error) {
  constexpr size_t kPoints = 512;
  std::vector<double> points;
  std::vector<size_t> at;  // tile * 512 + point
  for (size_t t = 0; t < field.tileCount; ++t) {
    const GlomoraFieldTile& tile = field.tiles[t];
    for (size_t n = 0; n < kPoints; ++n) {
      if (tile.values[n] == 0.0f) continue;
      at.push_back(t * kPoints + n);
      const int32_t ijk[3] = {tile.origin[0] + static_cast<int32_t>(n >> 6),
                              tile.origin[1] + static_cast<int32_t>((n >> 3) & 7),
                              tile.origin[2] + static_cast<int32_t>(n & 7)};
      for (int a = 0; a < 3; ++a) {
        points.push_back(static_cast<double>(field.origin[a]) + ijk[a] * static_cast<double>(field.cellSize[a]));
      }
    }
  }
  return CarryVelocity(operatorFullName, points, at, kPoints * field.tileCount, velocity, error);
}

// The lattice's size and place in the volume, from the plug-in's field (dense or in tiles).
template <class Field, class Lattice>
void PlaceLattice(const Field& field, Lattice& lattice) {
  lattice.nx = field.nx;
  lattice.ny = field.ny;
  lattice.nz = field.nz;
  for (int axis = 0; axis < 3; ++axis) {
    lattice.voxelSize[axis] = static_cast<double>(field.cellSize[axis]);
    lattice.origin[axis] = static_cast<double>(field.origin[axis]);
  }
}

FieldLabels LabelsOf(float isovalue, int32_t frame, const std::string& sceneName) {
  FieldLabels labels;
  labels.isovalue = isovalue;
  labels.scene = sceneName;
  labels.frame = frame;
  labels.creator = std::string("glomora ") + Glomora_Version();
  return labels;
}

// The file made from the field's tiles, leaf by leaf.
VolumeWrite EncodeFromTiles(const XSI::CString& operatorFullName, const std::string& sceneName, std::string& bytes,
                            std::string& error, bool velocity) {
  GlomoraFieldTiles field{};
  if (!Glomora_GetFieldTiles(operatorFullName, field)) {
    // No field, or its tile list could not be had (out of memory).
    if (Glomora_FieldInsideOnBoxFaces(operatorFullName) < 0) return VolumeWrite::NoField;
    error = "out of memory listing the field's tiles";
    return VolumeWrite::Failed;
  }
  std::vector<float> vectors;
  if (velocity && !TileVelocity(operatorFullName, field, vectors, error)) return VolumeWrite::Failed;
  std::vector<FieldTile> tiles(field.tileCount);
  for (size_t t = 0; t < field.tileCount; ++t) {
    for (int axis = 0; axis < 3; ++axis) tiles[t].origin[axis] = field.tiles[t].origin[axis];
    tiles[t].values = field.tiles[t].values;
    if (velocity) tiles[t].velocity = vectors.data() + 3 * 512 * t;
  }
  FieldTiles lattice;
  lattice.tiles = tiles;
  PlaceLattice(field, lattice);
  lattice.hasVelocity = velocity;
  return EncodeFieldTilesVdb(lattice, LabelsOf(field.isovalue, field.frame, sceneName), bytes, error)
             ? VolumeWrite::Written
             : VolumeWrite::Failed;
}

}  // namespace

VolumeWrite EncodeFieldVolume(const XSI::CString& operatorFullName, const std::string& sceneName, std::string& bytes,
                              std::string& error, bool velocity, FieldVolumeSource source) {
  if (source == FieldVolumeSource::Tiles) {
    try {
      return EncodeFromTiles(operatorFullName, sceneName, bytes, error, velocity);
    } catch (const std::bad_alloc&) {
      bytes.clear();
      error = "out of memory writing the field's volume";
      return VolumeWrite::Failed;
    }
  }
  GlomoraField field{};
  if (!Glomora_GetField(operatorFullName, field)) return VolumeWrite::NoField;
  FieldLattice lattice;
  lattice.values = field.values;
  PlaceLattice(field, lattice);
  std::vector<float> vectors;
  if (velocity) {
    if (!LatticeVelocity(operatorFullName, field, vectors, error)) return VolumeWrite::Failed;
    lattice.velocity = vectors.data();
  }
  return EncodeFieldVdb(lattice, LabelsOf(field.isovalue, field.frame, sceneName), bytes, error) ? VolumeWrite::Written : VolumeWrite::Failed;
}

VolumeWrite WriteFieldVolume(const GlomoraRig& rig, const std::string& sceneName, const std::string& path,
                             std::string& error, bool velocity) {
  std::string bytes;
  const VolumeWrite made = EncodeFieldVolume(rig.op.GetAsText(), sceneName, bytes, error, velocity);
  if (made != VolumeWrite::Written) return made;
  return WriteFileAtomically(path, bytes, error) ? VolumeWrite::Written : VolumeWrite::Failed;
}
