#pragma once
// Working storage of the surface extraction (grid_extraction.cpp), kept by
// the grid polygonizer between frames so that an extraction allocates
// nothing once it has run at a resolution.

#include <cstdint>
#include <vector>

struct ExtractionScratch {
  std::vector<uint64_t> planeSigns;   // sign bits of two lattice planes
  // The vertex index of every lattice edge (and tetrahedron diagonal) of two
  // planes and of the slab between them.
  std::vector<int32_t> edgeVertices;
  // The crossed cubes of one slab as (j, k, case index) triples, in order.
  std::vector<int32_t> crossedCubes;
};
