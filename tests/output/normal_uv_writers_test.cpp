#include "output/normal_uv_writers.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "cubes/box_emitter.h"
#include "output/mesh_writer.h"
#include "writer_fixture.h"

using XSI::CDoubleArray;
using XSI::CLongArray;
using XSI::CStatus;
using XSI::LONG;
using XSI::MATH::CVector3;
using XSI::MATH::CVector3Array;
using XSI::Host::Scene;

namespace output_test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Vertex indices of every node of a description, in node order.
std::vector<LONG> NodeVertices(const CLongArray& polygons) {
  std::vector<LONG> nodes;
  for (LONG offset = 0; offset < polygons.GetCount(); offset += polygons[offset] + 1) {
    for (LONG k = 1; k <= polygons[offset]; ++k) nodes.push_back(polygons[offset + k]);
  }
  return nodes;
}

void AddXyz(CDoubleArray& values, double x, double y, double z) {
  values.Add(x);
  values.Add(y);
  values.Add(z);
}

bool IsFloat(double value) { return static_cast<double>(static_cast<float>(value)) == value; }

// Regular tetrahedron, faces counter-clockwise seen from outside. By symmetry
// the smooth normal at each corner points from the centre to the corner:
// corner / sqrt(3).
const CVector3Array kTetraVertices = Points({{1, 1, 1}, {1, -1, -1}, {-1, 1, -1}, {-1, -1, 1}});
const std::vector<LONG> kTetraPolygons = {3, 0, 1, 2, 3, 0, 3, 1, 3, 0, 2, 3, 3, 1, 3, 2};

// Two quads side by side in the z = 0 plane, counter-clockwise seen from +z:
// every node normal is (0, 0, 1).
const CVector3Array kStripVertices = Points({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 1, 0}, {1, 1, 0}, {2, 1, 0}});
const std::vector<LONG> kStripPolygons = {4, 0, 1, 4, 3, 4, 1, 2, 5, 4};

class NormalUvWriters : public WriterTest {
 protected:
  void EnableComputed() {
    instance.settings.userNormals = true;
    instance.settings.uvSpace = true;
    instance.settings.normalsOrUv = true;
  }
  // Writes the MeshArrays into the host mesh first, as the transfer operators
  // run in the order geometry, normals, UVs.
  void WriteHostMesh() { ASSERT_EQ(CallMesh(), CStatus::OK); }
  void SetHostMesh(const CVector3Array& vertices, const std::vector<LONG>& polygons) {
    XSI::PolygonMesh mesh(XSI::Primitive(rig->mesh).GetGeometry(DBL_MAX));
    ASSERT_EQ(mesh.Set(vertices, Longs(polygons)), CStatus::OK);
  }
  XSI::CPolygonFaceRefArray HostPolygons() const {
    return XSI::PolygonMesh(XSI::Primitive(rig->mesh).GetGeometry(DBL_MAX)).GetPolygons();
  }
};

// --- projection -------------------------------------------------------------

TEST(ClampedAcos, ClampsToJustInsideTheOpenInterval) {
  // acos(1 - e) ~ sqrt(2e) for the single-precision 0.99999 (e = 1.0013580e-5):
  // 0.0044751753; at the other end pi minus that.
  struct Case {
    float a;
    double expected;
  };
  const Case cases[] = {{1.0f, 0.0044751753}, {7.0f, 0.0044751753},   {-1.0f, 3.1371174783},
                        {-7.0f, 3.1371174783}, {0.5f, 1.0471975512}, {0.0f, 1.5707963268},
                        {-0.5f, 2.0943951024}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a);
    const float theta = ClampedAcos(c.a);
    EXPECT_NEAR(theta, c.expected, 1e-6);
    EXPECT_GT(theta, 0.0f);
    EXPECT_NE(std::sin(theta), 0.0f);
  }
  EXPECT_TRUE(std::isnan(ClampedAcos(std::numeric_limits<float>::quiet_NaN())));
}

