#pragma once
// What each slab of the surface extraction adds to the mesh, counted from the
// sign bits alone, before any vertex is made: so that every slab knows where
// its vertices and polygons go, and slabs can be extracted side by side.
//
// A slab (cubes between planes i and i + 1) makes the vertices of the cut
// edges it is the first to reach in the walk: those of plane i + 1 and those
// between the planes (and, for the first slab, those of plane 0). Every cut
// edge gets a vertex, since the cube table and the tetrahedra ask for the
// vertex of every edge whose corners differ, so the count is the number of
// such edges.

#include <cstdint>

#include "cubes/cube_table.h"
#include "grid/lattice_signs.h"

// Entries of the polygon description one crossed cube adds, by case index
// (4 per triangle; 5 per quadrilateral of a box).
struct CaseEntries {
  int32_t entries[256];
};

// For polygonization 0, 1 and 10; another value adds nothing.
void CountCaseEntries(const CubeTable& cubeTable, int32_t polygonization, CaseEntries& out);

struct SlabCounts {
  int64_t vertices = 0;
  int64_t entries = 0;
};

// What slab `slab` adds under `polygonization` (0, 1 or 10).
SlabCounts CountSlab(const LatticeSigns& signs, int32_t slab, int32_t polygonization, const CaseEntries& caseEntries);
