#include "post/geometry_dataset.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "base/allocation.h"
#include "host/host_scene.h"
#include "post_meshes.h"
#include "support/mesh_checks.h"

using namespace post_test;

namespace {

struct Expected {
  int32_t vertex;
  bool shared;
};

void ExpectList(const GeometryDataset& d, int32_t v, const std::vector<Expected>& expected) {
  SCOPED_TRACE(testing::Message() << "vertex " << v);
  ASSERT_EQ(d.vertexRecords[v].neighbourCount, static_cast<int32_t>(expected.size()));
  const NeighbourEntry* list = NeighboursOf(d, v);
  for (size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(list[k].vertex, expected[k].vertex) << "entry " << k;
    EXPECT_EQ(list[k].shared, expected[k].shared) << "entry " << k;
  }
}

// Two triangles (0, 1, 2) and (2, 1, 3) sharing the edge 1-2.
Mesh Strip() {
  Mesh m;
  m.vertices.Add(CVector3(0, 0, 0));
  m.vertices.Add(CVector3(1, 0, 0));
  m.vertices.Add(CVector3(0, 1, 0));
  m.vertices.Add(CVector3(1, 1, 0));
  AddTriangle(m.polygons, 0, 1, 2);
  AddTriangle(m.polygons, 2, 1, 3);
  return m;
}

}  // namespace

TEST(GeometryDataset, StripListsPutTheLatestNeighbourFirstAndFlagTheSharedEdge) {
  OperatorInstance in;
  Configure(in, true, 0.5f, false, 0.0f, false);
  Mesh m = Strip();
  GeometryDataset d;
  BuildDataset(d, in.settings, m.vertices, m.polygons);
  ASSERT_TRUE(d.valid);
  EXPECT_EQ(d.vertexCount, 4);
  EXPECT_EQ(d.polygonCount, 2);
  // Triangle (0,1,2): 0 gets 1, 2; 1 gets 0, 2; 2 gets 0, 1.
  // Triangle (2,1,3): 2 gets 1 (again), 3; 1 gets 2 (again), 3; 3 gets 2, 1.
  ExpectList(d, 0, {{2, false}, {1, false}});
  ExpectList(d, 1, {{3, false}, {2, true}, {0, false}});
  ExpectList(d, 2, {{3, false}, {1, true}, {0, false}});
  ExpectList(d, 3, {{1, false}, {2, false}});
  EXPECT_EQ(d.vertexRecords[0].inverseNeighbourCount, 0.5f);
  EXPECT_EQ(d.vertexRecords[1].inverseNeighbourCount, 1.0f / 3.0f);
  ASSERT_TRUE(d.polygonRecords);
  EXPECT_EQ(d.polygonRecords[1].a, 2);
  EXPECT_EQ(d.polygonRecords[1].b, 1);
  EXPECT_EQ(d.polygonRecords[1].c, 3);
  for (int32_t v = 0; v < 4; ++v) EXPECT_FALSE(d.vertexRecords[v].boundary) << "marked without preserveBoundary";

  // Every strip vertex lies on an outer edge.
  Configure(in, false, 0.0f, true, 1.0f, true);
  BuildDataset(d, in.settings, m.vertices, m.polygons);
  ASSERT_TRUE(d.valid);
  EXPECT_FALSE(d.polygonRecords) << "polygon records without degenerate removal";
  for (int32_t v = 0; v < 4; ++v) EXPECT_TRUE(d.vertexRecords[v].boundary) << "vertex " << v;
  ReleaseDataset(d);
  EXPECT_FALSE(d.vertexRecords);
  EXPECT_FALSE(d.valid);
}