TEST_F(NormalUvWriters, ProjectsAxisAndDiagonalNormals) {
  // theta = acos(-y), V = theta / pi, U = -x / sin(theta) / (2 pi), mirrored to
  // 1 - U unless -z > 0.00001.
  const double s = std::sqrt(0.5);
  struct Node {
    double x, y, z, u, v;
  };
  const Node normals[] = {
      {0, -1, 0, 1.0, 0.0014244925},   // theta = acos(0.99999f); -x = 0 mirrored to 1
      {0, 1, 0, 1.0, 0.9985755075},    // theta = pi - acos(0.99999f)
      {1, 0, 0, 1.1591549431, 0.5},    // U = -1/(2 pi), mirrored
      {0, 0, -1, 0.0, 0.5},            // -z = 1: U stays 0
      {-s, 0, s, 0.8874604531, 0.5},   // U = s/(2 pi) = 0.1125395469, mirrored
      {-s, 0, -s, 0.1125395469, 0.5},  // -z > 0: kept
  };
  CDoubleArray nodeValues;
  for (const Node& n : normals) {
    nodeValues.Add(n.x);
    nodeValues.Add(n.y);
    nodeValues.Add(n.z);
  }
  const std::vector<LONG> polygons = {3, 0, 1, 2, 3, 3, 4, 5, 3, 5, 2, 0};
  SetResult(instance, Row(6), Longs(polygons), nodeValues);
  EnableComputed();
  WriteHostMesh();
  ASSERT_EQ(CallUVs(), CStatus::OK);

  const CDoubleArray uv = UVValues();
  const std::vector<LONG> nodes = NodeVertices(Longs(polygons));
  ASSERT_EQ(uv.GetCount(), 3 * static_cast<LONG>(nodes.size()));
  for (size_t i = 0; i < nodes.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "node " << i << " vertex " << nodes[i]);
    const Node& n = normals[nodes[i]];
    const LONG at = 3 * static_cast<LONG>(i);
    EXPECT_NEAR(uv[at], n.u, 1e-6);
    EXPECT_NEAR(uv[at + 1], n.v, 1e-6);
    EXPECT_EQ(uv[at + 2], 1.0);
    EXPECT_TRUE(IsFloat(uv[at]) && IsFloat(uv[at + 1]));
    // The components along -X, -Y, -Z are dot products: a zero component
    // gives +0, never -0, so a kept U of zero is written as +0.
    if (n.u == 0.0) {
      EXPECT_FALSE(std::signbit(uv[at]));
    }
  }
}

