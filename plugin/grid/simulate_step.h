#pragma once
// Working storage of one voxel-grid step (simulate_step.cpp), kept by the grid
// polygonizer between frames and grown as needed. When a buffer cannot be had
// the step plans small batches of elements on the stack instead.

#include <cstdint>

#include "base/allocation.h"
#include "grid/splat_paths.h"

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
};