TEST(GeometryDataset, ClosedMeshHasNoBoundaryVertex) {
  const std::vector<std::pair<const char*, Mesh>> meshes = {{"octahedron", Octahedron(1, 2, 3)},
                                                            {"icosphere", Icosphere(2)}};
  for (const auto& [name, mesh] : meshes) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(IsClosedManifold(mesh.polygons));
    OperatorInstance in;
    Configure(in, false, 0.0f, true, 1.0f, true);
    GeometryDataset d;
    BuildDataset(d, in.settings, mesh.vertices, mesh.polygons);
    ASSERT_TRUE(d.valid);
    int32_t entries = 0;
    for (int32_t v = 0; v < d.vertexCount; ++v) {
      EXPECT_FALSE(d.vertexRecords[v].boundary) << "vertex " << v;
      const NeighbourEntry* list = NeighboursOf(d, v);
      for (int32_t k = 0; k < d.vertexRecords[v].neighbourCount; ++k) EXPECT_TRUE(list[k].shared);
      entries += d.vertexRecords[v].neighbourCount;
    }
    // Each undirected edge appears in both of its ends' lists: E = 3F/2 edges.
    EXPECT_EQ(entries, 2 * (3 * d.polygonCount / 2));
  }
}

TEST(GeometryDataset, OnlyWholeTriangleGroupsOverExistingVerticesAreRead) {
  OperatorInstance in;
  Configure(in, true, 0.5f, true, 1.0f, true);
  Mesh m;
  for (int i = 0; i < 4; ++i) m.vertices.Add(CVector3(i, i * i, 1));
  const XSI::LONG description[] = {
      3, 0, 1, 2,         // triangle: used
      4, 0, 1, 2,         // head of a quad: skipped
      3, 1, 2, 7,         // index past the end: skipped
      3, 0, -1, 3,        // negative index: skipped
      3, 2, 3, 2000000,   // index past the end: skipped
      3, 1, 3};           // incomplete group: not read
  for (XSI::LONG e : description) m.polygons.Add(e);
  const CLongArray before = m.polygons;
  GeometryDataset d;
  BuildDataset(d, in.settings, m.vertices, m.polygons);
  ASSERT_TRUE(d.valid);
  EXPECT_EQ(d.polygonCount, 5);
  EXPECT_EQ(d.triangleCount, 1);
  ExpectList(d, 0, {{2, false}, {1, false}});
  ExpectList(d, 1, {{2, false}, {0, false}});
  ExpectList(d, 2, {{1, false}, {0, false}});
  ExpectList(d, 3, {});
  EXPECT_FALSE(d.vertexRecords[3].boundary);
  EXPECT_EQ(d.polygonRecords[0].a, 0);

  // The passes on such a dataset stay finite and never touch the description.
  in.settings.degenerateTolerance = 100.0f;
  in.settings.smoothStrength = 2.25f;
  PostProcess(in, m);
  EXPECT_TRUE(IsFinite(m.vertices));
  EXPECT_TRUE(m.polygons == before);

  // A pure quad description: the one group (4, 0, 1, 2) is skipped.
  Mesh quad;
  for (int i = 0; i < 4; ++i) quad.vertices.Add(CVector3(i & 1, i >> 1, 0));
  for (XSI::LONG e : {4, 0, 1, 3, 2}) quad.polygons.Add(e);
  BuildDataset(d, in.settings, quad.vertices, quad.polygons);
  ASSERT_TRUE(d.valid);
  EXPECT_EQ(d.triangleCount, 0);
  for (int32_t v = 0; v < 4; ++v) EXPECT_EQ(d.vertexRecords[v].neighbourCount, 0);
}

