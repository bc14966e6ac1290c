#include "output/mesh_writer.h"
#include "output/normal_uv_writers.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/mesh_checks.h"
#include "writer_fixture.h"

using XSI::CLongArray;
using XSI::CStatus;
using XSI::MATH::CVector3;
using XSI::MATH::CVector3Array;
using XSI::Host::Scene;

namespace output_test {
namespace {

class MeshWriter : public WriterTest {
 protected:
  void HostMesh(CVector3Array& vertices, CLongArray& polygons) const {
    Scene::Get().GetMesh(rig->mesh, vertices, polygons);
  }
  int SetCount() const { return Scene::Get().GetMeshSetCount(rig->mesh); }
  XSI::CStatus CallMeshOnNormalsPort() { return Call(WriteMesh, rig->normalsSet, L"OutUser_Normal_Property"); }
  XSI::CStatus CallNormalsOnUVPort() { return Call(WriteNormals, rig->uvSet, L"OutTexture_Projection"); }
  XSI::CStatus CallUVsOnNormalsPort() { return Call(WriteUVs, rig->normalsSet, L"OutUser_Normal_Property"); }
};

// The gates all three writers share: no result, no vertices (or a negative
// count), or another writer's port write nothing, log nothing, leave the
// arrays as they are (not even the mesh writer's filler triangle) and succeed.
TEST_F(MeshWriter, EveryWriterWritesNothingWithoutAResultOrForAnotherPort) {
  enum class Gate { NoResult, NoVertices, NegativeCount, OtherPort };
  struct Writer {
    const char* name;
    std::function<CStatus()> own;    // on its own port
    std::function<CStatus()> other;  // on another writer's port
  };
  const Writer writers[] = {
      {"mesh", [this] { return CallMesh(); }, [this] { return CallMeshOnNormalsPort(); }},
      {"normals", [this] { return CallNormals(); }, [this] { return CallNormalsOnUVPort(); }},
      {"UVs", [this] { return CallUVs(); }, [this] { return CallUVsOnNormalsPort(); }},
  };
  for (const Writer& w : writers) {
    for (const Gate gate : {Gate::NoResult, Gate::NoVertices, Gate::NegativeCount, Gate::OtherPort}) {
      SCOPED_TRACE(testing::Message() << w.name << " writer, gate " << static_cast<int>(gate));
      Scene::Get().ClearLog();
      SetResult(instance, Row(3), Longs({3, 0, 1, 2}), Doubles({0, 0, -1, 0, 0, -1, 0, 0, -1}));
      instance.settings.userNormals = instance.settings.uvSpace = instance.settings.normalsOrUv = true;
      if (gate == Gate::NoResult) instance.mesh.valid = false;
      if (gate == Gate::NoVertices) instance.mesh.vertexCount = 0;
      if (gate == Gate::NegativeCount) instance.mesh.vertexCount = -1;
      EXPECT_EQ(gate == Gate::OtherPort ? w.other() : w.own(), CStatus::OK);
      EXPECT_EQ(SetCount(), 0);
      EXPECT_EQ(NormalValues().GetCount(), 0);
      EXPECT_EQ(UVValues().GetCount(), 0);
      EXPECT_TRUE(LogTexts().empty());
      EXPECT_EQ(instance.mesh.vertices.GetCount(), 3);
      EXPECT_EQ(instance.mesh.polygons.GetCount(), 4);
    }
  }
}

TEST_F(MeshWriter, CopiesTheArraysUnchanged) {
  // Two triangles and a quad: the description passes through as it is.
  const CVector3Array vertices = Row(6);
  const CLongArray polygons = Longs({3, 0, 1, 2, 3, 2, 1, 3, 4, 2, 3, 4, 5});
  SetResult(instance, vertices, polygons);
  EXPECT_EQ(CallMesh(), CStatus::OK);
  CVector3Array written;
  CLongArray writtenPolygons;
  HostMesh(written, writtenPolygons);
  EXPECT_TRUE(written == vertices);
  EXPECT_TRUE(writtenPolygons == polygons);
}

TEST_F(MeshWriter, OneTriangleGetsADegenerateFillerOnce) {
  const CVector3Array triangle = Points({{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}});
  SetResult(instance, triangle, Longs({3, 0, 1, 2}));
  ASSERT_EQ(CallMesh(), CStatus::OK);

  CVector3Array vertices;
  CLongArray polygons;
  HostMesh(vertices, polygons);
  ASSERT_EQ(vertices.GetCount(), 6);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(vertices[i] == triangle[i]);
  for (int i = 3; i < 6; ++i) EXPECT_TRUE(vertices[i] == CVector3(0.0, 0.0, 0.0));
  EXPECT_TRUE(polygons == Longs({3, 0, 1, 2, 3, 3, 4, 5}));
  EXPECT_EQ(instance.mesh.vertexCount, 6);
  EXPECT_EQ(instance.mesh.polygonCount, 2);

  // The filler stays in the MeshArrays: a second write adds no other.
  ASSERT_EQ(CallMesh(), CStatus::OK);
  HostMesh(vertices, polygons);
  EXPECT_EQ(vertices.GetCount(), 6);
  EXPECT_TRUE(polygons == Longs({3, 0, 1, 2, 3, 3, 4, 5}));
  EXPECT_EQ(SetCount(), 2);
}

TEST_F(MeshWriter, FillerUsesTheVerticesItAdds) {
  // Single polygons that do not sit on vertices 0..2: the filler must still be
  // the degenerate triangle over the three new origin vertices.
  struct Case {
    const char* name;
    int vertexCount;
    std::vector<XSI::LONG> polygons;
  };
  const Case cases[] = {{"triangle on 2, 3, 4", 5, {3, 2, 3, 4}}, {"one quad", 4, {4, 0, 1, 2, 3}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene::Get().Reset();
    rig = std::make_unique<GlomoraRig>();
    SetResult(instance, Row(c.vertexCount), Longs(c.polygons));
    ASSERT_EQ(CallMesh(), CStatus::OK);
    CVector3Array vertices;
    CLongArray polygons;
    HostMesh(vertices, polygons);
    const XSI::LONG base = c.vertexCount;
    ASSERT_EQ(vertices.GetCount(), base + 3);
    ASSERT_EQ(polygons.GetCount(), static_cast<XSI::LONG>(c.polygons.size()) + 4);
    const XSI::LONG at = static_cast<XSI::LONG>(c.polygons.size());
    EXPECT_EQ(polygons[at], 3);
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(polygons[at + 1 + k], base + k);
      EXPECT_TRUE(vertices[base + k] == CVector3(0.0, 0.0, 0.0));
    }
    EXPECT_TRUE(HasValidIndices(vertices.GetCount(), polygons));
  }
}

TEST_F(MeshWriter, RefusedSetIsLoggedAndReturned) {
  struct Case {
    const char* name;
    bool failSet;
    std::vector<XSI::LONG> polygons;
  };
  const Case cases[] = {{"host refuses every Set", true, {3, 0, 1, 2, 3, 0, 2, 3}},
                        {"index past the vertices", false, {3, 0, 1, 2, 3, 0, 2, 4}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene::Get().Reset();
    rig = std::make_unique<GlomoraRig>();
    Scene::Get().SetFailMeshSet(c.failSet);
    SetResult(instance, Row(4), Longs(c.polygons));
    instance.settings.logTime = true;  // no timing line after a failure
    EXPECT_EQ(CallMesh(), CStatus::Fail);
    EXPECT_EQ(SetCount(), 0);
    ASSERT_EQ(Scene::Get().GetLog().size(), 1u);
    EXPECT_EQ(Scene::Get().GetLog()[0].text, L"blob.polymsh.GlomoraGeometry.Glomora -> Outpolymsh -> error.");
    EXPECT_EQ(Scene::Get().GetLog()[0].severity, XSI::siInfoMsg);
  }
}

TEST_F(MeshWriter, TimingLineOnlyWithLogTimeAndNotMute) {
  struct Case {
    bool logTime;
    bool mute;
    size_t lines;
  };
  const Case cases[] = {{false, false, 0}, {true, false, 1}, {true, true, 0}, {false, true, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "logTime " << c.logTime << " mute " << c.mute);
    Scene::Get().ClearLog();
    SetResult(instance, Row(4), Longs({3, 0, 1, 2, 3, 0, 2, 3}));
    instance.settings.logTime = c.logTime;
    instance.settings.mute = c.mute;
    ASSERT_EQ(CallMesh(), CStatus::OK);
    const std::vector<std::wstring> log = LogTexts();
    ASSERT_EQ(log.size(), c.lines);
    if (c.lines == 1) {
      EXPECT_TRUE(IsTimingLine(log[0], L"- PolygonMesh::Set(): ")) << std::string(log[0].begin(), log[0].end());
      EXPECT_EQ(Scene::Get().GetLog()[0].severity, XSI::siInfoMsg);
      EXPECT_GE(instance.clock.end, instance.clock.start);
    }
  }
}

}  // namespace
}  // namespace output_test
