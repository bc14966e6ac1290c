#pragma once
// Decomposition of a lattice cube into six tetrahedra and the 14-case table that
// polygonizes one tetrahedron. Shared by both polygonizers.

#include <cstdint>

// Corner numbers (q0, q1, q2, q3) of the six tetrahedra, in processing order.
constexpr int kCubeTetrahedra[6][4] = {{0, 2, 4, 1}, {6, 2, 1, 4}, {6, 2, 3, 1},
                                       {6, 4, 1, 5}, {6, 1, 3, 5}, {6, 3, 7, 5}};

// The tetrahedron's six edges (corner slots): e1 = (q0, q1), e2 = (q0, q2),
// e3 = (q0, q3), e4 = (q1, q2), e5 = (q1, q3), e6 = (q2, q3).
constexpr int kTetraEdgeEnds[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};

// Triangles per case index 8*[q0 positive] + 4*[q1] + 2*[q2] + [q3], as edge
// slots 0..5 (e1..e6).
struct TetraCase {
  int32_t triangleCount;
  int32_t triangles[2][3];
};
constexpr TetraCase kTetraCases[16] = {
    {0, {}},                              // 0
    {1, {{4, 5, 2}}},                     // 1
    {1, {{1, 5, 3}}},                     // 2
    {2, {{2, 4, 3}, {2, 3, 1}}},          // 3
    {1, {{0, 3, 4}}},                     // 4
    {2, {{2, 0, 3}, {2, 3, 5}}},          // 5
    {2, {{0, 1, 5}, {0, 5, 4}}},          // 6
    {1, {{0, 1, 2}}},                     // 7
    {1, {{0, 2, 1}}},                     // 8
    {2, {{0, 4, 5}, {0, 5, 1}}},          // 9
    {2, {{0, 2, 5}, {0, 5, 3}}},          // 10
    {1, {{0, 4, 3}}},                     // 11
    {2, {{2, 1, 3}, {2, 3, 4}}},          // 12
    {1, {{5, 1, 3}}},                     // 13
    {1, {{4, 2, 5}}},                     // 14
    {0, {}},                              // 15
};

// Polygonizes one tetrahedron of a cube. positive[n] tells whether cube corner n
// is positive. edgeVertex(a, b) returns the vertex index on the edge from cube
// corner a to cube corner b; it is called for e1..e6 in order, only for edges
// whose corners differ in sign. emitTriangle(t0, t1, t2) appends a triangle.
template <class EdgeVertex, class EmitTriangle>
inline void PolygonizeTetrahedron(const bool positive[8], const int q[4], EdgeVertex&& edgeVertex,
                                  EmitTriangle&& emitTriangle) {
  const int index = (positive[q[0]] ? 8 : 0) + (positive[q[1]] ? 4 : 0) + (positive[q[2]] ? 2 : 0) +
                    (positive[q[3]] ? 1 : 0);
  if (index == 0 || index == 15) return;
  int32_t v[6] = {-1, -1, -1, -1, -1, -1};
  for (int e = 0; e < 6; ++e) {
    const int a = q[kTetraEdgeEnds[e][0]];
    const int b = q[kTetraEdgeEnds[e][1]];
    if (positive[a] != positive[b]) v[e] = edgeVertex(a, b);
  }
  const TetraCase& c = kTetraCases[index];
  for (int t = 0; t < c.triangleCount; ++t) {
    emitTriangle(v[c.triangles[t][0]], v[c.triangles[t][1]], v[c.triangles[t][2]]);
  }
}
