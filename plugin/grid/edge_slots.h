#pragma once
// Where the surface extraction keeps the vertex of each lattice edge it may
// cut: one record per lattice point (j, k) of a plane, in one table for
// plane i, one for plane i + 1 and one for the edges between them. A record
// holds the vertex indices of the edges that start at its point, side by side
// so that a cube's lookups share cache lines (the cube table uses only the
// axis edges, the tetrahedra all of them):
//   LowK, LowJ    plane i, edge (j, k)-(j, k+1) and (j, k)-(j+1, k)
//   LowYZ         plane i, diagonal (j+1, k)-(j, k+1)
//   HighK, HighJ, HighYZ   the same on plane i + 1
//   CrossI        (i, j, k)-(i+1, j, k)
//   CrossXY       (i, j+1, k)-(i+1, j, k)
//   CrossXZ       (i+1, j, k)-(i, j, k+1)
//   CrossBody     (i+1, j+1, k)-(i, j, k+1)
// The diagonals are the ones the six tetrahedra of a cube use; neighbouring
// cubes cut a shared face along the same diagonal.

#include <cstdint>

#include "cubes/cube_table.h"
#include "cubes/tetrahedra.h"

enum Slot : int8_t {
  kLowK, kLowJ, kLowYZ, kHighK, kHighJ, kHighYZ, kCrossI, kCrossXY, kCrossXZ, kCrossBody, kSlotCount, kNoSlot = -1
};

// The edge between two cube corners: its slot and the (j, k) offset of the
// plane point it starts from, relative to the cube's (j, k).
struct EdgeRef {
  int8_t slot;
  int8_t dj;
  int8_t dk;
};

constexpr EdgeRef EdgeBetween(int a, int b) {
  const int ai = (a >> 2) & 1, aj = (a >> 1) & 1, ak = a & 1;
  const int bi = (b >> 2) & 1, bj = (b >> 1) & 1, bk = b & 1;
  if (a == b) return EdgeRef{kNoSlot, 0, 0};
  if (ai == bi) {
    const int8_t plane = ai == 0 ? 0 : 3;  // kLow* or kHigh*
    if (aj == bj) return EdgeRef{static_cast<int8_t>(plane + kLowK), static_cast<int8_t>(aj), 0};
    if (ak == bk) return EdgeRef{static_cast<int8_t>(plane + kLowJ), 0, static_cast<int8_t>(ak)};
    // (j+1, k)-(j, k+1): the corner with j set has k clear
    if ((aj == 1 && ak == 0) || (bj == 1 && bk == 0)) return EdgeRef{static_cast<int8_t>(plane + kLowYZ), 0, 0};
    return EdgeRef{kNoSlot, 0, 0};
  }
  // Corner on plane i (lo) and on plane i + 1 (hi).
  const int loJ = ai == 0 ? aj : bj, loK = ai == 0 ? ak : bk;
  const int hiJ = ai == 0 ? bj : aj, hiK = ai == 0 ? bk : ak;
  if (loJ == hiJ && loK == hiK) return EdgeRef{kCrossI, static_cast<int8_t>(loJ), static_cast<int8_t>(loK)};
  if (loK == hiK) return loJ == 1 ? EdgeRef{kCrossXY, 0, static_cast<int8_t>(loK)} : EdgeRef{kNoSlot, 0, 0};
  if (loJ == hiJ) return loK == 1 ? EdgeRef{kCrossXZ, static_cast<int8_t>(loJ), 0} : EdgeRef{kNoSlot, 0, 0};
  return loJ == 0 && loK == 1 ? EdgeRef{kCrossBody, 0, 0} : EdgeRef{kNoSlot, 0, 0};
}

struct EdgeRefTable {
  EdgeRef pair[8][8];
};

constexpr EdgeRefTable BuildEdgeRefTable() {
  EdgeRefTable t{};
  for (int a = 0; a < 8; ++a) {
    for (int b = 0; b < 8; ++b) t.pair[a][b] = EdgeBetween(a, b);
  }
  return t;
}

constexpr EdgeRefTable kEdgeRefs = BuildEdgeRefTable();

constexpr bool CoversCubeAndTetrahedronEdges() {
  for (int e = 0; e < 12; ++e) {
    if (kEdgeRefs.pair[edgeCorner1[e]][edgeCorner2[e]].slot == kNoSlot) return false;
  }
  for (const auto& q : kCubeTetrahedra) {
    for (const auto& ends : kTetraEdgeEnds) {
      if (kEdgeRefs.pair[q[ends[0]]][q[ends[1]]].slot == kNoSlot) return false;
    }
  }
  return true;
}
static_assert(CoversCubeAndTetrahedronEdges(), "every cube edge and tetrahedron edge has a slot");

// Two cube corners joined by the edges of a slot at the record's own point
// (offset 0, 0): corner n lies on plane i + bit 2, row j + bit 1, k + bit 0.
struct SlotEnds {
  int a;
  int b;
};

constexpr SlotEnds EndsOfSlot(int slot) {
  for (int a = 0; a < 8; ++a) {
    for (int b = a + 1; b < 8; ++b) {
      const EdgeRef ref = kEdgeRefs.pair[a][b];
      if (ref.slot == slot && ref.dj == 0 && ref.dk == 0) return SlotEnds{a, b};
    }
  }
  return SlotEnds{-1, -1};
}

constexpr bool EverySlotHasEnds() {
  for (int s = 0; s < kSlotCount; ++s) {
    if (EndsOfSlot(s).a < 0) return false;
  }
  return true;
}
static_assert(EverySlotHasEnds(), "every slot joins two corners of the cube at its record");
