#pragma once
// The continuation polygonizer of Space 1. Tracks the surface of a
// FieldFunction through an unbounded lattice of cubes, starting from seed cubes
// near each positive element, and appends a triangle mesh with shared vertices
// (and optional per-vertex normals) to the MeshArrays.
//
// Lattice corner (i, j, k) lies at ((i - 0.50001) * cellSize.x, ...) in the
// elements' space, computed in single precision; cube (i, j, k) is the cell
// whose lowest corner it is (corner and face numbering: cubes/cube_table.h).
// A corner is positive when its field value is greater than 0.

#include <cstdint>

#include "base/mesh_arrays.h"
#include "base/settings.h"
#include "cubes/cube_table.h"
#include "field/field_function.h"
#include "scene/meta_element.h"

enum class PolygonizeResult {
  Complete,          // the surface was tracked to its end
  CubeLimitReached,  // tracking stopped at the cube ceiling; the arrays hold what was built
  OutOfMemory,       // a table or record could not be allocated; the arrays are as they were on entry
};

// Ceiling on the cubes one run may queue (seeds included), so that an unbounded
// zero set or a tiny cell size cannot track forever or exhaust memory. A
// closed surface crosses about 1.5 cubes per cell of area, so 2^21 cubes is a
// sphere some 670 cells across, about 4 million triangles with the cube table.
// Measured peak memory of a run that reaches the ceiling (an unbounded plane,
// working tables and output arrays with their growth): 0.8 GB with the cube
// table, 1.7 GB with tetrahedra, 1.2 GB with boxes.
constexpr int64_t kMaxTrackedCubes = int64_t{1} << 21;

// Seeds from every element with positive weight (array order), tracks the
// surface of `field` and appends to the mesh arrays: vertices; triangles
// (3, a, b, c) for Polygonization::kCubeTable (polygons of `cubeTable`) and
// kTetrahedra (six tetrahedra), or one box (8 fresh vertices, six quads
// 4, a, b, c, d) per crossed cube for kBoxes; and, when settings.normalsOrUv
// (cube table and tetrahedra), three normal components per vertex to
// nodeValues, in vertex order. Reads settings.cellSize, inverseCellSize,
// bisectionHalvings (RES, the number of halvings per vertex), jbSimple,
// polygonization, normalsOrUv, uvSpace, inverseIsovalue. Stops queueing cubes
// at `maxTrackedCubes`.
//
// Inputs that cannot make a lattice give an empty result (Complete): a cellSize
// component that is not a positive finite number, an unknown polygonization,
// no elements. RES below 0 is taken as 0 (the first midpoint of an edge,
// unevaluated); RES above 1024 as 1024, which a float bisection never needs
// (see the source). The normal step cellSize.x / RES^2 takes RES^2 as at least
// 1. A seed probe whose end or bisection result is not finite (Isovalue 0
// makes the probe length infinite) seeds nothing. The lattice ends where
// corner indices would leave the int32 range.
PolygonizeResult Polygonize(const Settings& settings, const CubeTable& cubeTable, const FieldFunction& field,
                            const MetaElement* elements, const int32_t& elementCount, MeshArrays& mesh,
                            int64_t maxTrackedCubes = kMaxTrackedCubes);
