#include "grid/grid_polygonizer.h"

#include <new>

#include "xsi_application.h"

namespace {

void LogNoMemory(const Settings& settings, const wchar_t* message) {
  XSI::Application().LogMessage(settings.fullName + message, XSI::siInfoMsg);
}

// resolution + 1 points on an axis, or 0 when that does not fit an int32 (a
// zero dimension makes the lattice's Resize fail).
int32_t PointsOnAxis(int32_t resolution) { return resolution < INT32_MAX ? resolution + 1 : 0; }

// Marks every row of the sampled lattices as touched; drops the table when it
// cannot be allocated (the step then clears and reads whole lattices).
void ResetSampledRows(GridPolygonizer& grid, int32_t nx, int32_t ny, int32_t nz) {
  const size_t rows = static_cast<size_t>(nx) * static_cast<size_t>(ny);
  try {
    grid.sampledRowLow.assign(rows, 0);
    grid.sampledRowHigh.assign(rows, nz - 1);
  } catch (const std::bad_alloc&) {
    grid.sampledRowLow = std::vector<int32_t>();
    grid.sampledRowHigh = std::vector<int32_t>();
  }
}

// The dense lattices of nx x ny x nz points; false, having logged the first
// that failed, when one cannot be had.
bool ResizeDense(GridPolygonizer& grid, const Settings& settings, int32_t nx, int32_t ny, int32_t nz) {
  if (!grid.accumulatedField.Resize(nx, ny, nz)) {
    LogNoMemory(settings, L" Voxel grid 1 -> not enough memory.");
    return false;
  }
  if (!grid.sampledField.Resize(nx, ny, nz)) {
    LogNoMemory(settings, L" Voxel grid 2 -> not enough memory.");
    return false;
  }
  if (!grid.accumulatedNormals.Resize(nx, ny, nz)) {
    LogNoMemory(settings, L" Voxel grid normals 1 -> not enough memory.");
    return false;
  }
  if (!grid.sampledNormals.Resize(nx, ny, nz)) {
    LogNoMemory(settings, L" Voxel grid normals 2 -> not enough memory.");
    return false;
  }
  // The sampled lattices may be fresh and uninitialised: the next step
  // clears them whole.
  ResetSampledRows(grid, nx, ny, nz);
  return true;
}

void ReleaseDense(GridPolygonizer& grid) {
  grid.accumulatedField.Release();
  grid.sampledField.Release();
  grid.accumulatedNormals.Release();
  grid.sampledNormals.Release();
  grid.sampledRowLow = std::vector<int32_t>();
  grid.sampledRowHigh = std::vector<int32_t>();
}

// The tiled lattice of nx x ny x nz points and the step's slab buffers;
// false, having logged the lattice that failed, when they cannot be had.
// Unlike dense lattices, tiled ones may hold more than 2^31 points: their
// memory grows with the tiles the field reaches, the table and the slab
// buffers with the box's faces.
bool ResizeTiled(GridPolygonizer& grid, const Settings& settings, int32_t nx, int32_t ny, int32_t nz) {
  if (!grid.tiledLattice.Resize(nx, ny, nz)) {
    LogNoMemory(settings, L" Voxel grid 1 -> not enough memory.");
    return false;
  }
  const int32_t failed = PrepareSlabSamples(grid.splatScratch, ny, nz);
  if (failed != 0) {
    LogNoMemory(settings, failed == 1 ? L" Voxel grid 2 -> not enough memory." : L" Voxel grid normals 2 -> not enough memory.");
    return false;
  }
  return true;
}

}  // namespace

const float* GridPolygonizer::DenseField() const {
  if (storage != LatticeStorage::kSparse) {
    denseCopy.Release();
    return accumulatedField.Data();
  }
  if (denseCopyVersion == fieldVersion && denseCopy.HasDimensions(tiledLattice.Nx(), tiledLattice.Ny(), tiledLattice.Nz())) {
    return denseCopy.Data();
  }
  if (!denseCopy.Resize(tiledLattice.Nx(), tiledLattice.Ny(), tiledLattice.Nz())) return nullptr;
  tiledLattice.ToDense(denseCopy.Data(), nullptr);
  denseCopyVersion = fieldVersion;
  return denseCopy.Data();
}

