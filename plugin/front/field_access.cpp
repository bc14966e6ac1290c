// Glomora_GetField, Glomora_GetFieldTiles: the host's read-only view of the
// voxel field behind the latest mesh, dense or in tiles, found through the
// instance registry like the transfer operators find their main operator.

#include "front/glomora_api.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "front/instance_registry.h"
#include "front/operator_instance.h"

namespace {

// The instance whose latest evaluation extracted its mesh from its lattices,
// or null.
const OperatorInstance* FieldInstance(const XSI::CString& operatorFullName) {
  const OperatorInstance* in = FindInstance(operatorFullName);
  if (in == nullptr) return nullptr;
  // Mode 3 fills the mesh from a cache file and leaves the lattice as an
  // earlier evaluation left it; Space 1 never touches it.
  const Settings& settings = in->settings;
  if (settings.space != Space::kVoxelGrid || settings.mute || settings.mode < Mode::kDirect ||
      settings.mode > Mode::kWriteCache || !in->mesh.valid || !in->gridPolygonizer.ready) {
    return nullptr;
  }
  const Int3& r = settings.resolution;
  if (r.x >= INT32_MAX || r.y >= INT32_MAX || r.z >= INT32_MAX ||
      !in->gridPolygonizer.HasFieldDimensions(r.x + 1, r.y + 1, r.z + 1)) {
    return nullptr;
  }
  return in;
}

// What GlomoraField and GlomoraFieldTiles both say of the field: its
// lattice, its place, its isovalue, its frame and its elements' box.
template <class Description>
void DescribeField(const OperatorInstance& in, Description& field) {
  const Settings& settings = in.settings;
  const Int3& r = settings.resolution;
  field.nx = r.x + 1;
  field.ny = r.y + 1;
  field.nz = r.z + 1;
  field.cellSize[0] = settings.cellSize.x;
  field.cellSize[1] = settings.cellSize.y;
  field.cellSize[2] = settings.cellSize.z;
  field.origin[0] = -settings.halfSize.x;
  field.origin[1] = -settings.halfSize.y;
  field.origin[2] = -settings.halfSize.z;
  field.isovalue = settings.isovalue;
  field.frame = in.fieldFrame;
  field.elementCount = in.fieldElements;
  const Float3& low = in.fieldElementsLow;
  const Float3& high = in.fieldElementsHigh;
  for (int axis = 0; axis < 3; ++axis) {
    field.elementsLow[axis] = axis == 0 ? low.x : axis == 1 ? low.y : low.z;
    field.elementsHigh[axis] = axis == 0 ? high.x : axis == 1 ? high.y : high.z;
  }
}

// True when every value is +0, bit for bit (-0 counts as a value: dense
// lattices hand out what they hold).
bool AllPositiveZeroBits(const float* values, size_t count) {
  for (size_t n = 0; n < count; ++n) {
    uint32_t bits;
    std::memcpy(&bits, values + n, sizeof(bits));
    if (bits != 0) return false;
  }
  return true;
}

// The tiles of the simulated field that hold a value other than +0, in
// ascending tile index: the lattice's own tiles, or for a dense lattice
// copies of its points (those past the lattice 0). Throws std::bad_alloc.
void ListFieldTiles(const GridPolygonizer& grid, int32_t nx, int32_t ny, int32_t nz, FieldTileList& list) {
  list.tiles.clear();
  list.copies.clear();
  const int32_t tx = (nx + kTileSide - 1) >> kTileShift;
  const int32_t ty = (ny + kTileSide - 1) >> kTileShift;
  const int32_t tz = (nz + kTileSide - 1) >> kTileShift;
  if (grid.storage == LatticeStorage::kSparse) {
    const TiledLattice& lattice = grid.tiledLattice;
    for (int32_t ti = 0; ti < tx; ++ti) {
      for (int32_t tj = 0; tj < ty; ++tj) {
        for (int32_t tk = 0; tk < tz; ++tk) {
          const float* values = lattice.FieldTile(lattice.TileIndex(ti, tj, tk));
          if (values == nullptr || AllPositiveZeroBits(values, kTilePoints)) continue;
          list.tiles.push_back(GlomoraFieldTile{{ti << kTileShift, tj << kTileShift, tk << kTileShift}, values});
        }
      }
    }
    return;
  }
  // Dense: one tile's points gathered at the end of the copies, kept when
  // one of them is not +0; the pointers are set once the copies stop moving.
  const float* field = grid.accumulatedField.Data();
  std::vector<size_t> at;
  for (int32_t ti = 0; ti < tx; ++ti) {
    const int32_t i0 = ti << kTileShift, iCount = std::min(kTileSide, nx - i0);
    for (int32_t tj = 0; tj < ty; ++tj) {
      const int32_t j0 = tj << kTileShift, jCount = std::min(kTileSide, ny - j0);
      for (int32_t tk = 0; tk < tz; ++tk) {
        const int32_t k0 = tk << kTileShift, kCount = std::min(kTileSide, nz - k0);
        const size_t start = list.copies.size();
        list.copies.resize(start + kTilePoints, 0.0f);
        float* tile = list.copies.data() + start;
        bool kept = false;
        for (int32_t i = 0; i < iCount; ++i) {
          for (int32_t j = 0; j < jCount; ++j) {
            const float* row = field + (static_cast<size_t>(i0 + i) * static_cast<size_t>(ny) +
                                        static_cast<size_t>(j0 + j)) * static_cast<size_t>(nz) +
                               static_cast<size_t>(k0);
            const size_t bytes = static_cast<size_t>(kCount) * sizeof(float);
            std::memcpy(tile + TilePoint(i, j, 0), row, bytes);
            kept = kept || !AllPositiveZeroBits(row, static_cast<size_t>(kCount));
          }
        }
        if (!kept) {
          list.copies.resize(start);
          continue;
        }
        at.push_back(start);
        list.tiles.push_back(GlomoraFieldTile{{i0, j0, k0}, nullptr});
      }
    }
  }
  for (size_t t = 0; t < at.size(); ++t) list.tiles[t].values = list.copies.data() + at[t];
}


}  // namespace