TEST_F(NormalUvWriters, ZeroAndNonFiniteNormalsProjectSafely) {
  // A zero normal lies on the equator (theta = pi/2, sin = 1) and on the
  // mirrored side: U = 1, V = 0.5. Normals whose projection is not finite
  // (NaN, infinite, or so long that -x / sin(theta) overflows a float) get the
  // zeros of a node without a normal.
  struct Case {
    const char* name;
    double x, y, z;
    double u, v, w;
  };
  const Case cases[] = {
      {"zero", 0, 0, 0, 1.0, 0.5, 1.0},          {"NaN x", kNaN, 0, 1, 0, 0, 0},
      {"NaN y", 0, kNaN, 1, 0, 0, 0},            {"NaN z", 0, 0, kNaN, 0, 0, 0},
      {"infinite x", kInf, 0, 0, 0, 0, 0},       {"infinite y", 0, -kInf, 0, 0, 0, 0},
      {"beyond float", 1e300, 0, 0, 0, 0, 0},    {"overflowing U", 1e38, -1e38, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene::Get().Reset();
    rig = std::make_unique<GlomoraRig>();
    SetResult(instance, Row(4), Longs({3, 0, 1, 2, 3, 0, 2, 3}),
              Doubles({c.x, c.y, c.z, 0, 0, -1, 0, 0, -1, 0, 0, -1}));
    EnableComputed();
    WriteHostMesh();
    ASSERT_EQ(CallUVs(), CStatus::OK);
    const CDoubleArray uv = UVValues();
    ASSERT_EQ(uv.GetCount(), 18);
    for (LONG at : {0, 9}) {  // the two nodes of vertex 0
      EXPECT_EQ(uv[at], c.u);
      EXPECT_EQ(uv[at + 1], c.v);
      EXPECT_EQ(uv[at + 2], c.w);
    }
    EXPECT_EQ(uv[5], 1.0);  // vertex 1 projects normally
    ASSERT_EQ(CallNormals(), CStatus::OK);  // the normals writer stores the values, crash-free
  }
}

TEST_F(NormalUvWriters, NoProjectionGivesZerosForEveryNode) {
  struct Case {
    const char* name;
    bool uvSpace, normalsOrUv, withValues;
    int polygonization;
    bool boxes;
  };
  const Case cases[] = {
      {"UVspace off", false, true, true, 0, false},
      {"no node values", true, true, false, 0, false},
      {"neither switch", true, false, true, 1, false},
      {"boxes, polygonization 10", false, true, true, 10, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene::Get().Reset();
    rig = std::make_unique<GlomoraRig>();
    CVector3Array vertices;
    CLongArray polygons;
    if (c.boxes) {
      EmitBox(vertices, polygons, Float3{0, 0, 0}, Float3{1, 1, 1});
      EmitBox(vertices, polygons, Float3{2, 0, 0}, Float3{1, 1, 1});
    } else {
      // Ten triangles of a fan around vertex 0.
      vertices = Row(12);
      for (LONG p = 0; p < 10; ++p) {
        polygons.Add(3);
        polygons.Add(0);
        polygons.Add(p + 1);
        polygons.Add(p + 2);
      }
    }
    CDoubleArray values;
    if (c.withValues) {
      for (LONG i = 0; i < vertices.GetCount(); ++i) AddXyz(values, 0, 0, -1);
    }
    SetResult(instance, vertices, polygons, values);
    instance.settings.uvSpace = c.uvSpace;
    instance.settings.normalsOrUv = c.normalsOrUv;
    instance.settings.userNormals = true;
    instance.settings.polygonization = c.polygonization;
    WriteHostMesh();
    ASSERT_EQ(CallUVs(), CStatus::OK);
    const CDoubleArray uv = UVValues();
    // 10 triangles: 90 values; two boxes of six quads: 48 nodes, 144 values.
    EXPECT_EQ(uv.GetCount(), c.boxes ? 144 : 90);
    for (LONG i = 0; i < uv.GetCount(); ++i) EXPECT_EQ(uv[i], 0.0) << "value " << i;
  }
}

// --- normals ----------------------------------------------------------------

TEST_F(NormalUvWriters, ComputedNormalsAreRoundedThroughFloat) {
  const double third = 1.0 / 3.0;
  const CDoubleArray values = Doubles({0.1, third, -0.7, 0.2, 0.3, 0.4, -third, 0.6, 0.9, 1.0, 0.0, -1.0});
  SetResult(instance, Row(4), Longs({3, 0, 1, 2, 3, 3, 2, 1}), values);
  instance.settings.userNormals = true;
  instance.settings.normalsOrUv = true;
  WriteHostMesh();
  ASSERT_EQ(CallNormals(), CStatus::OK);

  const CDoubleArray written = NormalValues();
  const std::vector<LONG> nodes = {0, 1, 2, 3, 2, 1};
  ASSERT_EQ(written.GetCount(), 18);
  for (size_t i = 0; i < nodes.size(); ++i) {
    for (LONG k = 0; k < 3; ++k) {
      const double source = values[3 * nodes[i] + k];
      const double got = written[3 * static_cast<LONG>(i) + k];
      EXPECT_EQ(got, static_cast<double>(static_cast<float>(source))) << "node " << i << " component " << k;
    }
  }
  EXPECT_NE(written[0], 0.1);  // 0.1 is not a float: the rounding shows
}

TEST_F(NormalUvWriters, ContainerOutlineNodesGetZeros) {
  // A surface of two triangles with normals, then the container outline: 12
  // zero-area quads over 48 vertices that carry no node value.
  CVector3Array vertices = Points({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}});
  CLongArray polygons = Longs({3, 0, 1, 2, 3, 0, 2, 3});
  EmitContainerOutline(vertices, polygons, Float3{0, 0, 0}, Float3{4, 4, 4});
  const double s = std::sqrt(0.5);
  const CDoubleArray values = Doubles({0, 0, -1, -s, 0, -s, 0, 0, -1, -s, 0, -s});
  SetResult(instance, vertices, polygons, values);
  EnableComputed();
  instance.settings.container = true;
  WriteHostMesh();
  ASSERT_EQ(CallNormals(), CStatus::OK);
  ASSERT_EQ(CallUVs(), CStatus::OK);
  EXPECT_TRUE(LogTexts().empty());

  const CDoubleArray normals = NormalValues();
  const CDoubleArray uv = UVValues();
  const LONG nodeCount = 6 + 12 * 4;
  ASSERT_EQ(normals.GetCount(), 3 * nodeCount);
  ASSERT_EQ(uv.GetCount(), 3 * nodeCount);
  const LONG surface[] = {0, 1, 2, 0, 2, 3};
  for (LONG i = 0; i < 6; ++i) {
    SCOPED_TRACE(testing::Message() << "surface node " << i);
    EXPECT_EQ(normals[3 * i + 2], static_cast<double>(static_cast<float>(values[3 * surface[i] + 2])));
    // (0, 0, -1) keeps U = 0; (-s, 0, -s) keeps U = s / (2 pi).
    EXPECT_NEAR(uv[3 * i], surface[i] % 2 == 0 ? 0.0 : 0.1125395469, 1e-6);
    EXPECT_NEAR(uv[3 * i + 1], 0.5, 1e-6);
    EXPECT_EQ(uv[3 * i + 2], 1.0);
  }
  for (LONG i = 18; i < 3 * nodeCount; ++i) {
    EXPECT_EQ(normals[i], 0.0) << "value " << i;
    EXPECT_EQ(uv[i], 0.0) << "value " << i;
  }
}

TEST_F(NormalUvWriters, NeverReadsPastTheNodeValues) {
  // Vertices 2 and 3 lie beyond the usable node values: their nodes get zeros.
  struct Case {
    const char* name;
    LONG entries;         // entries actually held
    LONG nodeValueCount;  // entries the record claims
  };
  const Case cases[] = {{"count below the array", 12, 6},
                        {"count beyond the array", 6, 30},
                        {"count not a multiple of three", 12, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene::Get().Reset();
    rig = std::make_unique<GlomoraRig>();
    CDoubleArray values;
    for (LONG i = 0; i < c.entries / 3; ++i) AddXyz(values, 0, 0, -1);
    SetResult(instance, Row(4), Longs({3, 0, 1, 2, 3, 0, 2, 3}), values);
    instance.mesh.nodeValueCount = c.nodeValueCount;
    EnableComputed();
    WriteHostMesh();
    ASSERT_EQ(CallNormals(), CStatus::OK);
    ASSERT_EQ(CallUVs(), CStatus::OK);
    const CDoubleArray normals = NormalValues();
    const CDoubleArray uv = UVValues();
    ASSERT_EQ(normals.GetCount(), 18);
    ASSERT_EQ(uv.GetCount(), 18);
    const LONG nodes[] = {0, 1, 2, 0, 2, 3};
    for (LONG i = 0; i < 6; ++i) {
      const bool hasValue = nodes[i] < 2;
      EXPECT_EQ(normals[3 * i + 2], hasValue ? -1.0 : 0.0) << "node " << i;
      EXPECT_EQ(uv[3 * i + 2], hasValue ? 1.0 : 0.0) << "node " << i;
    }
  }
}

TEST_F(NormalUvWriters, MalformedDescriptionIsNotReadOutOfRange) {
  // The host holds one triangle; the record's description has a broken tail
  // (a count running past the end, a negative or zero count) or a negative
  // index. The walk stops at the break and a bad index reads no value.
  struct Case {
    const char* name;
    std::vector<LONG> polygons;
    bool firstNodeHasValue;
  };
  const Case cases[] = {{"count past the end", {3, 0, 1, 2, 7, 0, 1}, true},
                        {"huge count", {3, 0, 1, 2, 2147483647, 0}, true},
                        {"negative count", {3, 0, 1, 2, -5, 0, 1}, true},
                        {"zero count", {3, 0, 1, 2, 0, 3, 0, 1, 2}, true},
                        {"negative index", {3, -1, 1, 2}, false},
                        {"index past the vertices", {3, 99, 1, 2}, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene::Get().Reset();
    rig = std::make_unique<GlomoraRig>();
    SetHostMesh(Row(3), {3, 0, 1, 2});
    SetResult(instance, Row(3), Longs(c.polygons), Doubles({0, 0, -1, 0, 0, -1, 0, 0, -1}));
    EnableComputed();
    ASSERT_EQ(CallNormals(), CStatus::OK);
    ASSERT_EQ(CallUVs(), CStatus::OK);
    const CDoubleArray normals = NormalValues();
    const CDoubleArray uv = UVValues();
    ASSERT_EQ(normals.GetCount(), 9);
    ASSERT_EQ(uv.GetCount(), 9);
    EXPECT_EQ(normals[2], c.firstNodeHasValue ? -1.0 : 0.0);
    EXPECT_EQ(uv[2], c.firstNodeHasValue ? 1.0 : 0.0);
    EXPECT_EQ(normals[5], -1.0);
    EXPECT_EQ(uv[8], 1.0);
  }
}

TEST_F(NormalUvWriters, NormalsFromMeshFollowTheHostNodeNormals) {
  struct Mesh {
    const char* name;
    const CVector3Array* vertices;
    const std::vector<LONG>* polygons;
  };
  const Mesh meshes[] = {{"tetrahedron", &kTetraVertices, &kTetraPolygons},
                         {"quad strip", &kStripVertices, &kStripPolygons}};
  const double r = 1.0 / std::sqrt(3.0);
  for (const Mesh& m : meshes) {
    Scene::Get().Reset();
    rig = std::make_unique<GlomoraRig>();
    SetHostMesh(*m.vertices, *m.polygons);
    const std::vector<LONG> nodes = NodeVertices(Longs(*m.polygons));
    for (int polygonization : {0, 1, 10, -1, 2, 5}) {
      for (bool uvSpace : {true, false}) {
        SCOPED_TRACE(testing::Message() << m.name << ", polygonization " << polygonization << ", UVspace " << uvSpace);
        instance.settings.polygonization = polygonization;
        instance.settings.uvSpace = uvSpace;
        CDoubleArray values = Doubles({42.0});  // replaced, not appended to
        NormalsFromMesh(instance.settings, values, HostPolygons());
        if (polygonization != 0 && polygonization != 1 && polygonization != 10) {
          EXPECT_EQ(values.GetCount(), 0);
          continue;
        }
        ASSERT_EQ(values.GetCount(), 3 * static_cast<LONG>(nodes.size()));
        for (size_t i = 0; i < nodes.size(); ++i) {
          const CVector3& corner = (*m.vertices)[nodes[i]];
          const bool tetra = m.vertices == &kTetraVertices;
          const LONG at = 3 * static_cast<LONG>(i);
          EXPECT_NEAR(values[at], tetra ? corner.GetX() * r : 0.0, 1e-12) << "node " << i;
          EXPECT_NEAR(values[at + 1], tetra ? corner.GetY() * r : 0.0, 1e-12) << "node " << i;
          EXPECT_NEAR(values[at + 2], tetra ? corner.GetZ() * r : 1.0, 1e-12) << "node " << i;
        }
      }
    }
  }
}

TEST_F(NormalUvWriters, WithoutComputedNormalsTheMeshOwnNormalsAreWritten) {
  // userNormals clear (or no node values): the user normals are the input
  // mesh's own node normals, for every polygonization that has some.
  struct Case {
    const char* name;
    bool userNormals, uvSpace;
    int polygonization;
    bool withValues;
  };
  const Case cases[] = {{"user normals off, UVs on", false, true, 0, true},
                        {"user normals off, UVs off", false, false, 1, true},
                        {"no node values", true, false, 0, false},
                        {"polygonization 10", false, false, 10, true}};
  const double r = 1.0 / std::sqrt(3.0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene::Get().Reset();
    rig = std::make_unique<GlomoraRig>();
    CDoubleArray values;
    if (c.withValues) {
      for (int i = 0; i < 4; ++i) AddXyz(values, 0, 0, -1);
    }
    SetResult(instance, kTetraVertices, Longs(kTetraPolygons), values);
    instance.settings.userNormals = c.userNormals;
    instance.settings.uvSpace = c.uvSpace;
    instance.settings.normalsOrUv = c.userNormals || c.uvSpace;
    instance.settings.polygonization = c.polygonization;
    WriteHostMesh();
    ASSERT_EQ(CallNormals(), CStatus::OK);
    const CDoubleArray normals = NormalValues();
    const std::vector<LONG> nodes = NodeVertices(Longs(kTetraPolygons));
    ASSERT_EQ(normals.GetCount(), 36);
    for (size_t i = 0; i < nodes.size(); ++i) {
      const CVector3& corner = kTetraVertices[nodes[i]];
      const LONG at = 3 * static_cast<LONG>(i);
      EXPECT_NEAR(normals[at], corner.GetX() * r, 1e-12);
      EXPECT_NEAR(normals[at + 1], corner.GetY() * r, 1e-12);
      EXPECT_NEAR(normals[at + 2], corner.GetZ() * r, 1e-12);
    }
  }
}

// --- status and log lines -----------------------------------------------------

TEST_F(NormalUvWriters, RefusedArrayIsLoggedAndReturned) {
  // The host mesh was never written: it has no nodes, so two triangles' worth
  // of values is refused.
  SetResult(instance, Row(4), Longs({3, 0, 1, 2, 3, 0, 2, 3}), Doubles({0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1}));
  EnableComputed();
  instance.settings.logTime = true;
  EXPECT_EQ(CallNormals(), CStatus::InvalidArgument);
  EXPECT_EQ(CallUVs(), CStatus::InvalidArgument);
  const std::vector<std::wstring> log = LogTexts();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], L"blob.polymsh.GlomoraGeometry.Glomora -> OutUser_Normal_Property -> error.");
  EXPECT_EQ(log[1], L"blob.polymsh.GlomoraGeometry.Glomora -> OutTexture_Projection -> error.");
}

TEST_F(NormalUvWriters, TimingLinesFollowEachWritersSwitch) {
  struct Case {
    bool logTime, mute, userNormals, uvSpace;
    bool normalsLine, uvLine;
  };
  const Case cases[] = {
      {true, false, true, true, true, true},     {true, false, true, false, true, false},
      {true, false, false, true, false, true},   {true, true, true, true, false, false},
      {false, false, true, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "logTime " << c.logTime << " mute " << c.mute << " userNormals "
                                    << c.userNormals << " uvSpace " << c.uvSpace);
    Scene::Get().ClearLog();
    SetResult(instance, Row(4), Longs({3, 0, 1, 2, 3, 0, 2, 3}), Doubles({0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1}));
    instance.settings.userNormals = c.userNormals;
    instance.settings.uvSpace = c.uvSpace;
    instance.settings.normalsOrUv = c.userNormals || c.uvSpace;
    instance.settings.polygonization = 0;
    instance.settings.logTime = false;
    WriteHostMesh();
    instance.settings.logTime = c.logTime;
    instance.settings.mute = c.mute;
    // Both writers write whatever their switch.
    ASSERT_EQ(CallNormals(), CStatus::OK);
    const std::vector<std::wstring> afterNormals = LogTexts();
    ASSERT_EQ(CallUVs(), CStatus::OK);
    const std::vector<std::wstring> log = LogTexts();
    EXPECT_EQ(NormalValues().GetCount(), 18);
    EXPECT_EQ(UVValues().GetCount(), 18);
    ASSERT_EQ(afterNormals.size(), c.normalsLine ? 1u : 0u);
    ASSERT_EQ(log.size(), afterNormals.size() + (c.uvLine ? 1u : 0u));
    if (c.normalsLine) {
      EXPECT_TRUE(IsTimingLine(log[0], L"- Normals::Set(): "));
    }
    if (c.uvLine) {
      EXPECT_TRUE(IsTimingLine(log.back(), L"- UVspace::Set(): "));
    }
  }
}

}  // namespace
}  // namespace output_test
