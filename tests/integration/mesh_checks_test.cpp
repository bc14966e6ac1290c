#include <gtest/gtest.h>

#include <initializer_list>

#include "support/mesh_checks.h"

namespace {

XSI::CLongArray Description(std::initializer_list<XSI::LONG> entries) {
  XSI::CLongArray a;
  for (XSI::LONG e : entries) a.Add(e);
  return a;
}

}  // namespace

// The shared checks must themselves tell open, closed and broken meshes apart.
TEST(MeshChecks, CountsBoundaryEdgesInEitherDirection) {
  // Two triangles sharing edge 1-2: four boundary edges, two of them used
  // only from the higher to the lower index.
  const MeshCounts counts = CountMesh(Description({3, 0, 1, 2, 3, 2, 1, 3}));
  EXPECT_EQ(counts.triangles, 2);
  EXPECT_EQ(counts.boundaryEdges, 4);
  EXPECT_EQ(counts.nonManifoldEdges, 0);
}

TEST(MeshChecks, TetrahedronIsClosedAndAFlippedFaceIsNot) {
  const XSI::CLongArray closed = Description({3, 0, 2, 1, 3, 0, 1, 3, 3, 1, 2, 3, 3, 2, 0, 3});
  EXPECT_TRUE(IsClosedManifold(closed));
  EXPECT_EQ(CountMesh(closed).boundaryEdges, 0);
  const XSI::CLongArray flipped = Description({3, 0, 1, 2, 3, 0, 1, 3, 3, 1, 2, 3, 3, 2, 0, 3});
  EXPECT_FALSE(IsClosedManifold(flipped));
  EXPECT_GT(CountMesh(flipped).nonManifoldEdges, 0);
}

TEST(MeshChecks, OnlyCoincidentOppositePairsAreExcused) {
  // A closed tetrahedron plus a triangle and its reverse over the same vertices.
  const XSI::CLongArray paired =
      Description({3, 0, 2, 1, 3, 0, 1, 3, 3, 1, 2, 3, 3, 2, 0, 3, 3, 0, 1, 2, 3, 0, 2, 1});
  EXPECT_FALSE(IsClosedManifold(paired));
  EXPECT_TRUE(IsClosedManifold(paired, /*allowCoincidentOppositePairs=*/true));
  const XSI::CLongArray open = Description({3, 0, 2, 1, 3, 0, 1, 3, 3, 1, 2, 3});
  EXPECT_FALSE(IsClosedManifold(open, true));
}
