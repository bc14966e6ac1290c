#pragma once
// Invariant checks shared by the test suites.

#include <gtest/gtest.h>

#include <cstdint>

#include "xsi_arrays.h"
#include "xsi_math.h"

struct MeshCounts {
  int32_t triangles = 0;
  int32_t quads = 0;
  int32_t otherPolygons = 0;
  int32_t boundaryEdges = 0;      // undirected edges used by one polygon
  int32_t nonManifoldEdges = 0;   // used by more than two polygons, or twice in the same direction
};

// Counts of a well-formed polygon description (per polygon: n, then n
// indices), the edges classified by the command-line host's CheckMesh.
MeshCounts CountMesh(const XSI::CLongArray& polygons);

// Every index lies in [0, vertexCount) and the description is well formed.
::testing::AssertionResult HasValidIndices(int32_t vertexCount, const XSI::CLongArray& polygons);

// Every polygon is a triangle (3, a, b, c) with three distinct indices, every
// undirected edge is used by exactly two triangles, in opposite directions.
// With allowCoincidentOppositePairs, pairs of triangles over the same three
// vertices with opposite orientation are removed first (the cube table can put
// such a pair in an ambiguous lattice face); nothing else is excused.
::testing::AssertionResult IsClosedManifold(const XSI::CLongArray& polygons,
                                            bool allowCoincidentOppositePairs = false);

// No two vertices have identical coordinates.
::testing::AssertionResult HasNoDuplicateVertices(const XSI::MATH::CVector3Array& vertices);

// No coordinate is NaN or infinite.
::testing::AssertionResult IsFinite(const XSI::MATH::CVector3Array& vertices);
