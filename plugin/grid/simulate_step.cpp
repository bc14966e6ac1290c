// One frame of the voxel-grid simulation: splat the elements into the sampled
// lattices, then relax the accumulated lattices toward them.
//
// Every lattice point sees the operations of a plain element-by-element pass
// in the same order (its clearing, each element's contribution in array
// order, its relaxation), so the lattices come out bit for bit the same; what
// changes is how little is visited and how much stays in cache:
// - the lattice is worked through in tiles of a few planes and rows, small
//   enough to stay in the second-level cache: clear the tile's sampled
//   values, splat every element's part of it, relax it, then the next tile;
// - each element is planned once per step (its index box, its path, its
//   rotation matrices), and a slab of planes visits only the elements whose
//   boxes reach it, kept in array order by merging as the slabs advance;
//   the slab's list is split by tile of rows (in array order again), so a
//   tile visits only the elements that reach it.
// A slab's planes belong to it alone, so with threads (base/parallel.h) runs
// of slabs are worked on side by side; each point still sees the same
// operations in the same order.
// How one element is splatted: splat_paths.h.
//
// With tiled lattices (tiled_lattice.h) the sampled lattices of a slab live
// in a buffer of the worker's, and a point whose tile is absent and whose
// sampled values are zero is not visited: relaxing +0 toward +0 leaves +0.
// A tile is allocated when a sampled value reaches it; after its planes are
// relaxed, a tile all of whose values are +0 goes back to the pool. Runs of
// slabs start at tile planes, so that no tile is worked on by two threads.

#include "grid/grid_polygonizer.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#include "base/parallel.h"
#include "xsi_application.h"

