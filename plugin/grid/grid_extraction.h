#pragma once
// Working storage of the surface extraction (grid_extraction.cpp), kept by
// the grid polygonizer between frames so that an extraction allocates
// nothing once it has run at a resolution and thread count.

#include <cstdint>
#include <vector>

#include "grid/slab_walk.h"

struct ExtractionScratch {
  std::vector<uint64_t> signs;         // sign bits of the whole lattice
  std::vector<uint8_t> tileColumns;    // tiled: per column of tiles (ti, tj), whether it holds one
  std::vector<int64_t> vertexStart;    // per slab, then the end
  std::vector<int64_t> entryStart;
  std::vector<SlabWalkScratch> walks;  // per worker thread
};
