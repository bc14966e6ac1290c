#pragma once
// ContinuationPolygonizer: the Space 1 polygonizer. Tracks the surface of a
// FieldFunction through an unbounded lattice of cubes, starting from seed cubes
// near each positive element, and appends a triangle mesh with shared vertices
// (and optional per-vertex normals) to the MeshArrays.
//
// Lattice corner (i, j, k) lies at ((i - 0.50001) * cellSize.x, ...) in the
// elements' space; cube (i, j, k) is the cell whose lowest corner it is.

#include <cstdint>

#include "field/field_function.h"
#include "scene/meta_element.h"
#include "tracker/cube_table.h"
#include "xsi_arrays.h"
#include "xsi_math.h"

struct OperatorInstance;

// References the driver sets before each run; owns nothing.
struct ContinuationPolygonizer {
  const FieldFunction* field = nullptr;
  const CubeTable* cubeTable = nullptr;
  OperatorInstance* owner = nullptr;
};

enum class PolygonizeResult {
  Complete,          // the surface was tracked to its end
  CubeLimitReached,  // tracking stopped at kMaxTrackedCubes; the mesh holds what was built
};

// Ceiling on the cubes one run may queue, so that an unbounded zero set or a
// tiny cell size cannot track forever or exhaust memory.
constexpr int64_t kMaxTrackedCubes = int64_t{1} << 24;

// Seeds from every element with positive weight (array order), tracks the
// surface and appends vertices, triangles (3, a, b, c) or boxes, and, when
// owner->normalsOrUv, three normal components per vertex to nodeValues.
// Settings come from polygonizer.owner: cellSize, inverseCellSize, jbAccuracy,
// jbSimple, polygonization, normalsOrUv, uvSpace, inverseIsovalue.
PolygonizeResult Polygonize(ContinuationPolygonizer& polygonizer, const MetaElement* elements,
                            const int32_t& elementCount, XSI::MATH::CVector3Array& vertices,
                            XSI::CLongArray& polygons, XSI::CDoubleArray& nodeValues);
