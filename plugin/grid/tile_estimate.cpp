#include "grid/tile_estimate.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "base/allocation.h"
#include "grid/lattice_storage.h"
#include "grid/splat_paths.h"
#include "xsi_application.h"

namespace {

std::atomic<uint64_t> gBudget{0};

uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t SaturatingMultiply(uint64_t a, uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; }

int32_t TilesOnAxis(int32_t points) { return (points + kTileSide - 1) / kTileSide; }

// "5.20 GiB", "812 MiB": as the tool words its memory sizes.
std::wstring MemorySize(uint64_t bytes) {
  static const wchar_t* const kUnits[] = {L"KiB", L"MiB", L"GiB", L"TiB", L"PiB", L"EiB"};
  if (bytes < 1024) return std::to_wstring(bytes) + (bytes == 1 ? L" byte" : L" bytes");
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 5) {
    value /= 1024.0;
    ++unit;
  }
  wchar_t text[32];
  std::swprintf(text, sizeof text / sizeof text[0], value < 10.0 ? L"%.2f %ls" : value < 100.0 ? L"%.1f %ls" : L"%.0f %ls",
                value, kUnits[unit]);
  return text;
}

// 640000 as "640,000".
std::wstring Grouped(uint64_t number) {
  std::wstring digits = std::to_wstring(number);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, L',');
  return digits;
}

}  // namespace

uint64_t SetLatticeBudget(uint64_t bytes) {
  gBudget.store(bytes, std::memory_order_relaxed);
  return bytes;
}

uint64_t LatticeBudget() { return gBudget.load(std::memory_order_relaxed); }

int64_t EstimateFieldTiles(const GridPolygonizer& grid, const Settings& settings, const MetaElement* elements,
                           int32_t elementCount) {
  const TiledLattice& lattice = grid.tiledLattice;
  const int32_t tx = TilesOnAxis(lattice.Nx());
  const int32_t ty = lattice.TilesY();
  const int32_t tz = lattice.TilesZ();
  const size_t tiles = static_cast<size_t>(tx) * static_cast<size_t>(ty) * static_cast<size_t>(tz);
  // A bit per tile of the table, from zeroed pages: only those the boxes
  // reach are ever touched.
  const std::unique_ptr<uint64_t[], FreeDeleter> marked(
      static_cast<uint64_t*>(std::calloc(std::max<size_t>(1, (tiles + 63) / 64), sizeof(uint64_t))));
  if (!marked) return -1;
  const int32_t model = settings.blendingModel;
  const bool bounded = ElementsReachOnlyTheirBoxes(settings);
  const bool knownModel = model >= BlendingModel::kInverseSquare && model <= BlendingModel::kExponential;
  const int32_t count = elements != nullptr && knownModel ? std::max(elementCount, 0) : 0;
  int64_t fresh = 0;
  ElementSplat plan;
  double rotation[kElementRotationDoubles];
  for (int32_t n = 0; n < count; ++n) {
    if (!PlanElement(settings, elements, n, bounded, plan, rotation)) continue;
    const int32_t i0 = plan.low.x >> kTileShift, i1 = plan.high.x >> kTileShift;
    const int32_t j0 = plan.low.y >> kTileShift, j1 = plan.high.y >> kTileShift;
    const int32_t k0 = plan.low.z >> kTileShift, k1 = plan.high.z >> kTileShift;
    for (int32_t ti = i0; ti <= i1; ++ti) {
      for (int32_t tj = j0; tj <= j1; ++tj) {
        for (int32_t tk = k0; tk <= k1; ++tk) {
          const size_t tile = lattice.TileIndex(ti, tj, tk);
          uint64_t& word = marked[tile / 64];
          const uint64_t bit = uint64_t{1} << (tile % 64);
          if ((word & bit) != 0) continue;
          word |= bit;
          if (lattice.FieldTile(tile) == nullptr) ++fresh;
        }
      }
    }
  }
  return static_cast<int64_t>(lattice.FieldTileCount()) + fresh;
}

uint64_t TiledBytesWith(const GridPolygonizer& grid, const Settings& settings, uint64_t tiles) {
  const TiledLattice& lattice = grid.tiledLattice;
  const uint64_t nx = static_cast<uint64_t>(lattice.Nx());
  const uint64_t ny = static_cast<uint64_t>(lattice.Ny());
  const uint64_t nz = static_cast<uint64_t>(lattice.Nz());
  const uint64_t table = static_cast<uint64_t>(TilesOnAxis(lattice.Nx())) * static_cast<uint64_t>(lattice.TilesY()) *
                         static_cast<uint64_t>(lattice.TilesZ()) * 2 * sizeof(float*);
  const uint64_t held = lattice.Bytes();
  const uint64_t pooled = held > table ? held - table : 0;
  // The pools grow by whole blocks.
  const uint64_t blockTiles = TilePool::HeldFor(tiles);
  const uint64_t tileFloats = settings.normalsOrUv ? 4 * kTilePoints : kTilePoints;
  const uint64_t pools = std::max(pooled, SaturatingMultiply(blockTiles, tileFloats * sizeof(float)));
  const uint64_t signs = nx * ny * ((nz + 63) / 64) * 8;
  const uint64_t others = grid.LatticeBytes() - held;  // the step's buffers and a dense copy
  return SaturatingAdd(SaturatingAdd(SaturatingAdd(others, table), pools), signs);
}

BudgetCheck CheckLatticeBudget(GridPolygonizer& grid, const Settings& settings, const MetaElement* elements,
                               int32_t elementCount, TileEstimate& estimate) {
  estimate = TileEstimate();
  const uint64_t budget = LatticeBudget();
  // Only a tiled step allocates as it goes; dense lattices are whole when made.
  if (budget == 0 || !UseTiledLattice(settings)) return BudgetCheck::kStep;
  if (settings.gridSpace != GridSpace::kBothWays && settings.gridSpace != GridSpace::kUpward) return BudgetCheck::kStep;
  if (!grid.EnsureGrids(settings)) return BudgetCheck::kNotReady;
  if (grid.storage != LatticeStorage::kSparse) return BudgetCheck::kStep;
  const int64_t tiles = EstimateFieldTiles(grid, settings, elements, elementCount);
  if (tiles < 0) return BudgetCheck::kStep;  // no room for the marks: the process's limit alone holds the step
  estimate.made = true;
  estimate.frame = settings.evalFrame;
  estimate.tiles = static_cast<uint64_t>(tiles);
  estimate.bytes = TiledBytesWith(grid, settings, estimate.tiles);
  if (estimate.bytes <= budget) return BudgetCheck::kStep;
  estimate.overBudget = true;
  XSI::Application app;
  app.LogMessage(settings.fullName + L" Voxel grid 1 -> not enough memory.", XSI::siInfoMsg);
  app.LogMessage(settings.fullName + XSI::CString(L" Voxel grid 1 -> needs " + MemorySize(estimate.bytes) + L" for " +
                                                  Grouped(estimate.tiles) + L" tiles, above the memory limit of " +
                                                  MemorySize(budget) + L"."),
                 XSI::siInfoMsg);
  return BudgetCheck::kRefused;
}
