#pragma once
// Working storage of the surface extraction (grid_extraction.cpp), kept by
// the grid polygonizer between frames so that an extraction allocates
// nothing once it has run at a resolution and thread count.

#include <cstdint>
#include <vector>

#include "base/allocation.h"
#include "grid/slab_walk.h"

struct ExtractionScratch {
  ScratchBuffer<uint64_t> signs;       // sign bits of the rows read (LatticeSigns)
  // Tiled: per column of tiles (ti, tj) whether it holds one; per plane of
  // tiles the rows holding some (first, end); per slab the rows of cubes
  // read (LatticeSigns::slabRows); per lattice plane the rows whose bits
  // are held (first, end) and where they start (LatticeSigns::planeRows,
  // planeStart; the last entry the words of all).
  std::vector<uint8_t> tileColumns;
  std::vector<int32_t> tileRows;
  std::vector<int32_t> slabRows;
  std::vector<int32_t> planeRows;
  std::vector<size_t> planeStart;
  std::vector<int64_t> vertexStart;    // per slab, then the end
  std::vector<int64_t> entryStart;
  std::vector<SlabWalkScratch> walks;  // per worker thread
};
