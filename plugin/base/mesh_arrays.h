#pragma once
// MeshArrays: the mesh one evaluation produces, in the host's own array
// types, as the polygonizers append it, post-processing edits it and the
// writers hand it to the host.

#include <cstdint>

#include "xsi_arrays.h"
#include "xsi_math.h"

struct MeshArrays {
  XSI::MATH::CVector3Array vertices;  // one point per vertex
  XSI::CLongArray polygons;           // per polygon: vertex count n, then n indices
  XSI::CDoubleArray nodeValues;       // three values (the normal) per vertex, when normals or UVs are on
  int32_t vertexCount = 0;            // entries of vertices, as of the last Count()
  int32_t polygonCount = 0;           // entries of polygons / 4, as of the last Count()
  int32_t nodeValueCount = 0;         // entries of nodeValues, as of the last Count()
  bool valid = false;                 // the arrays hold the result of the latest evaluation

  // Empties the arrays, zeroes the counts; no result (valid false).
  void Clear();
  // Takes the three counts from the arrays.
  void Count();
};
