#pragma once
// CubeTable: for each of the 256 sign configurations of a cube's corners, the
// polygons that cut the cube, each as an ordered list of cube edges. Built at
// run time by walking the cube's faces; read by both polygonizers.
//
// Cube numbering. Corner n of the cube whose lowest lattice corner is (i, j, k)
// is lattice corner (i + bit 2 of n, j + bit 1 of n, k + bit 0 of n):
//
//            3 -------- 7          corner 0: i,   j,   k
//           /|         /|          corner 1: i,   j,   k+1
//          / |        / |          corner 2: i,   j+1, k
//         2 -------- 6  |          corner 3: i,   j+1, k+1
//         |  1 ------|- 5          corner 4: i+1, j,   k
//    j    | /        | /           corner 5: i+1, j,   k+1
//    |  k |/         |/            corner 6: i+1, j+1, k
//    | /  0 -------- 4             corner 7: i+1, j+1, k+1
//    |/___ i
//
// Faces: 0 the -i face, 1 +i, 2 -j, 3 +j, 4 -k, 5 +k. Edges e run from corner
// edgeCorner1[e] to edgeCorner2[e]; edgeLeftFace / edgeRightFace are the faces
// on the left and the right when walking the edge in that direction.

#include <cstdint>

constexpr int edgeCorner1[12] = {0, 2, 0, 1, 4, 6, 4, 5, 0, 1, 2, 3};
constexpr int edgeCorner2[12] = {1, 3, 2, 3, 5, 7, 6, 7, 4, 5, 6, 7};
constexpr int edgeLeftFace[12] = {2, 0, 0, 5, 1, 3, 4, 1, 4, 2, 3, 5};
constexpr int edgeRightFace[12] = {0, 3, 4, 0, 2, 1, 1, 5, 2, 5, 4, 3};
// The corner-number bit that crossing face 0..5 flips.
constexpr int faceAxisBit[6] = {2, 2, 1, 1, 0, 0};

// One polygon: its cube edges in fan order (the first edge is the fan's apex).
struct CubePolygon {
  int32_t edgeCount;
  int32_t edges[12];
};

// The polygons of one case, in the order readers walk them.
struct CubeCase {
  int32_t polygonCount;
  CubePolygon polygons[4];
};

// Indexed by the case index: bit n set when corner n is positive.
struct CubeTable {
  CubeCase cases[256];
};

// Fills all 256 cases. Polygons and their edges are stored as the face walk
// would store them when inserting at the front of linked lists: each polygon's
// edges in the reverse of the walk order (beginning with the start edge), and a
// case's polygons last-found first.
void BuildCubeTable(CubeTable& table);

// Empties every case.
void ReleaseCubeTable(CubeTable& table);