uint64_t GridPolygonizer::LatticeBytes() const {
  uint64_t bytes = static_cast<uint64_t>(denseCopy.PointCount()) * sizeof(float);
  if (storage == LatticeStorage::kSparse) {
    const SplatScratch& s = splatScratch;
    return bytes + tiledLattice.Bytes() + (s.slabSampled.capacity + s.slabSampledNormals.capacity) * sizeof(float) +
           (s.slabRowLow.capacity + s.slabRowHigh.capacity) * sizeof(int32_t);
  }
  return bytes + static_cast<uint64_t>(accumulatedField.PointCount() + sampledField.PointCount()) * sizeof(float) +
         static_cast<uint64_t>(accumulatedNormals.PointCount() + sampledNormals.PointCount()) * 3 * sizeof(float) +
         (sampledRowLow.size() + sampledRowHigh.size()) * sizeof(int32_t);
}

bool GridPolygonizer::EnsureGrids(const Settings& settings) {
  ++fieldVersion;
  const Int3 res = settings.resolution;
  const bool changed = res.x != allocatedResolution.x || res.y != allocatedResolution.y ||
                       res.z != allocatedResolution.z || !ready;
  allocatedResolution = res;

  const bool tiled = UseTiledLattice(settings);
  if (changed) {
    // A resolution of 0 or below, or one whose lattice does not fit, fails
    // here like a refused allocation.
    const int32_t nx = res.x > 0 ? PointsOnAxis(res.x) : 0;
    const int32_t ny = res.y > 0 ? PointsOnAxis(res.y) : 0;
    const int32_t nz = res.z > 0 ? PointsOnAxis(res.z) : 0;
    ready = false;
    if (tiled) {
      ReleaseDense(*this);
      storage = LatticeStorage::kSparse;
      if (!ResizeTiled(*this, settings, nx, ny, nz)) return false;
    } else {
      tiledLattice.Release();
      storage = LatticeStorage::kDense;
      if (!ResizeDense(*this, settings, nx, ny, nz)) return false;
    }
    ready = true;
  } else if (tiled != (storage == LatticeStorage::kSparse)) {
    // The other storage, holding what this one holds.
    const int32_t nx = accumulatedField.Nx() + tiledLattice.Nx();
    const int32_t ny = accumulatedField.Ny() + tiledLattice.Ny();
    const int32_t nz = accumulatedField.Nz() + tiledLattice.Nz();
    ready = false;
    if (tiled) {
      storage = LatticeStorage::kSparse;
      if (!ResizeTiled(*this, settings, nx, ny, nz)) return false;
      if (!tiledLattice.FromDense(accumulatedField.Data(), accumulatedNormals.Data())) {
        LogNoMemory(settings, L" Voxel grid 1 -> not enough memory.");
        return false;
      }
      ReleaseDense(*this);
    } else {
      storage = LatticeStorage::kDense;
      if (!ResizeDense(*this, settings, nx, ny, nz)) return false;
      tiledLattice.ToDense(accumulatedField.Data(), accumulatedNormals.Data());
      tiledLattice.Release();
    }
    ready = true;
  }
  if (storage == LatticeStorage::kSparse) {
    // The thread count may have grown since the slab buffers were made.
    const int32_t failed = PrepareSlabSamples(splatScratch, tiledLattice.Ny(), tiledLattice.Nz());
    if (failed != 0) {
      ready = false;
      LogNoMemory(settings, failed == 1 ? L" Voxel grid 2 -> not enough memory." : L" Voxel grid normals 2 -> not enough memory.");
      return false;
    }
  }

  if (settings.evalFrame == settings.startFrame || changed) {
    if (storage == LatticeStorage::kSparse) {
      tiledLattice.Clear();
    } else {
      accumulatedField.Fill(0.0f);
      accumulatedNormals.Fill(Float3{0.0f, 0.0f, 0.0f});
    }
  }
  return true;
}
