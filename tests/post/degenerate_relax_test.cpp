#include "post/degenerate_relax.h"

#include <gtest/gtest.h>

#include "post_meshes.h"
#include "support/mesh_checks.h"

using namespace post_test;

namespace {

// Triangle (0, 1, 2) with the edge 0-1 of length `shortEdge` along x and the
// two other edges at least 1 long.
Mesh TriangleWithShortEdge(double shortEdge) {
  Mesh m;
  m.vertices.Add(CVector3(0, 0, 0));
  m.vertices.Add(CVector3(shortEdge, 0, 0));
  m.vertices.Add(CVector3(0, 1, 0));
  AddTriangle(m.polygons, 0, 1, 2);
  return m;
}

}  // namespace

TEST(DegenerateRelax, ThresholdFollowsSpaceAndPolygonization) {
  // Both ends of a short edge 0-1 (L long) move half-way to the mean of their
  // two neighbours: 0 -> (0 + (L + 0)/2) / 2 = (L/4, 1/4, 0), 1 -> (L/2, 1/4, 0).
  // An edge exactly at the tolerance length is left alone (strict comparison).
  const Float3 unevenCells{0.25f, 0.5f, 0.75f};  // mean 0.5, x 0.25
  const Float3 tenthCells{0.1f, 0.1f, 0.1f};
  struct Case {
    int32_t space;
    int32_t polygonization;
    Float3 cellSize;
    float tolerance;
    double edge;
    bool moves;
  };
  const Case cases[] = {
      // space 0: mean cell 0.5 -> tolerance length 0.125; tetrahedra 0.0625
      {0, 0, unevenCells, 0.25f, 0.125, false},
      {0, 0, unevenCells, 0.25f, 0.12109375, true},
      {0, 0, unevenCells, 0.25f, 0.1, true},
      {0, 1, unevenCells, 0.25f, 0.0625, false},
      {0, 1, unevenCells, 0.25f, 0.1, false},
      {0, 1, unevenCells, 0.25f, 0.06, true},
      // space 1: cellSize.x 0.25 -> 0.0625; tetrahedra 0.03125
      {1, 0, unevenCells, 0.25f, 0.1, false},
      {1, 0, unevenCells, 0.25f, 0.0625, false},
      {1, 0, unevenCells, 0.25f, 0.06, true},
      {1, 1, unevenCells, 0.25f, 0.03125, false},
      {1, 1, unevenCells, 0.25f, 0.03, true},
      // voxel size 0.1, tolerance 0.2: edges below 0.02, with tetrahedra below 0.01
      {1, 0, tenthCells, 0.2f, 0.019, true},
      {1, 0, tenthCells, 0.2f, 0.021, false},
      {1, 1, tenthCells, 0.2f, 0.009, true},
      {1, 1, tenthCells, 0.2f, 0.011, false},
      // any other space: reference length 0, not even a zero-length edge is short
      {2, 0, unevenCells, 0.25f, 0.0, false},
      {2, 0, unevenCells, 0.25f, 0.01, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "space " << c.space << ", polygonization " << c.polygonization
                                    << ", tolerance " << c.tolerance << ", edge " << c.edge);
    OperatorInstance in;
    Configure(in, true, c.tolerance, false, 0.0f, false);
    in.settings.space = c.space;
    in.settings.polygonization = c.polygonization;
    in.settings.cellSize = c.cellSize;
    Mesh m = TriangleWithShortEdge(c.edge);
    const double l = ThroughFloat(c.edge);
    PostProcess(in, m);
    if (c.moves) {
      EXPECT_EQ(m.vertices[0], CVector3(l / 4, 0.25, 0));
      EXPECT_EQ(m.vertices[1], CVector3(l / 2, 0.25, 0));
    } else {
      EXPECT_EQ(m.vertices[0], CVector3(0, 0, 0));
      EXPECT_EQ(m.vertices[1], CVector3(l, 0, 0));
    }
    EXPECT_EQ(m.vertices[2], CVector3(0, 1, 0));
  }
}

