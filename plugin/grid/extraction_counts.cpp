#include "grid/extraction_counts.h"

#include "base/settings.h"
#include "cubes/box_emitter.h"
#include "cubes/tetrahedra.h"
#include "grid/edge_slots.h"

namespace {

// Cut edges of one slot in slab i: for every record point whose edge lies in
// the lattice, whether its two ends differ in sign.
int64_t CountCutEdges(const LatticeSigns& signs, int32_t i, int slot) {
  const SlotEnds ends = EndsOfSlot(slot);
  const auto plane = [i](int corner) { return i + ((corner >> 2) & 1); };
  const auto row = [](int corner) { return (corner >> 1) & 1; };
  const auto shift = [](int corner) { return corner & 1; };
  const int32_t rows = signs.ny - (row(ends.a) | row(ends.b));
  const int32_t kLimit = signs.nz - (shift(ends.a) | shift(ends.b));
  int64_t count = 0;
  const int32_t endRow = signs.EndRow(i, rows);
  for (int32_t j = signs.FirstRow(i); j < endRow; ++j) {
    const uint64_t* rowA = signs.Row(plane(ends.a), j + row(ends.a));
    const uint64_t* rowB = signs.Row(plane(ends.b), j + row(ends.b));
    for (int32_t w = 0; w < signs.words; ++w) {
      const uint64_t differ = ShiftedBits(rowA, w, signs.words, shift(ends.a)) ^
                              ShiftedBits(rowB, w, signs.words, shift(ends.b));
      count += CountBits(differ & BitsBelow(w, kLimit));
    }
  }
  return count;
}

}  // namespace

void CountCaseEntries(const CubeTable& cubeTable, int32_t polygonization, CaseEntries& out) {
  for (int c = 0; c < 256; ++c) {
    int32_t entries = 0;
    if (polygonization == Polygonization::kCubeTable) {
      const CubeCase& cubeCase = cubeTable.cases[c];
      for (int32_t p = 0; p < cubeCase.polygonCount; ++p) {
        const int32_t edges = cubeCase.polygons[p].edgeCount;
        if (edges > 2) entries += 4 * (edges - 2);
      }
    } else if (polygonization == Polygonization::kTetrahedra) {
      bool positive[8];
      for (int n = 0; n < 8; ++n) positive[n] = ((c >> n) & 1) != 0;
      for (const auto& q : kCubeTetrahedra) {
        PolygonizeTetrahedron(
            positive, q, [](int, int) { return 0; }, [&entries](int32_t, int32_t, int32_t) { entries += 4; });
      }
    } else if (polygonization == Polygonization::kBoxes) {
      entries = c == 0 || c == 255 ? 0 : kBoxEntries;
    }
    out.entries[c] = entries;
  }
}

SlabCounts CountSlab(const LatticeSigns& signs, int32_t slab, int32_t polygonization, const CaseEntries& caseEntries) {
  SlabCounts counts;
  int64_t crossedCubes = 0;
  ForEachCrossedCube(signs, slab, [&](int32_t, int32_t, int32_t caseIndex) {
    counts.entries += caseEntries.entries[caseIndex];
    ++crossedCubes;
  });
  if (polygonization == Polygonization::kBoxes) {
    counts.vertices = kBoxCorners * crossedCubes;
    return counts;
  }
  const bool tetrahedra = polygonization == Polygonization::kTetrahedra;
  for (int s = 0; s < kSlotCount; ++s) {
    const bool diagonal = s == kLowYZ || s == kHighYZ || s == kCrossXY || s == kCrossXZ || s == kCrossBody;
    const bool low = s <= kLowYZ;
    if ((diagonal && !tetrahedra) || (low && slab > 0)) continue;
    counts.vertices += CountCutEdges(signs, slab, s);
  }
  return counts;
}