namespace {

// A tile of the step: two lattice planes and as many rows as keep the tile's
// sampled values (16 bytes a point) within 256 KB (dense lattices) or
// kTiledStepBytes (tiled ones).
constexpr int32_t kSlabPlanes = kSampledSlabPlanes;
static_assert(kTileSide % kSlabPlanes == 0, "a lattice tile's planes are whole slabs");
constexpr size_t kTileBytes = 256 * 1024;
// The same for tiled lattices, whose step tiles are slab buffers of the
// worker's (a second-level cache holds them).
constexpr size_t kTiledStepBytes = 1024 * 1024;
// Plans fetched ahead of the one being splatted.
constexpr int32_t kPlanPrefetch = 4;
// Elements planned at a time when the step's plan cannot be allocated.
constexpr int32_t kBatchElements = 64;

// What every part of one step works on.
struct Step {
  const Settings& settings;
  const MetaElement* elements;
  SplatTarget target;        // the sampled lattices and their row table
  float* accumulated;        // the accumulated lattices, laid out as the sampled ones
  float* accumulatedNormal;
  float relaxRate;           // 1 / viscosityFactor
  TiledLattice* tiled;       // the accumulated lattices when tiled (then accumulated is null)
  std::atomic<int32_t>* failure;  // tiled: 1 when a field tile could not be had, 2 a gradient tile
};

// The planes and rows of one tile.
struct Tile {
  int32_t firstI;
  int32_t lastI;
  int32_t firstJ;
  int32_t lastJ;
};

// The plans of a slab's list that reach each tile of rows (tileRows rows,
// the first at row 0): tile b's are entries[first[b]] .. entries[first[b + 1]
// - 1], in the list's order. A tile of the step then visits only the
// elements that reach it, instead of testing the whole slab's list.
struct RowBins {
  const int32_t* first = nullptr;
  const int32_t* entries = nullptr;
};

// Splits the list (indices into plans, in array order) by tile of rows; each
// plan goes to every tile its rows reach, in list order. False when the
// worker's buffers cannot grow (the caller then tests the whole list).
bool BinByRowTiles(const int32_t* list, int32_t listCount, const ElementSplat* plans, int32_t ny, int32_t tileRows,
                   RowBinScratch& scratch, RowBins& bins) {
  const int32_t tiles = (ny + tileRows - 1) / tileRows;
  if (!scratch.first.Reserve(static_cast<size_t>(tiles) + 1)) return false;
  int32_t* first = scratch.first.data.get();
  std::fill(first, first + tiles + 1, 0);
  const auto tileOf = [ny, tileRows](int32_t j) { return std::clamp(j, 0, ny - 1) / tileRows; };
  size_t total = 0;
  for (int32_t l = 0; l < listCount; ++l) {
    const ElementSplat& plan = plans[list[l]];
    const int32_t last = tileOf(plan.high.y);
    for (int32_t b = tileOf(plan.low.y); b <= last; ++b) ++first[b + 1];
    total += static_cast<size_t>(last - tileOf(plan.low.y) + 1);
  }
  if (total > static_cast<size_t>(INT32_MAX) || !scratch.entries.Reserve(std::max<size_t>(1, total))) return false;
  for (int32_t b = 1; b <= tiles; ++b) first[b] += first[b - 1];
  int32_t* entries = scratch.entries.data.get();
  for (int32_t l = 0; l < listCount; ++l) {
    const ElementSplat& plan = plans[list[l]];
    const int32_t last = tileOf(plan.high.y);
    for (int32_t b = tileOf(plan.low.y); b <= last; ++b) entries[first[b]++] = list[l];
  }
  // Each tile's counter now holds the next tile's start: shift them back.
  for (int32_t b = tiles; b > 0; --b) first[b] = first[b - 1];
  first[0] = 0;
  bins = RowBins{first, entries};
  return true;
}

// Clears the sampled values of row `row` (of the lattice or of a slab buffer) and its touched range.
void ClearSlabRow(const SplatTarget& t, size_t row) {
  const int32_t low = t.rowLow[row];
  const int32_t high = t.rowHigh[row];
  if (low > high) return;
  const size_t first = row * static_cast<size_t>(t.nz) + static_cast<size_t>(low);
  const size_t width = static_cast<size_t>(high - low) + 1;
  std::fill_n(t.sampled + first, width, 0.0f);
  std::fill_n(t.sampledNormal + 3 * first, 3 * width, 0.0f);
  t.rowLow[row] = t.nz;
  t.rowHigh[row] = -1;
}

// Sets the sampled lattices of rows firstRow .. lastRow - 1 to zero where the
// previous splats touched them.
void ClearSampled(const SplatTarget& t, size_t firstRow, size_t lastRow) {
  if (t.rowLow == nullptr) {
    const size_t nz = static_cast<size_t>(t.nz);
    std::fill(t.sampled + firstRow * nz, t.sampled + lastRow * nz, 0.0f);
    std::fill(t.sampledNormal + firstRow * nz * 3, t.sampledNormal + lastRow * nz * 3, 0.0f);
    return;
  }
  for (size_t row = firstRow; row < lastRow; ++row) ClearSlabRow(t, row);
}

// Relaxation of `count` consecutive points. With ZeroSample the sampled values
// are known to be zero and are not read.
//  GridSpace::kBothWays: A += (B - A) * rate, likewise for the normal.
//  GridSpace::kUpward: the same where B > A; where B < -isovalue the point is cleared.
// Without Normals the gradient is left alone: it is +0 and its sampled
// values are zero, and the rule keeps +0 there.
template <int Rule, bool ZeroSample, bool Normals = true>
[[gnu::always_inline]] inline void RelaxRun(float* a, const float* b, float* na, const float* nb, size_t count, float rate, float negIso) {
  if constexpr (Rule == GridSpace::kBothWays) {
    for (size_t p = 0; p < count; ++p) {
      const float bv = ZeroSample ? 0.0f : b[p];
      a[p] += (bv - a[p]) * rate;
    }
    if constexpr (Normals) {
      for (size_t p = 0; p < count * 3; ++p) {
        const float bv = ZeroSample ? 0.0f : nb[p];
        na[p] += (bv - na[p]) * rate;
      }
    }
  } else {
    for (size_t p = 0; p < count; ++p) {
      const float bv = ZeroSample ? 0.0f : b[p];
      if (bv > a[p]) {
        a[p] += (bv - a[p]) * rate;
        if constexpr (Normals) {
          for (size_t m = 3 * p; m < 3 * p + 3; ++m) {
            const float nbv = ZeroSample ? 0.0f : nb[m];
            na[m] += (nbv - na[m]) * rate;
          }
        }
      } else if (bv < negIso) {
        a[p] = 0.0f;
        if constexpr (Normals) {
          na[3 * p + 0] = 0.0f;
          na[3 * p + 1] = 0.0f;
          na[3 * p + 2] = 0.0f;
        }
      }
    }
  }
}

// One run of points within a tile: with or without its gradient (na null),
// reading the sampled values or knowing them zero. Inlined, so that the
// whole tile row's run (count kTileSide) is formed with its length known.
template <int Rule>
[[gnu::always_inline]] inline void RelaxTileRun(float* a, const float* b, float* na, const float* nb, size_t count,
                                                bool touched, float rate, float negIso) {
  if (na == nullptr) {
    if (touched) {
      RelaxRun<Rule, false, false>(a, b, nullptr, nullptr, count, rate, negIso);
    } else {
      RelaxRun<Rule, true, false>(a, nullptr, nullptr, nullptr, count, rate, negIso);
    }
  } else if (touched) {
    RelaxRun<Rule, false>(a, b, na, nb, count, rate, negIso);
  } else {
    RelaxRun<Rule, true>(a, nullptr, na, nullptr, count, rate, negIso);
  }
}

// Tiled relaxation of one tile's part of a slab: planes firstI .. lastI,
// rows j0 .. j1 (within one tile) and points k0 .. k0 + 7 (or to the
// lattice's end), whose sampled values are rows (i - firstPlane) * ny + j of
// the slab buffer `t`. Visited when the tile exists or a sampled value
// reaches it (the tile then made), the tile's memory in order. False, with
// step.failure set, when a tile cannot be had.
template <int Rule>
bool RelaxTile(const Step& step, const SplatTarget& t, int32_t firstI, int32_t lastI, int32_t j0, int32_t j1,
               int32_t k0) {
  TiledLattice& lattice = *step.tiled;
  const size_t ny = static_cast<size_t>(t.ny);
  const size_t nz = static_cast<size_t>(t.nz);
  const int32_t count = std::min(kTileSide, t.nz - k0);
  const auto touches = [&](size_t row) { return t.rowLow[row] <= t.rowHigh[row] && t.rowLow[row] < k0 + count && t.rowHigh[row] >= k0; };
  const size_t tile = lattice.TileOf(firstI, j0, k0);
  float* fa = lattice.FieldTile(tile);
  if (fa == nullptr) {
    bool reached = false;
    for (int32_t i = firstI; i <= lastI && !reached; ++i) {
      for (int32_t j = j0; j <= j1 && !reached; ++j) reached = touches(static_cast<size_t>(i - t.firstPlane) * ny + static_cast<size_t>(j));
    }
    if (!reached) return true;
    fa = lattice.EnsureField(tile);
    if (fa == nullptr) {
      step.failure->store(1);
      return false;
    }
  }
  float* na = lattice.NormalTile(tile);
  if (na == nullptr && step.settings.normalsOrUv) {
    na = lattice.EnsureNormals(tile);
    if (na == nullptr) {
      step.failure->store(2);
      return false;
    }
  }
  const float rate = step.relaxRate;
  const float negIso = -step.settings.isovalue;
  for (int32_t i = firstI; i <= lastI; ++i) {
    for (int32_t j = j0; j <= j1; ++j) {
      const size_t row = static_cast<size_t>(i - t.firstPlane) * ny + static_cast<size_t>(j);
      const size_t at = TilePoint(i, j, k0);
      const float* b = t.sampled + row * nz + static_cast<size_t>(k0);
      const float* nb = t.sampledNormal + (row * nz + static_cast<size_t>(k0)) * 3;
      float* n = na != nullptr ? na + 3 * at : nullptr;
      if (count == kTileSide) {
        RelaxTileRun<Rule>(fa + at, b, n, nb, kTileSide, touches(row), rate, negIso);
      } else {
        RelaxTileRun<Rule>(fa + at, b, n, nb, static_cast<size_t>(count), touches(row), rate, negIso);
      }
    }
  }
  return true;
}

// Splats into rows firstJ .. lastJ of planes firstI .. lastI of `t` every
// element of the list (or, with bins, of the tile of rows' bin) that reaches
// them, in array order.
void SplatTileRows(const Step& step, const SplatTarget& t, int32_t firstI, int32_t lastI, int32_t firstJ, int32_t lastJ,
                   int32_t tileRows, const int32_t* list, int32_t listCount, const ElementSplat* plans,
                   const double* rotations, const RowBins* bins) {
  const int32_t* reach = list;
  int32_t reachCount = listCount;
  if (bins != nullptr) {
    const int32_t b = firstJ / tileRows;
    reach = bins->entries + bins->first[b];
    reachCount = bins->first[b + 1] - bins->first[b];
  }
  for (int32_t l = 0; l < reachCount; ++l) {
    // The plans lie far apart in memory: fetch a few ahead.
    if (l + kPlanPrefetch < reachCount) __builtin_prefetch(&plans[reach[l + kPlanPrefetch]]);
    const ElementSplat& plan = plans[reach[l]];
    if (plan.high.y < firstJ || plan.low.y > lastJ) continue;
    SplatInTile(t, step.settings, step.elements, plan, rotations, firstI, lastI, firstJ, lastJ);
  }
}

// The tiled form of WorkSlab below: the splats go to the worker's slab
// buffer `t`, the relaxation to the tiles (and clears the buffer's rows).
void WorkSlabTiled(const Step& step, const SplatTarget& t, int32_t firstI, int32_t lastI, int32_t tileRows,
                   const int32_t* list, int32_t listCount, const ElementSplat* plans, const double* rotations,
                   bool relax, const RowBins* bins) {
  const int32_t nyPoints = t.ny;
  for (int32_t firstJ = 0; firstJ < nyPoints; firstJ += tileRows) {
    if (step.failure->load(std::memory_order_relaxed) != 0) return;
    const int32_t lastJ = std::min(nyPoints - 1, firstJ + tileRows - 1);
    SplatTileRows(step, t, firstI, lastI, firstJ, lastJ, tileRows, list, listCount, plans, rotations, bins);
    if (!relax) continue;
    // Tile by tile (tileRows is a whole number of tiles' rows), then the
    // buffer's rows cleared.
    for (int32_t j0 = firstJ; j0 <= lastJ; j0 += kTileSide) {
      const int32_t j1 = std::min(lastJ, j0 + kTileSide - 1);
      for (int32_t k0 = 0; k0 < t.nz; k0 += kTileSide) {
        const bool done = step.settings.gridSpace == GridSpace::kBothWays
                              ? RelaxTile<GridSpace::kBothWays>(step, t, firstI, lastI, j0, j1, k0)
                              : RelaxTile<GridSpace::kUpward>(step, t, firstI, lastI, j0, j1, k0);
        if (!done) return;
      }
    }
    for (int32_t i = firstI; i <= lastI; ++i) {
      for (int32_t j = firstJ; j <= lastJ; ++j) ClearSlabRow(t, static_cast<size_t>(i - t.firstPlane) * static_cast<size_t>(nyPoints) + static_cast<size_t>(j));
    }
  }
}

// Tiles of tile plane ti that hold nothing but +0 back to the pool.
void ReleaseZeroTiles(TiledLattice& lattice, int32_t ti) {
  for (int32_t tj = 0; tj < lattice.TilesY(); ++tj) {
    for (int32_t tk = 0; tk < lattice.TilesZ(); ++tk) lattice.ReleaseIfZero(lattice.TileIndex(ti, tj, tk));
  }
}

// Relaxation of rows firstRow .. lastRow - 1.
template <int Rule>
void RelaxGrids(const Step& step, size_t firstRow, size_t lastRow) {
  const SplatTarget& t = step.target;
  float* a = step.accumulated;
  float* na = step.accumulatedNormal;
  const float* b = t.sampled;
  const float* nb = t.sampledNormal;
  const float rate = step.relaxRate;
  const float negIso = -step.settings.isovalue;
  const size_t nz = static_cast<size_t>(t.nz);
  if (t.rowLow == nullptr) {
    const size_t first = firstRow * nz;
    RelaxRun<Rule, false>(a + first, b + first, na + first * 3, nb + first * 3, (lastRow - firstRow) * nz, rate,
                               negIso);
    return;
  }
  for (size_t row = firstRow; row < lastRow; ++row) {
    const size_t base = row * nz;
    const int32_t low = t.rowLow[row];
    const int32_t high = t.rowHigh[row];
    if (low > high) {
      RelaxRun<Rule, true>(a + base, nullptr, na + base * 3, nullptr, nz, rate, negIso);
      continue;
    }
    const size_t lo = static_cast<size_t>(low);
    const size_t hi = static_cast<size_t>(high) + 1;
    RelaxRun<Rule, true>(a + base, nullptr, na + base * 3, nullptr, lo, rate, negIso);
    RelaxRun<Rule, false>(a + base + lo, b + base + lo, na + (base + lo) * 3, nb + (base + lo) * 3, hi - lo,
                               rate, negIso);
    RelaxRun<Rule, true>(a + base + hi, nullptr, na + (base + hi) * 3, nullptr, nz - hi, rate, negIso);
  }
}

// Works through the rows of planes firstI .. lastI, tileRows at a time:
// clears each tile's sampled values (before the first elements), splats the
// listed plans' parts of it, relaxes it (after the last).
void WorkSlab(const Step& step, int32_t firstI, int32_t lastI, int32_t tileRows, const int32_t* list,
              int32_t listCount, const ElementSplat* plans, const double* rotations, bool clear, bool relax,
              const RowBins* bins) {
  const int32_t nyPoints = step.target.ny;
  const size_t ny = static_cast<size_t>(nyPoints);
  for (int32_t firstJ = 0; firstJ < nyPoints; firstJ += tileRows) {
    const int32_t lastJ = std::min(nyPoints - 1, firstJ + tileRows - 1);
    if (clear) {
      for (int32_t i = firstI; i <= lastI; ++i) {
        ClearSampled(step.target, static_cast<size_t>(i) * ny + firstJ, static_cast<size_t>(i) * ny + lastJ + 1);
      }
    }
    SplatTileRows(step, step.target, firstI, lastI, firstJ, lastJ, tileRows, list, listCount, plans, rotations, bins);
    if (!relax) continue;
    for (int32_t i = firstI; i <= lastI; ++i) {
      const size_t firstRow = static_cast<size_t>(i) * ny + firstJ;
      const size_t lastRow = static_cast<size_t>(i) * ny + lastJ + 1;
      if (step.settings.gridSpace == GridSpace::kBothWays) {
        RelaxGrids<GridSpace::kBothWays>(step, firstRow, lastRow);
      } else if (step.settings.gridSpace == GridSpace::kUpward) {
        RelaxGrids<GridSpace::kUpward>(step, firstRow, lastRow);
      }
    }
  }
}

// The plan of a whole step: every element once, in array order, then ordered
// by the slab its box starts in (a stable counting sort, so the elements
// arriving at a slab stay in array order); scratch.slabFirst[s] is the first
// sorted plan of slab s.
void PlanStep(const Step& step, int32_t count, bool bounded, int32_t slabs, SplatScratch& scratch) {
  ElementSplat* plans = scratch.plans.data.get();
  double* rotations = scratch.rotations.data.get();
  int32_t rotationsUsed = 0;
  int32_t plannedCount = 0;
  for (int32_t n = 0; n < count; ++n) {
    ElementSplat& plan = plans[plannedCount];
    if (!PlanElement(step.settings, step.elements, n, bounded, plan, rotations + rotationsUsed)) continue;
    if (plan.rotation >= 0) {
      plan.rotation = rotationsUsed;
      rotationsUsed += static_cast<int32_t>(kElementRotationDoubles);
    }
    ++plannedCount;
  }
  int32_t* first = scratch.slabFirst.data.get();
  std::fill(first, first + slabs + 1, 0);
  for (int32_t p = 0; p < plannedCount; ++p) ++first[plans[p].low.x / kSlabPlanes + 1];
  for (int32_t s = 1; s <= slabs; ++s) first[s] += first[s - 1];
  ElementSplat* sorted = scratch.sorted.data.get();
  for (int32_t p = 0; p < plannedCount; ++p) sorted[first[plans[p].low.x / kSlabPlanes]++] = plans[p];
  // Each slab's counter now holds the next slab's start: shift them back.
  for (int32_t s = slabs; s > 0; --s) first[s] = first[s - 1];
  first[0] = 0;
}

// The sorted plans whose boxes reach slab `slab` (first plane firstI), in
// array order: those of the previous slab's list (`active`, activeCount
// entries) that reach on, merged with those that start here. Writes the list
// to `merged` and returns its length.
int32_t MergeSlabList(const SplatScratch& scratch, int32_t slab, int32_t firstI, const int32_t* active,
                      int32_t activeCount, int32_t* merged) {
  const ElementSplat* sorted = scratch.sorted.data.get();
  const int32_t arrivalEnd = scratch.slabFirst.data[static_cast<size_t>(slab) + 1];
  int32_t mergedCount = 0;
  int32_t a = 0;
  int32_t b = scratch.slabFirst.data[static_cast<size_t>(slab)];
  while (a < activeCount || b < arrivalEnd) {
    const int32_t held = a < activeCount ? active[a] : -1;
    if (held >= 0 && sorted[held].high.x < firstI) {
      ++a;
    } else if (b >= arrivalEnd || (held >= 0 && sorted[held].element < sorted[b].element)) {
      merged[mergedCount++] = held;
      ++a;
    } else {
      merged[mergedCount++] = b++;
    }
  }
  return mergedCount;
}

// The list a run of slabs starting at `slab` (first plane firstI) starts
// from, as the slabs before it would have left it: the sorted plans that
// start before this slab and reach it, in array order. Written to `list`;
// returns its length.
int32_t HeldSlabList(const SplatScratch& scratch, int32_t slab, int32_t firstI, int32_t* list) {
  const ElementSplat* sorted = scratch.sorted.data.get();
  const int32_t startedBefore = scratch.slabFirst.data[static_cast<size_t>(slab)];
  int32_t count = 0;
  for (int32_t q = 0; q < startedBefore; ++q) {
    if (sorted[q].high.x >= firstI) list[count++] = q;
  }
  std::sort(list, list + count, [sorted](int32_t a, int32_t b) { return sorted[a].element < sorted[b].element; });
  return count;
}

// Without room for the step's plan: the elements planned again for the slab,
// in batches on the stack, each batch's parts of the slab splatted in turn.
// With tiled lattices, slabTarget is the worker's slab buffer.
void WorkSlabInBatches(const Step& step, int32_t count, bool bounded, int32_t firstI, int32_t lastI,
                       int32_t tileRows, const SplatTarget* slabTarget) {
  ElementSplat plans[kBatchElements];
  int32_t list[kBatchElements];
  double rotations[kBatchElements * kElementRotationDoubles];
  int32_t batchStart = 0;
  do {
    const int32_t batchEnd = std::min(count, batchStart + kBatchElements);
    int32_t listCount = 0;
    for (int32_t n = batchStart; n < batchEnd; ++n) {
      ElementSplat& plan = plans[listCount];
      double* rotation = rotations + static_cast<size_t>(listCount) * kElementRotationDoubles;
      if (!PlanElement(step.settings, step.elements, n, bounded, plan, rotation)) continue;
      if (plan.high.x < firstI || plan.low.x > lastI) continue;
      if (plan.rotation >= 0) plan.rotation = listCount * static_cast<int32_t>(kElementRotationDoubles);
      list[listCount] = listCount;
      ++listCount;
    }
    if (slabTarget != nullptr) {
      WorkSlabTiled(step, *slabTarget, firstI, lastI, tileRows, list, listCount, plans, rotations, batchEnd >= count,
                    nullptr);
    } else {
      WorkSlab(step, firstI, lastI, tileRows, list, listCount, plans, rotations, batchStart == 0, batchEnd >= count,
               nullptr);
    }
    batchStart = batchEnd;
  } while (batchStart < count);
}

}  // namespace

