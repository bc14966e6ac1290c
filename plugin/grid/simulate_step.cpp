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
//   boxes reach it, kept in array order by merging as the slabs advance.
// A slab's planes belong to it alone, so with threads (base/parallel.h) runs
// of slabs are worked on side by side; each point still sees the same
// operations in the same order.
// How one element is splatted: splat_paths.h.

#include "grid/grid_polygonizer.h"

#include <algorithm>
#include <cstring>

#include "base/parallel.h"

namespace {

// A tile of the step: two lattice planes and as many rows as keep the tile's
// sampled values (16 bytes a point) within 256 KB.
constexpr int32_t kSlabPlanes = 2;
constexpr size_t kTileBytes = 256 * 1024;
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
};

// The planes and rows of one tile.
struct Tile {
  int32_t firstI;
  int32_t lastI;
  int32_t firstJ;
  int32_t lastJ;
};

// Sets the sampled lattices of rows firstRow .. lastRow - 1 to zero where the
// previous splats touched them.
void ClearSampled(const SplatTarget& t, size_t firstRow, size_t lastRow) {
  if (t.rowLow == nullptr) {
    const size_t nz = static_cast<size_t>(t.nz);
    std::fill(t.sampled + firstRow * nz, t.sampled + lastRow * nz, 0.0f);
    std::fill(t.sampledNormal + firstRow * nz * 3, t.sampledNormal + lastRow * nz * 3, 0.0f);
    return;
  }
  for (size_t row = firstRow; row < lastRow; ++row) {
    const int32_t low = t.rowLow[row];
    const int32_t high = t.rowHigh[row];
    if (low > high) continue;
    const size_t first = row * static_cast<size_t>(t.nz) + static_cast<size_t>(low);
    const size_t count = static_cast<size_t>(high - low) + 1;
    std::fill_n(t.sampled + first, count, 0.0f);
    std::fill_n(t.sampledNormal + first * 3, count * 3, 0.0f);
    t.rowLow[row] = t.nz;
    t.rowHigh[row] = -1;
  }
}

