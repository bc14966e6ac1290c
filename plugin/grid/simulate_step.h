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
  // The sorted entries whose boxes reach the slab being worked on, in array
  // order (two buffers: the previous slab's list and the one merged from it).
  ScratchBuffer<int32_t> slabActive;
  ScratchBuffer<int32_t> slabMerged;
  // Per rotated element its two transformations (kElementRotationDoubles).
  ScratchBuffer<double> rotations;
};