int32_t PrepareSlabSamples(SplatScratch& scratch, int32_t ny, int32_t nz) {
  const auto workers = static_cast<size_t>(parallel::ThreadCount());
  const size_t rows = static_cast<size_t>(kSlabPlanes) * static_cast<size_t>(ny);
  const size_t points = rows * static_cast<size_t>(nz);
  if (scratch.slabPoints == points && scratch.slabWorkers >= static_cast<int32_t>(workers)) return 0;
  scratch.slabPoints = 0;
  scratch.slabWorkers = 0;
  if (points > SIZE_MAX / 3 / workers || !scratch.slabSampled.Reserve(points * workers) ||
      !scratch.slabRowLow.Reserve(rows * workers) || !scratch.slabRowHigh.Reserve(rows * workers)) {
    return 1;
  }
  if (!scratch.slabSampledNormals.Reserve(3 * points * workers)) return 2;
  std::fill_n(scratch.slabSampled.data.get(), points * workers, 0.0f);
  std::fill_n(scratch.slabSampledNormals.data.get(), 3 * points * workers, 0.0f);
  std::fill_n(scratch.slabRowLow.data.get(), rows * workers, nz);
  std::fill_n(scratch.slabRowHigh.data.get(), rows * workers, -1);
  scratch.slabPoints = points;
  scratch.slabWorkers = static_cast<int32_t>(workers);
  return 0;
}

