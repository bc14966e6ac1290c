#include "cubes/cube_table.h"

namespace {

// NextEdgeAroundFace(edge, face): per edge, the face for which the next edge is
// kNextIfFace, and the next edge around its other face.
constexpr int kNextFace[12] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3, 3};
constexpr int kNextIfFace[12] = {3, 2, 0, 1, 6, 7, 5, 4, 4, 0, 1, 5};
constexpr int kNextOtherwise[12] = {8, 11, 10, 9, 9, 10, 8, 11, 2, 7, 6, 3};

int NextEdgeAroundFace(int edge, int face) { return face == kNextFace[edge] ? kNextIfFace[edge] : kNextOtherwise[edge]; }

int FaceAcrossEdge(int edge, int face) {
  return edgeLeftFace[edge] == face ? edgeRightFace[edge] : edgeLeftFace[edge];
}

void PushFront(CubePolygon& polygon, int edge) {
  for (int k = polygon.edgeCount; k > 0; --k) polygon.edges[k] = polygon.edges[k - 1];
  polygon.edges[0] = edge;
  ++polygon.edgeCount;
}

void PushFront(CubeCase& cubeCase, const CubePolygon& polygon) {
  for (int k = cubeCase.polygonCount; k > 0; --k) cubeCase.polygons[k] = cubeCase.polygons[k - 1];
  cubeCase.polygons[0] = polygon;
  ++cubeCase.polygonCount;
}

}  // namespace

void BuildCubeTable(CubeTable& table) {
  for (int index = 0; index < 256; ++index) {
    CubeCase& cubeCase = table.cases[index];
    cubeCase = CubeCase{};
    bool pos[8];
    for (int n = 0; n < 8; ++n) pos[n] = ((index >> n) & 1) != 0;
    bool done[12] = {};
    for (int e = 0; e < 12; ++e) {
      if (done[e] || pos[edgeCorner1[e]] == pos[edgeCorner2[e]]) continue;
      // Walk around the surface patch: keep the positive corners on one side,
      // crossing to the next face at every sign-changing edge.
      CubePolygon polygon{};
      const int start = e;
      int edge = e;
      int face = pos[edgeCorner1[e]] ? edgeRightFace[e] : edgeLeftFace[e];
      for (;;) {
        edge = NextEdgeAroundFace(edge, face);
        done[edge] = true;
        if (pos[edgeCorner1[edge]] != pos[edgeCorner2[edge]]) {
          PushFront(polygon, edge);
          if (edge == start) break;
          face = FaceAcrossEdge(edge, face);
        }
      }
      PushFront(cubeCase, polygon);
    }
  }
}

void ReleaseCubeTable(CubeTable& table) {
  for (CubeCase& cubeCase : table.cases) cubeCase.polygonCount = 0;
}