TEST(DegenerateRelax, BoundaryEndOfAShortEdgeStaysWhileItsPartnerMoves) {
  // Fan around the origin; only the spoke to (0.125, 0, 0) is shorter than the
  // tolerance length 0.25. The centre moves half-way to its ring's mean:
  // ((0.125 - 1) / 4) / 2 = -0.109375 in x.
  const Mesh fan = Fan(CVector3(0, 0, 0), {CVector3(0.125, 0, 0), CVector3(0, 1, 0), CVector3(-1, 0, 0), CVector3(0, -1, 0)});
  for (bool preserve : {true, false}) {
    SCOPED_TRACE(preserve ? "boundary preserved" : "boundary free");
    OperatorInstance in;
    Configure(in, true, 0.25f, false, 0.0f, preserve);
    in.settings.space = 1;
    in.settings.cellSize = Float3{1.0f, 1.0f, 1.0f};
    Mesh m = fan;
    PostProcess(in, m);
    EXPECT_EQ(m.vertices[0], CVector3(-0.109375, 0, 0));
    // Free, the ring end moves half-way to the mean of (0,0,0), (0,1,0) and (0,-1,0).
    EXPECT_EQ(m.vertices[1], preserve ? CVector3(0.125, 0, 0) : CVector3(0.0625, 0, 0));
    for (int32_t v = 2; v < 5; ++v) EXPECT_EQ(m.vertices[v], fan.vertices[v]) << "vertex " << v << " is on no short edge";
    EXPECT_TRUE(m.polygons == fan.polygons);
  }
}

TEST(DegenerateRelax, MeshWithoutShortEdgesIsOnlyRounded) {
  OperatorInstance in;
  Configure(in, true, 0.1f, false, 0.0f, false);
  in.settings.space = 0;
  in.settings.cellSize = Float3{0.5f, 0.5f, 0.5f};  // edges below 0.05; the icosphere's are about 0.3
  const Mesh original = Icosphere(2);
  Mesh m = original;
  PostProcess(in, m);
  ASSERT_EQ(m.vertices.GetCount(), original.vertices.GetCount());
  EXPECT_TRUE(m.polygons == original.polygons);
  for (int32_t v = 0; v < m.vertices.GetCount(); ++v) EXPECT_EQ(m.vertices[v], RoundedToFloat(original.vertices[v]));
}

TEST(DegenerateRelax, NeedsAValidDatasetWithPolygonRecords) {
  OperatorInstance in;
  Configure(in, false, 0.25f, true, 1.0f, false);
  in.settings.space = 1;
  in.settings.cellSize = Float3{1.0f, 1.0f, 1.0f};
  Mesh m = TriangleWithShortEdge(0.0625);
  GeometryDataset d;
  ResetDataset(d);
  RelaxDegenerateEdges(in.settings, m.vertices, m.polygons, d);  // never built
  BuildDataset(d, in.settings, m.vertices, m.polygons);          // built without polygon records
  in.settings.degenerateActive = true;
  RelaxDegenerateEdges(in.settings, m.vertices, m.polygons, d);
  EXPECT_EQ(d.vertexRecords[1].position.x, 0.0625f);
  EXPECT_EQ(d.vertexRecords[1].newPosition.x, 0.0625f);
}

TEST(DegenerateRelax, SumStartsWithThePartnerThenFollowsTheList) {
  // Strip (0,1,2), (2,1,3); vertex 1's list is 3, 2, 0 and only the edge 0-1
  // (length 1, tolerance length 2) is short. In x, starting with the partner:
  // (1 + 2^25) rounds to 2^25 (tie to even), minus 2^25 gives 0. Taking the
  // list as it stands would give 2^25 - 2^25 + 1 = 1 instead.
  Mesh m = CancellingStrip();
  OperatorInstance in;
  Configure(in, true, 0.5f, false, 0.0f, false);
  in.settings.space = 1;
  in.settings.cellSize = Float3{4.0f, 4.0f, 4.0f};
  PostProcess(in, m);
  EXPECT_EQ(m.vertices[1].GetX(), 0.0);
  EXPECT_EQ(m.vertices[3].GetX(), kStripFar) << "on no short edge";
}

TEST(DegenerateRelax, VertexOnSeveralShortEdgesMovesHalfWayOnce) {
  // Every edge of this small fan is below the tolerance length 0.25. The
  // centre's ring has mean 0, so it goes half-way from 0.0625 to 0 in x; the
  // ring vertex (0, 0.125, 0) has neighbours whose y sums to 0 and halves its y.
  const Mesh fan = Fan(CVector3(0.0625, 0, 0),
                       {CVector3(0.125, 0, 0), CVector3(0, 0.125, 0), CVector3(-0.125, 0, 0), CVector3(0, -0.125, 0)});
  OperatorInstance in;
  Configure(in, true, 0.25f, false, 0.0f, false);
  in.settings.space = 1;
  in.settings.cellSize = Float3{1.0f, 1.0f, 1.0f};
  Mesh m = fan;
  PostProcess(in, m);
  EXPECT_EQ(m.vertices[0], CVector3(0.03125, 0, 0));
  EXPECT_EQ(m.vertices[2].GetY(), 0.0625);
  EXPECT_TRUE(IsFinite(m.vertices));
}
