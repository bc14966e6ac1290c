// Surface extraction from the accumulated field: every lattice cube is
// classified against the iso value, each crossed lattice edge (or, with six
// tetrahedra per cube, crossed face or body diagonal) gets one shared vertex,
// and polygons are made per cube from the cube table, the tetrahedra or boxes.
//
// In three passes, each spread over threads when there are some:
// 1) the sign bits of every lattice plane;
// 2) per slab of cubes, the vertices and polygon entries it adds
//    (extraction_counts.h), then where each slab's part of the arrays
//    starts, and the arrays sized once;
// 3) runs of slabs, each writing its part (slab_walk.h).
// The arrays come out as one walk over all cubes would append them.
//
// Measured on the 256^3 peer field (200 elements, 802,872 triangles), one
// thread of a shared 2-core machine: see bench/README.md.

#include <algorithm>
#include <new>

#include "base/parallel.h"
#include "grid/extraction_counts.h"
#include "grid/grid_polygonizer.h"
#include "xsi_application.h"

namespace {

// The sign bits of row (i, j) of a tiled lattice: an absent tile's points
// hold 0. A row whose column of tiles (i / 8, j / 8) holds none is written
// whole words at a time.
void ComputeTiledRowSigns(const TiledLattice& lattice, int32_t i, int32_t j, float iso, bool columnHasTiles,
                          int32_t words, uint64_t* out) {
  const int32_t nz = lattice.Nz();
  const uint64_t absent = 0.0f > iso ? ~uint64_t{0} : 0;
  if (!columnHasTiles) {
    std::fill_n(out, words, absent);
    out[words - 1] &= BitsBelow(words - 1, nz);
    return;
  }
  const size_t firstTile = lattice.TileOf(i, j, 0);
  float values[64];
  for (int32_t k = 0, w = 0; k < nz; k += 64, ++w) {
    const int32_t count = std::min(64, nz - k);
    bool any = false;
    for (int32_t k0 = k; k0 < k + count; k0 += kTileSide) {
      const float* tile = lattice.FieldTile(firstTile + static_cast<size_t>(k0 >> kTileShift));
      const int32_t width = std::min(kTileSide, nz - k0);
      if (tile != nullptr) {
        std::copy_n(tile + TilePoint(i, j, k0), width, values + (k0 - k));
        any = true;
      } else {
        std::fill_n(values + (k0 - k), width, 0.0f);
      }
    }
    if (any) {
      ComputeRowSigns(values, count, iso, out + w);
    } else {
      out[w] = absent & BitsBelow(0, count);
    }
  }
}

// Per column of tiles (ti, tj), at ti * tilesY + tj, whether it holds a
// field tile.
void FindTileColumns(const TiledLattice& lattice, std::vector<uint8_t>& columns) {
  const int32_t ty = lattice.TilesY(), tz = lattice.TilesZ();
  columns.resize(static_cast<size_t>(lattice.TilesX()) * static_cast<size_t>(ty));
  uint8_t* out = columns.data();
  parallel::ForEachRange(static_cast<int64_t>(columns.size()), 256, [&](int64_t begin, int64_t end) {
    for (int64_t c = begin; c < end; ++c) {
      const size_t first = static_cast<size_t>(c) * static_cast<size_t>(tz);
      bool any = false;
      for (int32_t tk = 0; tk < tz && !any; ++tk) any = lattice.FieldTile(first + static_cast<size_t>(tk)) != nullptr;
      out[c] = any ? 1 : 0;
    }
  });
}

// From the tile columns, the rows each slab reads and those whose sign bits
// each plane must hold (ExtractionScratch). A cube or edge all of whose
// corners lie in absent tiles has corners of one sign (0 against the iso
// value): only the rows j of a slab's cubes beside a row j or j + 1 whose
// column holds a tile on either plane can be crossed.
void FindSlabRows(const TiledLattice& lattice, ExtractionScratch& scratch) {
  const int32_t nx = lattice.Nx(), ny = lattice.Ny(), tx = lattice.TilesX(), ty = lattice.TilesY();
  scratch.tileRows.resize(2 * static_cast<size_t>(tx));
  scratch.slabRows.resize(2 * static_cast<size_t>(nx - 1));
  scratch.planeRows.resize(2 * static_cast<size_t>(nx));
  int32_t* tileRows = scratch.tileRows.data();
  for (int32_t ti = 0; ti < tx; ++ti) {
    const uint8_t* column = scratch.tileColumns.data() + static_cast<size_t>(ti) * static_cast<size_t>(ty);
    int32_t first = ty, last = -1;
    for (int32_t tj = 0; tj < ty; ++tj) {
      if (column[tj] == 0) continue;
      first = std::min(first, tj);
      last = tj;
    }
    tileRows[2 * ti] = last < 0 ? 0 : first << kTileShift;
    tileRows[2 * ti + 1] = last < 0 ? 0 : std::min(ny, (last + 1) << kTileShift);
  }
  int32_t* slabRows = scratch.slabRows.data();
  for (int32_t i = 0; i + 1 < nx; ++i) {
    const int32_t* a = tileRows + 2 * (i >> kTileShift);
    const int32_t* b = tileRows + 2 * ((i + 1) >> kTileShift);
    const bool hasA = a[0] < a[1], hasB = b[0] < b[1];
    int32_t first = 0, end = 0;
    if (hasA || hasB) {
      first = std::max(0, std::min(hasA ? a[0] : ny, hasB ? b[0] : ny) - 1);
      end = std::max(hasA ? a[1] : 0, hasB ? b[1] : 0);
    }
    slabRows[2 * static_cast<size_t>(i)] = first;
    slabRows[2 * static_cast<size_t>(i) + 1] = end;
  }
  // Plane p: rows j and j + 1 of its slabs' rows j, slabs p - 1 and p.
  int32_t* planeRows = scratch.planeRows.data();
  for (int32_t p = 0; p < nx; ++p) {
    int32_t first = ny, end = 0;
    for (const int32_t s : {p - 1, p}) {
      if (s < 0 || s + 1 >= nx) continue;
      const int32_t* rows = slabRows + 2 * static_cast<size_t>(s);
      if (rows[0] >= rows[1]) continue;
      first = std::min(first, rows[0]);
      end = std::max(end, std::min(ny, rows[1] + 1));
    }
    planeRows[2 * static_cast<size_t>(p)] = first < end ? first : 0;
    planeRows[2 * static_cast<size_t>(p) + 1] = first < end ? end : 0;
  }
}

// Where each plane's held rows start, packed; false when the words of all
// do not fit a size_t.
bool PackPlaneRows(ExtractionScratch& scratch, int32_t nx, int32_t words) {
  scratch.planeStart.resize(static_cast<size_t>(nx) + 1);
  const int32_t* planeRows = scratch.planeRows.data();
  size_t* start = scratch.planeStart.data();
  start[0] = 0;
  for (int32_t p = 0; p < nx; ++p) {
    const int32_t* rows = planeRows + 2 * static_cast<size_t>(p);
    const auto held = static_cast<size_t>(rows[1] - rows[0]) * static_cast<size_t>(words);
    if (held > SIZE_MAX / sizeof(uint64_t) - start[p]) return false;
    start[p + 1] = start[p] + held;
  }
  return true;
}

// Throws std::bad_alloc when the extraction cannot have its memory.
void Extract(const Settings& settings, const CubeTable& cubeTable, const GridPolygonizer& grid,
             ExtractionScratch& scratch, MeshArrays& mesh) {
  const bool tiled = grid.storage == LatticeStorage::kSparse;
  const TiledLattice& lattice = grid.tiledLattice;
  const VoxelGrid& field = grid.accumulatedField;
  const int32_t mode = settings.polygonization;
  if (mode != Polygonization::kCubeTable && mode != Polygonization::kTetrahedra && mode != Polygonization::kBoxes) {
    return;  // no cube emits anything
  }
  const int32_t nx = tiled ? lattice.Nx() : field.Nx();
  const int32_t ny = tiled ? lattice.Ny() : field.Ny();
  const int32_t nz = tiled ? lattice.Nz() : field.Nz();
  if (nx < 2 || ny < 2 || nz < 2) return;  // no cube
  const int32_t slabs = nx - 1;
  const float iso = settings.isovalue;

  // 1) sign bits
  LatticeSigns signs;
  signs.nx = nx;
  signs.ny = ny;
  signs.nz = nz;
  signs.words = nz / 64 + (nz % 64 != 0 ? 1 : 0);
  // Dense, every row's bits; tiled (which may hold more than 2^31 points),
  // only those of the rows read, packed plane after plane, so that the
  // memory grows with the rows beside tiles.
  const size_t rows = static_cast<size_t>(nx) * static_cast<size_t>(ny);
  const uint8_t* columns = nullptr;
  size_t words = rows * static_cast<size_t>(signs.words);
  if (tiled) {
    FindTileColumns(lattice, scratch.tileColumns);
    FindSlabRows(lattice, scratch);
    if (!PackPlaneRows(scratch, nx, signs.words)) throw std::bad_alloc();
    columns = scratch.tileColumns.data();
    signs.slabRows = scratch.slabRows.data();
    signs.planeRows = scratch.planeRows.data();
    signs.planeStart = scratch.planeStart.data();
    words = scratch.planeStart[static_cast<size_t>(nx)];
  }
  if (!scratch.signs.Reserve(std::max<size_t>(1, words))) throw std::bad_alloc();
  signs.bits = scratch.signs.data.get();
  const float* values = field.Data();
  parallel::ForEachRange(static_cast<int64_t>(rows), 64, [&](int64_t begin, int64_t end) {
    for (int64_t row = begin; row < end; ++row) {
      if (tiled) {
        const auto i = static_cast<int32_t>(row / ny), j = static_cast<int32_t>(row % ny);
        const int32_t* held = signs.planeRows + 2 * static_cast<size_t>(i);
        if (j < held[0] || j >= held[1]) continue;
        const size_t column = static_cast<size_t>(i >> kTileShift) * static_cast<size_t>(lattice.TilesY()) +
                              static_cast<size_t>(j >> kTileShift);
        ComputeTiledRowSigns(lattice, i, j, iso, columns[column] != 0, signs.words, signs.Row(i, j));
        continue;
      }
      ComputeRowSigns(values + static_cast<size_t>(row) * static_cast<size_t>(nz), nz, iso,
                      signs.bits + static_cast<size_t>(row) * static_cast<size_t>(signs.words));
    }
  });

  // 2) what each slab adds, and where it goes
  CaseEntries caseEntries;
  CountCaseEntries(cubeTable, mode, caseEntries);
  scratch.vertexStart.resize(static_cast<size_t>(slabs) + 1);
  scratch.entryStart.resize(static_cast<size_t>(slabs) + 1);
  int64_t* vertexStart = scratch.vertexStart.data();
  int64_t* entryStart = scratch.entryStart.data();
  parallel::ForEachRange(slabs, 1, [&](int64_t begin, int64_t end) {
    for (int64_t s = begin; s < end; ++s) {
      const SlabCounts counts = CountSlab(signs, static_cast<int32_t>(s), mode, caseEntries);
      vertexStart[s + 1] = counts.vertices;
      entryStart[s + 1] = counts.entries;
    }
  });
  const int64_t vertexBase = mesh.vertices.GetCount();
  const int64_t entryBase = mesh.polygons.GetCount();
  const int64_t nodeBase = mesh.nodeValues.GetCount();
  vertexStart[0] = vertexBase;
  entryStart[0] = entryBase;
  for (int32_t s = 1; s <= slabs; ++s) {
    vertexStart[s] += vertexStart[s - 1];
    entryStart[s] += entryStart[s - 1];
  }
  const bool withNormals = settings.normalsOrUv && mode != Polygonization::kBoxes;
  const int64_t nodeEnd = nodeBase + (withNormals ? 3 * (vertexStart[slabs] - vertexBase) : 0);
  // The host's arrays count in int32.
  if (vertexStart[slabs] > INT32_MAX || entryStart[slabs] > INT32_MAX || nodeEnd > INT32_MAX) throw std::bad_alloc();
  if (vertexStart[slabs] == vertexBase) return;
  // The three arrays are sized (and zero-filled by the host's arrays) side by side.
  parallel::ForEachPart(3, [&](int64_t array) {
    if (array == 0) mesh.vertices.Resize(static_cast<XSI::LONG>(vertexStart[slabs]));
    if (array == 1) mesh.polygons.Resize(static_cast<XSI::LONG>(entryStart[slabs]));
    if (array == 2) mesh.nodeValues.Resize(static_cast<XSI::LONG>(nodeEnd));
  });

  // 3) the slabs
  ExtractionPlan plan;
  plan.settings = &settings;
  plan.cubeTable = &cubeTable;
  plan.field = values;
  plan.normals = grid.accumulatedNormals.Data();
  plan.tiled = tiled ? &lattice : nullptr;
  plan.signs = signs;
  plan.vertexStart = vertexStart;
  plan.entryStart = entryStart;
  plan.vertices = &mesh.vertices[0];
  plan.polygons = entryStart[slabs] > 0 ? &mesh.polygons[0] : nullptr;
  plan.nodeValues = withNormals ? &mesh.nodeValues[0] : nullptr;
  plan.vertexBase = vertexBase;
  plan.nodeBase = nodeBase;
  if (scratch.walks.size() < static_cast<size_t>(parallel::ThreadCount())) {
    scratch.walks.resize(static_cast<size_t>(parallel::ThreadCount()));
  }
  parallel::ForEachRange(slabs, 1, [&](int64_t begin, int64_t end) {
    ExtractSlabs(plan, scratch.walks[static_cast<size_t>(parallel::WorkerIndex())], static_cast<int32_t>(begin),
                 static_cast<int32_t>(end));
  });
}

}  // namespace