TEST(GeometryDataset, IsolatedVertexIsLeftWhereItIsByBothPasses) {
  OperatorInstance in;
  // A tolerance so large that every edge is short.
  Configure(in, true, 1000.0f, true, 2.25f, false);
  in.settings.space = 1;
  in.settings.cellSize = Float3{1.0f, 1.0f, 1.0f};
  Mesh m = Octahedron(1, 1, 1);
  m.vertices.Add(CVector3(5.5, -7.25, 3.0));
  GeometryDataset d;
  BuildDataset(d, in.settings, m.vertices, m.polygons);
  ASSERT_TRUE(d.valid);
  EXPECT_EQ(d.vertexRecords[6].neighbourCount, 0);
  EXPECT_TRUE(std::isinf(d.vertexRecords[6].inverseNeighbourCount));
  EXPECT_GT(d.vertexRecords[6].inverseNeighbourCount, 0.0f);
  EXPECT_FALSE(d.vertexRecords[6].boundary);

  PostProcess(in, m);
  EXPECT_EQ(m.vertices[6], CVector3(5.5, -7.25, 3.0));
  EXPECT_TRUE(IsFinite(m.vertices));
  EXPECT_NE(m.vertices[0], CVector3(1, 0, 0)) << "the octahedron itself is smoothed";
}

TEST(GeometryDataset, FailedBuildLogsOnceAndLeavesTheVerticesUnchanged) {
  // Allocation order: vertex records, polygon records (degenerate removal
  // only), the neighbour pool, the build scratch.
  struct Case {
    int successes;
    bool degenerate;
  };
  const Case cases[] = {{0, false}, {0, true}, {1, true}, {1, false}, {2, true}, {2, false}, {3, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "fail after " << c.successes << (c.degenerate ? ", degenerate on" : ""));
    OperatorInstance in;
    Configure(in, c.degenerate, 1000.0f, true, 2.0f, false);
    in.settings.space = 1;
    in.settings.cellSize = Float3{1.0f, 1.0f, 1.0f};
    Mesh m = Octahedron(0.1, 0.2, 0.3);  // not exact in float: any write-back would show
    const Mesh original = m;
    XSI::Host::Scene::Get().ClearLog();
    allocation_faults::FailAfter(c.successes);
    GeometryDataset d;
    BuildDataset(d, in.settings, m.vertices, m.polygons);
    allocation_faults::Clear();
    EXPECT_FALSE(d.valid);
    EXPECT_FALSE(d.vertexRecords);
    EXPECT_FALSE(d.polygonRecords);
    EXPECT_FALSE(d.neighbourEntries);
    RelaxDegenerateEdges(in.settings, m.vertices, m.polygons, d);
    SmoothGeometry(in.settings, m.vertices, d);
    WriteBackPositions(d, m.vertices);
    ReleaseDataset(d);
    for (int32_t v = 0; v < m.vertices.GetCount(); ++v) EXPECT_EQ(m.vertices[v], original.vertices[v]);
    const auto& log = XSI::Host::Scene::Get().GetLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, L"mesh.GlomoraGeometry.Glomora (geometry dataset) -> not enough memory.");
    EXPECT_EQ(log[0].severity, XSI::siInfoMsg);
  }

  // One allocation more than the build makes: it succeeds silently.
  OperatorInstance in;
  Configure(in, true, 0.5f, false, 0.0f, false);
  Mesh m = Octahedron(1, 1, 1);
  XSI::Host::Scene::Get().ClearLog();
  allocation_faults::FailAfter(4);
  GeometryDataset d;
  BuildDataset(d, in.settings, m.vertices, m.polygons);
  allocation_faults::Clear();
  EXPECT_TRUE(d.valid);
  EXPECT_TRUE(XSI::Host::Scene::Get().GetLog().empty());
}

TEST(GeometryDataset, WriteBackRoundsToFloatAndKeepsCountsAndDescription) {
  OperatorInstance in;
  // Degenerate removal in space 2 has a reference length of 0: a build and a
  // pass that moves nothing.
  Configure(in, true, 0.5f, false, 0.0f, false);
  in.settings.space = 2;
  Mesh m = Icosphere(1);
  const Mesh original = m;
  PostProcess(in, m);
  ASSERT_EQ(m.vertices.GetCount(), original.vertices.GetCount());
  EXPECT_TRUE(m.polygons == original.polygons);
  for (int32_t v = 0; v < m.vertices.GetCount(); ++v) {
    EXPECT_EQ(m.vertices[v], RoundedToFloat(original.vertices[v])) << "vertex " << v;
  }
}
