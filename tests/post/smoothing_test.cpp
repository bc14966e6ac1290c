#include "post/smoothing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "post_meshes.h"
#include "support/mesh_checks.h"

using namespace post_test;

namespace {

// Fan around (2, 4, 8) over a square ring whose mean is the origin.
Mesh SquareFan() {
  return Fan(CVector3(2, 4, 8), {CVector3(1, 0, 0), CVector3(0, 1, 0), CVector3(-1, 0, 0), CVector3(0, -1, 0)});
}

CVector3 Scaled(const CVector3& v, double f) { return CVector3(v.GetX() * f, v.GetY() * f, v.GetZ() * f); }

// A vertex whose neighbours' mean is the origin goes to half its position in a
// full pass; in the last pass it keeps (1 - t) of its position and takes t of
// the half.
struct StrengthCase {
  float strength;
  double factor;
};
const StrengthCase kStrengths[] = {
    {0.5f, 0.75},      // one pass: 0.5 + 0.5 * 0.5
    {1.0f, 0.5},       // one full pass, then a null one
    {2.0f, 0.25},      // two full passes, then a null one
    {2.25f, 0.21875},  // two full passes, then 0.75 * 0.25 + 0.25 * 0.125
};

}  // namespace

TEST(Smoothing, FanCentreMovesByStrengthWhileTheRingStays) {
  const Mesh fan = SquareFan();
  for (const StrengthCase& c : kStrengths) {
    SCOPED_TRACE(testing::Message() << "strength " << c.strength);
    OperatorInstance in;
    Configure(in, false, 0.0f, true, c.strength, true);
    Mesh m = fan;
    PostProcess(in, m);
    EXPECT_EQ(m.vertices[0], Scaled(fan.vertices[0], c.factor));
    for (int32_t v = 1; v < 5; ++v) EXPECT_EQ(m.vertices[v], fan.vertices[v]) << "ring vertex " << v;
  }
}

TEST(Smoothing, ClosedOctahedronMovesEveryVertexWithBoundaryPreserved) {
  // Every vertex's four neighbours are the two opposite pairs of the other axes:
  // their mean is the origin, so the octahedron scales by the factor.
  const Mesh octahedron = Octahedron(2, 4, 8);
  for (const StrengthCase& c : kStrengths) {
    SCOPED_TRACE(testing::Message() << "strength " << c.strength);
    OperatorInstance in;
    Configure(in, false, 0.0f, true, c.strength, true);
    Mesh m = octahedron;
    PostProcess(in, m);
    for (int32_t v = 0; v < 6; ++v) EXPECT_EQ(m.vertices[v], Scaled(octahedron.vertices[v], c.factor)) << "vertex " << v;
    EXPECT_TRUE(m.polygons == octahedron.polygons);
  }
}

TEST(Smoothing, OpenMeshKeepsItsBoundaryRingInEveryPass) {
  const Mesh open = CutAbove(Icosphere(2), 0.5);
  int32_t boundaryEdges = 0;
  const std::vector<bool> boundary = BoundaryVertices(open, boundaryEdges);
  ASSERT_GT(boundaryEdges, 0);
  OperatorInstance in;
  Configure(in, false, 0.0f, true, 2.25f, true);
  Mesh m = open;
  PostProcess(in, m);
  EXPECT_TRUE(IsFinite(m.vertices));
  EXPECT_TRUE(m.polygons == open.polygons);
  int32_t ring = 0, moved = 0, used = 0;
  std::vector<bool> inTriangle(boundary.size(), false);
  for (int32_t k = 0; k < open.polygons.GetCount(); ++k) {
    if (k % 4 != 0) inTriangle[static_cast<size_t>(open.polygons[k])] = true;
  }
  for (int32_t v = 0; v < m.vertices.GetCount(); ++v) {
    if (!inTriangle[static_cast<size_t>(v)]) continue;  // the cap's inner vertices, now isolated
    ++used;
    if (boundary[static_cast<size_t>(v)]) {
      ++ring;
      EXPECT_EQ(m.vertices[v], RoundedToFloat(open.vertices[v])) << "boundary vertex " << v;
    } else {
      moved += m.vertices[v] != RoundedToFloat(open.vertices[v]);
    }
  }
  EXPECT_EQ(ring, boundaryEdges) << "a closed ring has as many vertices as edges";
  EXPECT_EQ(moved, used - ring) << "every interior vertex moves";
}