void GridPolygonizer::SimulateStep(const Settings& settings, const MetaElement* elements,
                                   const int32_t& elementCount) {
  if (!EnsureGrids(settings)) return;  // which also marks the field as changing

  const bool tiled = storage == LatticeStorage::kSparse;
  // Tiled, the sampled lattices are seen by nothing but the relaxation.
  if (tiled && settings.gridSpace != GridSpace::kBothWays && settings.gridSpace != GridSpace::kUpward) return;
  const int32_t nx = tiled ? tiledLattice.Nx() : sampledField.Nx();
  const int32_t ny = tiled ? tiledLattice.Ny() : sampledField.Ny();
  const int32_t nz = tiled ? tiledLattice.Nz() : sampledField.Nz();
  const bool trackRows = sampledRowLow.size() == static_cast<size_t>(nx) * ny && sampledRowHigh.size() == sampledRowLow.size();
  std::atomic<int32_t> failure{0};
  const Step step{settings,
                  elements,
                  SplatTarget{sampledField.Data(), sampledNormals.Data(), ny, nz,
                              trackRows ? sampledRowLow.data() : nullptr, trackRows ? sampledRowHigh.data() : nullptr},
                  accumulatedField.Data(),
                  accumulatedNormals.Data(),
                  1.0f / settings.viscosityFactor,
                  tiled ? &tiledLattice : nullptr,
                  &failure};

  const int32_t model = settings.blendingModel;
  const bool bounded = ElementsReachOnlyTheirBoxes(settings);
  const bool knownModel = model >= BlendingModel::kInverseSquare && model <= BlendingModel::kExponential;
  const int32_t count = elements != nullptr && knownModel ? std::max(elementCount, 0) : 0;
  const size_t slabRowBytes = static_cast<size_t>(nz) * 16 * kSlabPlanes;
  const auto tileRows = static_cast<int32_t>(
      std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(ny), kTileBytes / std::max<size_t>(1, slabRowBytes))));
  const int32_t slabs = nx / kSlabPlanes + (nx % kSlabPlanes != 0 ? 1 : 0);
  // Tiled, a tile of the step holds whole tiles' rows, as many as fill
  // kTiledStepBytes: the sampled values live in the worker's slab buffer and
  // each element's box reaches fewer tiles of the step (the per-element
  // setup of a splat is paid once per tile it reaches).
  const auto tiledRows = static_cast<int32_t>(std::min<size_t>(
      static_cast<size_t>(ny), std::max<size_t>(1, kTiledStepBytes / std::max<size_t>(1, slabRowBytes))));
  const int32_t stepRows = tiled ? (tiledRows + kTileSide - 1) / kTileSide * kTileSide : tileRows;

  // 1) the plan, when its buffers can be had
  size_t rotatedCount = 0;
  for (int32_t n = 0; n < count; ++n) rotatedCount += IsRotated(elements[n]) ? 1 : 0;
  const size_t elementRoom = std::max<size_t>(1, static_cast<size_t>(count));
  const auto workers = static_cast<size_t>(parallel::ThreadCount());
  SplatScratch& scratch = splatScratch;
  const bool planned = scratch.plans.Reserve(elementRoom) && scratch.sorted.Reserve(elementRoom) &&
                       elementRoom <= SIZE_MAX / 2 / workers && scratch.slabLists.Reserve(2 * elementRoom * workers) &&
                       scratch.slabFirst.Reserve(static_cast<size_t>(slabs) + 1) &&
                       scratch.rotations.Reserve(std::max<size_t>(1, rotatedCount) * kElementRotationDoubles);
  if (planned) PlanStep(step, count, bounded, slabs, scratch);
  if (planned && scratch.rowBins.size() < workers) {
    try {
      scratch.rowBins.resize(workers);
    } catch (const std::bad_alloc&) {
      // The slabs then test their whole lists.
    }
  }

  // 2) slab by slab, tile by tile: clear, splat, relax. The slabs touch
  //    disjoint planes, so runs of them go to separate threads; each run
  //    rebuilds the element list its first slab starts from.
  //    Tiled, the runs are of whole tile planes.
  const int32_t tilePlanes = (nx + kTileSide - 1) / kTileSide;
  constexpr int32_t slabsPerTile = kTileSide / kSlabPlanes;
  const int64_t parts = parallel::PartCount(tiled ? tilePlanes : slabs);
  parallel::ForEachPart(parts, [&](int64_t part) {
    const auto firstSlab = tiled ? std::min(slabs, static_cast<int32_t>(tilePlanes * part / parts) * slabsPerTile)
                                 : static_cast<int32_t>(slabs * part / parts);
    const auto endSlab = tiled ? std::min(slabs, static_cast<int32_t>(tilePlanes * (part + 1) / parts) * slabsPerTile)
                               : static_cast<int32_t>(slabs * (part + 1) / parts);
    SplatTarget slabTarget{};
    if (tiled) {
      const auto worker = static_cast<size_t>(parallel::WorkerIndex());
      const size_t slabRows = static_cast<size_t>(kSlabPlanes) * static_cast<size_t>(ny);
      slabTarget = SplatTarget{scratch.slabSampled.data.get() + worker * scratch.slabPoints,
                               scratch.slabSampledNormals.data.get() + 3 * worker * scratch.slabPoints,
                               ny,
                               nz,
                               scratch.slabRowLow.data.get() + worker * slabRows,
                               scratch.slabRowHigh.data.get() + worker * slabRows,
                               0};
    }
    int32_t* active = nullptr;
    int32_t* merged = nullptr;
    int32_t activeCount = 0;
    RowBinScratch* rowBins = nullptr;
    if (planned && static_cast<size_t>(parallel::WorkerIndex()) < scratch.rowBins.size()) {
      rowBins = &scratch.rowBins[static_cast<size_t>(parallel::WorkerIndex())];
    }
    if (planned) {
      active = scratch.slabLists.data.get() + 2 * elementRoom * static_cast<size_t>(parallel::WorkerIndex());
      merged = active + elementRoom;
      activeCount = HeldSlabList(scratch, firstSlab, firstSlab * kSlabPlanes, active);
    }
    for (int32_t slab = firstSlab; slab < endSlab; ++slab) {
      const int32_t firstI = slab * kSlabPlanes;
      const int32_t lastI = std::min(nx - 1, firstI + kSlabPlanes - 1);
      slabTarget.firstPlane = firstI;
      if (!planned) {
        WorkSlabInBatches(step, count, bounded, firstI, lastI, stepRows, tiled ? &slabTarget : nullptr);
      } else {
        activeCount = MergeSlabList(scratch, slab, firstI, active, activeCount, merged);
        std::swap(active, merged);
        const int32_t rows = tiled ? stepRows : tileRows;
        RowBins bins;
        const bool binned = rowBins != nullptr && BinByRowTiles(active, activeCount, scratch.sorted.data.get(), ny,
                                                                rows, *rowBins, bins);
        if (tiled) {
          WorkSlabTiled(step, slabTarget, firstI, lastI, rows, active, activeCount, scratch.sorted.data.get(),
                        scratch.rotations.data.get(), true, binned ? &bins : nullptr);
        } else {
          WorkSlab(step, firstI, lastI, rows, active, activeCount, scratch.sorted.data.get(),
                   scratch.rotations.data.get(), true, true, binned ? &bins : nullptr);
        }
      }
      if (tiled && (lastI == nx - 1 || (lastI + 1) % kTileSide == 0)) {
        if (failure.load(std::memory_order_relaxed) != 0) return;
        ReleaseZeroTiles(tiledLattice, firstI >> kTileShift);
      }
    }
  });

  if (failure.load() != 0) {
    // The slab buffers may hold values: made again, zero, at the next step.
    // The lattices are made again and reset at the next evaluation.
    scratch.slabPoints = 0;
    ready = false;
    XSI::Application().LogMessage(
        settings.fullName + (failure.load() == 1 ? L" Voxel grid 1 -> not enough memory." : L" Voxel grid normals 1 -> not enough memory."),
        XSI::siInfoMsg);
  }
}
