#include "output/mesh_writer.h"

#include <gtest/gtest.h>

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
};

TEST_F(MeshWriter, WritesNothingWithoutAResult) {
  struct Case {
    const char* name;
    bool resultValid;
    int vertexCount;
  };
  const Case cases[] = {{"result not valid", false, 4}, {"no vertices", true, 0}, {"negative count", true, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetResult(instance, Row(4), Longs({3, 0, 1, 2, 3, 0, 2, 3}));
    instance.mesh.valid = c.resultValid;
    instance.mesh.vertexCount = c.vertexCount;
    EXPECT_EQ(CallMesh(), CStatus::OK);
    EXPECT_EQ(SetCount(), 0);
    EXPECT_TRUE(LogTexts().empty());
  }
}

TEST_F(MeshWriter, WritesNothingForAnotherPort) {
  // A one-triangle result, offered the normals operator's output: not even the
  // filler triangle is added.
  SetResult(instance, Row(3), Longs({3, 0, 1, 2}));
  EXPECT_EQ(Call(WriteMesh, rig->normalsSet, L"OutUser_Normal_Property"), CStatus::OK);
  EXPECT_EQ(SetCount(), 0);
  EXPECT_EQ(instance.mesh.vertices.GetCount(), 3);
  EXPECT_EQ(instance.mesh.polygons.GetCount(), 4);
  EXPECT_EQ(instance.mesh.polygonCount, 1);
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