// Relaxation of `count` consecutive points. With ZeroSample the sampled values
// are known to be zero and are not read.
//  GridSpace::kBothWays: A += (B - A) * rate, likewise for the normal.
//  GridSpace::kUpward: the same where B > A; where B < -isovalue the point is cleared.
template <int Rule, bool ZeroSample>
void RelaxRun(float* a, const float* b, float* na, const float* nb, size_t count, float rate, float negIso) {
  if constexpr (Rule == GridSpace::kBothWays) {
    for (size_t p = 0; p < count; ++p) {
      const float bv = ZeroSample ? 0.0f : b[p];
      a[p] += (bv - a[p]) * rate;
    }
    for (size_t p = 0; p < count * 3; ++p) {
      const float bv = ZeroSample ? 0.0f : nb[p];
      na[p] += (bv - na[p]) * rate;
    }
  } else {
    for (size_t p = 0; p < count; ++p) {
      const float bv = ZeroSample ? 0.0f : b[p];
      if (bv > a[p]) {
        a[p] += (bv - a[p]) * rate;
        for (size_t m = 3 * p; m < 3 * p + 3; ++m) {
          const float nbv = ZeroSample ? 0.0f : nb[m];
          na[m] += (nbv - na[m]) * rate;
        }
      } else if (bv < negIso) {
        a[p] = 0.0f;
        na[3 * p + 0] = 0.0f;
        na[3 * p + 1] = 0.0f;
        na[3 * p + 2] = 0.0f;
      }
    }
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
              int32_t listCount, const ElementSplat* plans, const double* rotations, bool clear, bool relax) {
  const int32_t nyPoints = step.target.ny;
  const size_t ny = static_cast<size_t>(nyPoints);
  for (int32_t firstJ = 0; firstJ < nyPoints; firstJ += tileRows) {
    const int32_t lastJ = std::min(nyPoints - 1, firstJ + tileRows - 1);
    if (clear) {
      for (int32_t i = firstI; i <= lastI; ++i) {
        ClearSampled(step.target, static_cast<size_t>(i) * ny + firstJ, static_cast<size_t>(i) * ny + lastJ + 1);
      }
    }
    for (int32_t l = 0; l < listCount; ++l) {
      const ElementSplat& plan = plans[list[l]];
      if (plan.high.y < firstJ || plan.low.y > lastJ) continue;
      SplatInTile(step.target, step.settings, step.elements, plan, rotations, firstI, lastI, firstJ, lastJ);
    }
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
void WorkSlabInBatches(const Step& step, int32_t count, bool bounded, int32_t firstI, int32_t lastI,
                       int32_t tileRows) {
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
    WorkSlab(step, firstI, lastI, tileRows, list, listCount, plans, rotations, batchStart == 0, batchEnd >= count);
    batchStart = batchEnd;
  } while (batchStart < count);
}

}  // namespace

void GridPolygonizer::SimulateStep(const Settings& settings, const MetaElement* elements,
                                   const int32_t& elementCount) {
  if (!EnsureGrids(settings)) return;

  const int32_t nx = sampledField.Nx();
  const int32_t ny = sampledField.Ny();
  const int32_t nz = sampledField.Nz();
  const bool trackRows = sampledRowLow.size() == static_cast<size_t>(nx) * ny && sampledRowHigh.size() == sampledRowLow.size();
  const Step step{settings,
                  elements,
                  SplatTarget{sampledField.Data(), sampledNormals.Data(), ny, nz,
                              trackRows ? sampledRowLow.data() : nullptr, trackRows ? sampledRowHigh.data() : nullptr},
                  accumulatedField.Data(),
                  accumulatedNormals.Data(),
                  1.0f / settings.viscosityFactor};

  const int32_t model = settings.blendingModel;
  const bool bounded = model == BlendingModel::kPolynomial     ? true
                       : model == BlendingModel::kInverseSquare ? settings.volumeHyperbolic
                                                                : settings.volumeExponential;
  const bool knownModel = model >= BlendingModel::kInverseSquare && model <= BlendingModel::kExponential;
  const int32_t count = elements != nullptr && knownModel ? std::max(elementCount, 0) : 0;
  const size_t slabRowBytes = static_cast<size_t>(nz) * 16 * kSlabPlanes;
  const auto tileRows = static_cast<int32_t>(
      std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(ny), kTileBytes / std::max<size_t>(1, slabRowBytes))));
  const int32_t slabs = nx / kSlabPlanes + (nx % kSlabPlanes != 0 ? 1 : 0);

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

  // 2) slab by slab, tile by tile: clear, splat, relax. The slabs touch
  //    disjoint planes, so runs of them go to separate threads; each run
  //    rebuilds the element list its first slab starts from.
  const int64_t parts = parallel::PartCount(slabs);
  parallel::ForEachPart(parts, [&](int64_t part) {
    const auto firstSlab = static_cast<int32_t>(slabs * part / parts);
    const auto endSlab = static_cast<int32_t>(slabs * (part + 1) / parts);
    int32_t* active = nullptr;
    int32_t* merged = nullptr;
    int32_t activeCount = 0;
    if (planned) {
      active = scratch.slabLists.data.get() + 2 * elementRoom * static_cast<size_t>(parallel::WorkerIndex());
      merged = active + elementRoom;
      activeCount = HeldSlabList(scratch, firstSlab, firstSlab * kSlabPlanes, active);
    }
    for (int32_t slab = firstSlab; slab < endSlab; ++slab) {
      const int32_t firstI = slab * kSlabPlanes;
      const int32_t lastI = std::min(nx - 1, firstI + kSlabPlanes - 1);
      if (!planned) {
        WorkSlabInBatches(step, count, bounded, firstI, lastI, tileRows);
        continue;
      }
      activeCount = MergeSlabList(scratch, slab, firstI, active, activeCount, merged);
      std::swap(active, merged);
      WorkSlab(step, firstI, lastI, tileRows, active, activeCount, scratch.sorted.data.get(),
               scratch.rotations.data.get(), true, true);
    }
  });
}
