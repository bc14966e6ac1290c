#pragma once
// Working storage of one voxel-grid step (simulate_step.cpp), kept by the grid
// polygonizer between frames and grown as needed. When a buffer cannot be had
// the step plans small batches of elements on the stack instead.

#include <cstdint>
#include <vector>

#include "base/allocation.h"
#include "grid/splat_paths.h"

// One worker's lists of the plans that reach each tile of rows of a slab.
struct RowBinScratch {
  ScratchBuffer<int32_t> first;    // per tile of rows its first entry; one more for the end
  ScratchBuffer<int32_t> entries;  // sorted plan indices, tile after tile
};

struct SplatScratch {
  // Per element to splat, its plan, in array order and again sorted by the
  // slab of planes its box starts in.
  ScratchBuffer<ElementSplat> plans;
  ScratchBuffer<ElementSplat> sorted;
  // The first sorted entry of each slab.
  ScratchBuffer<int32_t> slabFirst;
  // Per worker thread, two lists of sorted entries: those whose boxes reach
  // the slab being worked on, in array order, and the one merged from it for
  // the next slab.
  ScratchBuffer<int32_t> slabLists;
  // Per rotated element its two transformations (kElementRotationDoubles).
  ScratchBuffer<double> rotations;
  // Per worker thread, the slab's lists split by tile of rows.
  std::vector<RowBinScratch> rowBins;
  // With tiled lattices, per worker thread the sampled lattices of one slab
  // of planes and their touched row ranges (as GridPolygonizer's): zero
  // outside those ranges, and all zero between steps.
  ScratchBuffer<float> slabSampled;
  ScratchBuffer<float> slabSampledNormals;
  ScratchBuffer<int32_t> slabRowLow;
  ScratchBuffer<int32_t> slabRowHigh;
  size_t slabPoints = 0;  // points per worker's slab; 0 when the buffers are to be made again
  int32_t slabWorkers = 0;
};

// Makes the per-worker slab buffers of tiled lattices with ny x nz points a
// plane, for parallel::ThreadCount() workers, all zero. Returns 0, or 1 when
// the sampled field's buffers cannot be had, 2 when the gradient's cannot.
int32_t PrepareSlabSamples(SplatScratch& scratch, int32_t ny, int32_t nz);

// Slab buffers are kept at this many planes.
constexpr int32_t kSampledSlabPlanes = 2;