TEST(Smoothing, ClosedSphereStaysClosedAndShrinksSlightlyNeverGrows) {
  // The neighbours of a vertex on the unit sphere lie on it too, so their mean
  // and the smoothed point lie inside the unit ball; for edges of about 0.3
  // radians a pass takes a vertex to about (1 + cos 0.3) / 2 = 0.98.
  const Mesh sphere = Icosphere(2);
  ASSERT_TRUE(IsClosedManifold(sphere.polygons));
  for (float strength : {1.0f, 3.5f}) {
    SCOPED_TRACE(testing::Message() << "strength " << strength);
    OperatorInstance in;
    Configure(in, false, 0.0f, true, strength, true);
    Mesh m = sphere;
    PostProcess(in, m);
    EXPECT_TRUE(IsClosedManifold(m.polygons));
    EXPECT_TRUE(HasNoDuplicateVertices(m.vertices));
    for (int32_t v = 0; v < m.vertices.GetCount(); ++v) {
      const double before = Length(sphere.vertices[v]);
      const double after = Length(m.vertices[v]);
      EXPECT_LT(after, before - 1e-4) << "vertex " << v;
      EXPECT_GT(after, 0.9) << "vertex " << v;
    }
  }
}

TEST(Smoothing, UncountableStrengthsSmoothNothing) {
  // NaN, infinities, strengths whose integer part does not fit the int32 pass
  // counter (2^31 and up) and strengths at or below -1 make no pass.
  const Mesh fan = SquareFan();
  const float inf = std::numeric_limits<float>::infinity();
  for (float strength : {std::numeric_limits<float>::quiet_NaN(), -inf, -1.0f, inf, 1e30f, 2147483648.0f}) {
    SCOPED_TRACE(testing::Message() << "strength " << strength);
    OperatorInstance in;
    Configure(in, false, 0.0f, true, strength, true);
    Mesh m = fan;
    PostProcess(in, m);
    EXPECT_EQ(m.vertices[0], fan.vertices[0]);
  }
}

TEST(Smoothing, PassesBeyondAThousandAreAllRun) {
  // Strength 1000 then strength 1 (a full pass and a null one) is strength
  // 1001; strength 1000 then 0.5 is 1000.5, whose last pass is at half weight.
  // A closed sphere shrinks toward its centre in every pass (by about 0.98,
  // still far from float underflow after a thousand), so pass 1001 moves
  // every vertex.
  const Mesh sphere = Icosphere(2);
  auto smoothed = [](const Mesh& from, float strength) {
    OperatorInstance in;
    Configure(in, false, 0.0f, true, strength, false);
    Mesh m = from;
    PostProcess(in, m);
    return m;
  };
  const Mesh thousand = smoothed(sphere, 1000.0f);
  for (float rest : {1.0f, 0.5f}) {
    SCOPED_TRACE(testing::Message() << "1000 + " << rest);
    const Mesh atOnce = smoothed(sphere, 1000.0f + rest);
    const Mesh inTwo = smoothed(thousand, rest);
    for (int32_t v = 0; v < sphere.vertices.GetCount(); ++v) {
      EXPECT_EQ(atOnce.vertices[v], inTwo.vertices[v]) << "vertex " << v;
      EXPECT_NE(atOnce.vertices[v], thousand.vertices[v]) << "vertex " << v;
    }
  }
}

TEST(Smoothing, NeighbourSumRunsInListOrderFromZero) {
  // Strip (0,1,2), (2,1,3); vertex 1's list is 3, 2, 0. In x the sum
  // 0 + 2^25 - 2^25 + 1 is 1, where the reverse order would lose the 1
  // (1 - 2^25 rounds to -2^25). One full pass then gives (1 * (1/3) + 0) / 2.
  Mesh m = CancellingStrip();
  OperatorInstance in;
  Configure(in, false, 0.0f, true, 1.0f, false);
  PostProcess(in, m);
  EXPECT_EQ(m.vertices[1].GetX(), static_cast<double>((1.0f / 3.0f) * 0.5f));
}