int32_t Glomora_FieldInsideOnBoxFaces(const XSI::CString& operatorFullName) {
  const OperatorInstance* in = FieldInstance(operatorFullName);
  if (in == nullptr) return -1;
  const GridPolygonizer& grid = in->gridPolygonizer;
  const float iso = in->settings.isovalue;
  const int32_t nx = in->settings.resolution.x + 1, ny = in->settings.resolution.y + 1, nz = in->settings.resolution.z + 1;
  for (int32_t i = 0; i < nx; ++i) {
    const bool sideI = i == 0 || i == nx - 1;
    for (int32_t j = 0; j < ny; ++j) {
      if (sideI || j == 0 || j == ny - 1) {
        for (int32_t k = 0; k < nz; ++k) {
          if (grid.FieldAt(i, j, k) > iso) return 1;
        }
      } else if (grid.FieldAt(i, j, 0) > iso || grid.FieldAt(i, j, nz - 1) > iso) {
        return 1;
      }
    }
  }
  return 0;
}

bool Glomora_GetField(const XSI::CString& operatorFullName, GlomoraField& field) {
  const OperatorInstance* in = FieldInstance(operatorFullName);
  if (in == nullptr) return false;
  const Settings& settings = in->settings;
  const GridPolygonizer& grid = in->gridPolygonizer;
  const Int3& r = settings.resolution;
  // The dense contract indexes the copy with int32 counts: a tiled lattice
  // of more points (each axis fits, their product may not) has no copy.
  const uint64_t points = (static_cast<uint64_t>(r.x) + 1) * (static_cast<uint64_t>(r.y) + 1) * (static_cast<uint64_t>(r.z) + 1);
  if (points > static_cast<uint64_t>(INT32_MAX)) return false;
  // Tiled lattices are made dense here, once per field.
  const float* values = grid.DenseField();
  if (values == nullptr) return false;
  field.values = values;
  DescribeField(*in, field);
  return true;
}

bool Glomora_GetFieldTiles(const XSI::CString& operatorFullName, GlomoraFieldTiles& tiles) {
  const OperatorInstance* in = FieldInstance(operatorFullName);
  if (in == nullptr) return false;
  const Settings& settings = in->settings;
  const GridPolygonizer& grid = in->gridPolygonizer;
  const Int3& r = settings.resolution;
  FieldTileList& list = in->fieldTiles;
  if (list.version != grid.fieldVersion) {
    list.version = 0;
    try {
      ListFieldTiles(grid, r.x + 1, r.y + 1, r.z + 1, list);
    } catch (const std::bad_alloc&) {
      list = FieldTileList();
      return false;
    }
    list.version = grid.fieldVersion;
  }
  tiles.tiles = list.tiles.data();
  tiles.tileCount = list.tiles.size();
  tiles.tileSide = kTileSide;
  DescribeField(*in, tiles);
  return true;
}