void GridPolygonizer::ExtractAndCache(const Settings& settings, const CubeTable& cubeTable, MeshArrays& mesh,
                                      const bool& writeCache) {
  // Nothing to extract from lattices that are not in place for this
  // resolution (a failed allocation): no surface and no cache file, so a
  // good file of this frame is not replaced by an empty one.
  const int64_t nx = static_cast<int64_t>(settings.resolution.x) + 1;
  const int64_t ny = static_cast<int64_t>(settings.resolution.y) + 1;
  const int64_t nz = static_cast<int64_t>(settings.resolution.z) + 1;
  if (!ready || nx > INT32_MAX || ny > INT32_MAX || nz > INT32_MAX) return;
  const auto x = static_cast<int32_t>(nx), y = static_cast<int32_t>(ny), z = static_cast<int32_t>(nz);
  if (!HasFieldDimensions(x, y, z)) return;

  try {
    Extract(settings, cubeTable, *this, extractionScratch, mesh);
  } catch (const std::bad_alloc&) {
    mesh.Clear();
    XSI::Application().LogMessage(settings.fullName + L" Voxel grid surface -> not enough memory.", XSI::siInfoMsg);
    return;
  }

  if (writeCache && settings.mode == Mode::kWriteCache && settings.cacheUsable) WriteGridCache(settings, mesh);
}
