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

}  // namespace

bool GridPolygonizer::EnsureGrids(const Settings& settings) {
  const Int3 res = settings.resolution;
  const bool changed = res.x != allocatedResolution.x || res.y != allocatedResolution.y ||
                       res.z != allocatedResolution.z || !ready;
  allocatedResolution = res;

  if (changed) {
    // A resolution of 0 or below, or one whose lattice does not fit, fails
    // here like a refused allocation.
    const int32_t nx = res.x > 0 ? PointsOnAxis(res.x) : 0;
    const int32_t ny = res.y > 0 ? PointsOnAxis(res.y) : 0;
    const int32_t nz = res.z > 0 ? PointsOnAxis(res.z) : 0;
    ready = false;
    if (!accumulatedField.Resize(nx, ny, nz)) {
      LogNoMemory(settings, L" Voxel grid 1 -> not enough memory.");
      return false;
    }
    if (!sampledField.Resize(nx, ny, nz)) {
      LogNoMemory(settings, L" Voxel grid 2 -> not enough memory.");
      return false;
    }
    if (!accumulatedNormals.Resize(nx, ny, nz)) {
      LogNoMemory(settings, L" Voxel grid normals 1 -> not enough memory.");
      return false;
    }
    if (!sampledNormals.Resize(nx, ny, nz)) {
      LogNoMemory(settings, L" Voxel grid normals 2 -> not enough memory.");
      return false;
    }
    // The sampled lattices may be fresh and uninitialised: the next step
    // clears them whole.
    ResetSampledRows(*this, nx, ny, nz);
    ready = true;
  }

  if (settings.evalFrame == settings.startFrame || changed) {
    accumulatedField.Fill(0.0f);
    accumulatedNormals.Fill(Float3{0.0f, 0.0f, 0.0f});
  }
  return true;
}
