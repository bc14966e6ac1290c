#pragma once
// The surface extraction of a run of consecutive slabs (a slab: the cubes
// between lattice planes i and i + 1), writing straight into mesh arrays
// already sized for the whole surface, at the places the slab counts
// (extraction_counts.h) gave each slab.
//
// The output is that of a walk over every cube, i outermost and k innermost,
// that makes an edge's vertex the first time a cube asks for it. The walk
// here visits only cubes with corners on both sides of the iso value, found
// 64 at a time from the sign bits, and finds an edge's vertex by direct
// addressing in the slab's edge tables (edge_slots.h). A run that does not
// start at slab 0 first numbers the vertices the slab before it makes, without
// making them: the vertices of its first plane, which that slab would have
// made first, get the same indices as in one walk over all slabs.

#include <cstdint>

#include "base/allocation.h"
#include "base/settings.h"
#include "cubes/cube_table.h"
#include "grid/lattice_signs.h"
#include "grid/tiled_lattice.h"
#include "xsi_arrays.h"
#include "xsi_math.h"

// What every run of one extraction shares, read only; the runs write
// disjoint parts of the arrays.
struct ExtractionPlan {
  const Settings* settings = nullptr;
  const CubeTable* cubeTable = nullptr;
  const float* field = nullptr;    // the simulated field, nx x ny x nz points
  const float* normals = nullptr;  // its gradient, three floats a point
  const TiledLattice* tiled = nullptr;  // else both, tiled (field and normals then unused)
  LatticeSigns signs;
  // Per slab s, the index of its first vertex and its first polygon entry in
  // the arrays; entry nx - 1 holds the ends.
  const int64_t* vertexStart = nullptr;
  const int64_t* entryStart = nullptr;
  XSI::MATH::CVector3* vertices = nullptr;
  XSI::LONG* polygons = nullptr;
  double* nodeValues = nullptr;  // three per vertex, with settings->normalsOrUv
  int64_t vertexBase = 0;        // index of the extraction's first vertex
  int64_t nodeBase = 0;          // index of its first node value
};

// Working storage of one thread's runs, grown to the lattice's size once.
struct SlabWalkScratch {
  ScratchBuffer<int32_t> edgeVertices;  // the edge tables of two planes and the slab between them
  ScratchBuffer<int32_t> crossedCubes;  // the crossed cubes of one slab, (j, k, case index) each
};

// Extracts slabs firstSlab .. endSlab - 1. Throws std::bad_alloc when the
// scratch cannot grow (on whichever thread runs it).
void ExtractSlabs(const ExtractionPlan& plan, SlabWalkScratch& scratch, int32_t firstSlab, int32_t endSlab);
