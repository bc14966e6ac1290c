// The transfer operators, driven through their exported callbacks: output
// name filter, derivation of the main operator's name, registry lookup, and
// what reaches the host.

#include <gtest/gtest.h>

#include <vector>

#include "front/glomora_api.h"
#include "front/instance_registry.h"
#include "writer_fixture.h"

using XSI::CDoubleArray;
using XSI::CLongArray;
using XSI::CRef;
using XSI::CString;
using XSI::CStatus;
using XSI::LONG;
using XSI::MATH::CVector3Array;
using XSI::Host::PortSpec;
using XSI::Host::Scene;

namespace output_test {
namespace {

using Callback = CStatus (*)(XSI::UpdateContext&, XSI::OutputPort&);

constexpr int32_t kUntouchedClock = -424242;  // no clock reading is negative

OperatorInstance* InstanceOf(const CRef& op) {
  return static_cast<OperatorInstance*>(static_cast<void*>(Scene::Get().MakeContext(op).GetUserData()));
}

// Two triangles over four vertices; every vertex normal is `z` times +z.
void SetTwoTriangles(OperatorInstance& record, double z) {
  SetResult(record, Row(4), Longs({3, 0, 1, 2, 3, 0, 2, 3}),
            Doubles({0, 0, z, 0, 0, z, 0, 0, z, 0, 0, z}));
  record.settings.userNormals = true;
  record.settings.uvSpace = true;
  record.settings.normalsOrUv = true;
  record.clock.start = kUntouchedClock;
}

class TransferOperators : public ::testing::Test {
 protected:
  void SetUp() override {
    Scene::Get().Reset();
    ASSERT_EQ(RegistryHead(), nullptr) << "an earlier test left a registered record";
  }
  void TearDown() override {
    for (const CRef& op : initialised) {
      XSI::UpdateContext context = Scene::Get().MakeContext(op);
      Glomora_Term(context);
    }
    EXPECT_EQ(RegistryHead(), nullptr);
  }

  // A bare main operator, initialised and registered (key still empty).
  OperatorInstance* MainOperator(const CString& fullName) {
    const CRef op = Scene::Get().AddOperator(fullName, L"Glomora");
    XSI::UpdateContext context = Scene::Get().MakeContext(op);
    EXPECT_EQ(Glomora_Init(context), CStatus::OK);
    initialised.push_back(op);
    return InstanceOf(op);
  }
  // A transfer operator: "Inpolymsh" of "GroupPolymsh" on `input` (may be
  // invalid: unconnected), and one output port on `target`.
  CRef TransferOperator(const CString& fullName, const CRef& input, const wchar_t* outputName, const CRef& target) {
    Scene& scene = Scene::Get();
    const CRef op = scene.AddOperator(fullName, L"GlomoraTransfer");
    const LONG in = scene.AddPortGroup(op, L"GroupPolymsh", {PortSpec{L"Inpolymsh", XSI::siPortInput}});
    scene.AddGroupInstance(op, in, {input});
    const LONG out = scene.AddPortGroup(op, L"GroupOutput", {PortSpec{outputName, XSI::siPortOutput}});
    scene.AddGroupInstance(op, out, {target});
    return op;
  }
  static CStatus Run(Callback callback, const CRef& op, const XSI::OutputPort& port) {
    XSI::UpdateContext context = Scene::Get().MakeContext(op);
    XSI::OutputPort output = port;
    return callback(context, output);
  }
  static CStatus Run(Callback callback, const CRef& op, const wchar_t* portName) {
    return Run(callback, op, Scene::Get().GetOutputPort(op, portName));
  }
  static void SetHostMesh(const CRef& mesh, const CVector3Array& vertices, const CLongArray& polygons) {
    XSI::PolygonMesh geometry(XSI::Primitive(mesh).GetGeometry());
    ASSERT_EQ(geometry.Set(vertices, polygons), CStatus::OK);
  }

  std::vector<CRef> initialised;
};

TEST_F(TransferOperators, OtherOutputsAreIgnoredWithoutLookup) {
  GlomoraRig rig;
  ASSERT_EQ(rig.Init(), CStatus::OK);
  initialised.push_back(rig.op);
  OperatorInstance* record = InstanceOf(rig.op);
  record->settings.fullName = L"blob.polymsh.GlomoraGeometry.Glomora";
  SetTwoTriangles(*record, -1.0);
  const XSI::OutputPort meshPort = Scene::Get().GetOutputPort(rig.geometrySet, L"Outpolymsh");
  const XSI::OutputPort normalsPort = Scene::Get().GetOutputPort(rig.normalsSet, L"OutUser_Normal_Property");
  const XSI::OutputPort uvPort = Scene::Get().GetOutputPort(rig.uvSet, L"OutTexture_Projection");
  struct Case {
    const char* name;
    Callback callback;
    CRef op;
    XSI::OutputPort port;
  };
  const Case cases[] = {{"geometry asked for normals", GlomoraGeometrySet_Update, rig.geometrySet, normalsPort},
                        {"geometry asked for nothing", GlomoraGeometrySet_Update, rig.geometrySet, XSI::OutputPort()},
                        {"normals asked for UVs", GlomoraNormalsSet_Update, rig.normalsSet, uvPort},
                        {"UVs asked for the mesh", GlomoraUVspaceSet_Update, rig.uvSet, meshPort}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Run(c.callback, c.op, c.port), CStatus::OK);
    EXPECT_EQ(record->clock.start, kUntouchedClock) << "a writer ran";
  }
  EXPECT_EQ(Scene::Get().GetMeshSetCount(rig.mesh), 0);
  EXPECT_TRUE(LogTexts().empty());
}

TEST_F(TransferOperators, GeometrySetFindsTheOperatorNamedAfterTheMesh) {
  // The operator's own name with ".GlomoraGeometrySet" replaced. A record under
  // the unreplaced name must not be the one written.
  const CRef mesh = Scene::Get().AddPrimitive(L"scene.blob", L"polymsh");
  const CRef op = TransferOperator(L"scene.blob.polymsh.GlomoraGeometrySet", mesh, L"Outpolymsh", mesh);
  OperatorInstance* main = MainOperator(L"scene.blob.polymsh.GlomoraGeometry.Glomora");
  OperatorInstance* decoy = MainOperator(L"decoy");
  main->settings.fullName = L"scene.blob.polymsh.GlomoraGeometry.Glomora";
  decoy->settings.fullName = L"scene.blob.polymsh.GlomoraGeometrySet";
  SetTwoTriangles(*main, 1.0);
  SetResult(*decoy, Row(5), Longs({3, 0, 1, 2, 3, 2, 3, 4, 3, 4, 0, 1}));

  EXPECT_EQ(Run(GlomoraGeometrySet_Update, op, L"Outpolymsh"), CStatus::OK);
  CVector3Array vertices;
  CLongArray polygons;
  Scene::Get().GetMesh(mesh, vertices, polygons);
  EXPECT_TRUE(vertices == main->mesh.vertices);
  EXPECT_TRUE(polygons == main->mesh.polygons);
}

TEST_F(TransferOperators, NormalsAndUVsExtendOnlyTheFirstPolymsh) {
  // Mesh a.polymsh.b.polymsh: the main operator is
  // a.polymsh.GlomoraGeometry.Glomora.b.polymsh, not the name made from the
  // last ".polymsh".
  Scene& scene = Scene::Get();
  const CRef mesh = scene.AddPrimitive(L"a.polymsh.b", L"polymsh");
  ASSERT_EQ(mesh.GetAsText(), L"a.polymsh.b.polymsh");
  const CRef normals = scene.AddClusterProperty(mesh, L"UserNormals");
  const CRef uvs = scene.AddClusterProperty(mesh, L"Texture_Projection");
  const CRef normalsOp =
      TransferOperator(L"a.polymsh.b.polymsh.GlomoraNormalsSet", mesh, L"OutUser_Normal_Property", normals);
  const CRef uvOp = TransferOperator(L"a.polymsh.b.polymsh.GlomoraUVspaceSet", mesh, L"OutTexture_Projection", uvs);
  OperatorInstance* main = MainOperator(L"main");
  OperatorInstance* decoy = MainOperator(L"decoy");
  main->settings.fullName = L"a.polymsh.GlomoraGeometry.Glomora.b.polymsh";
  decoy->settings.fullName = L"a.polymsh.b.polymsh.GlomoraGeometry.Glomora";
  SetTwoTriangles(*main, -1.0);  // (0, 0, -1): U = 0, V = 0.5
  SetTwoTriangles(*decoy, 1.0);  // (0, 0, 1): U = 1
  SetHostMesh(mesh, main->mesh.vertices, main->mesh.polygons);

  EXPECT_EQ(Run(GlomoraNormalsSet_Update, normalsOp, L"OutUser_Normal_Property"), CStatus::OK);
  EXPECT_EQ(Run(GlomoraUVspaceSet_Update, uvOp, L"OutTexture_Projection"), CStatus::OK);
  const CDoubleArray normalValues = scene.GetClusterValues(normals);
  const CDoubleArray uvValues = scene.GetClusterValues(uvs);
  ASSERT_EQ(normalValues.GetCount(), 18);
  ASSERT_EQ(uvValues.GetCount(), 18);
  for (LONG node = 0; node < 6; ++node) {
    EXPECT_EQ(normalValues[3 * node + 2], -1.0);
    EXPECT_EQ(uvValues[3 * node], 0.0);
    EXPECT_EQ(uvValues[3 * node + 1], 0.5);
  }
  EXPECT_EQ(decoy->clock.start, kUntouchedClock);
}

TEST_F(TransferOperators, NothingIsWrittenBeforeTheFirstEvaluation) {
  GlomoraRig rig;
  ASSERT_EQ(rig.Init(), CStatus::OK);
  initialised.push_back(rig.op);
  OperatorInstance* record = InstanceOf(rig.op);
  SetTwoTriangles(*record, -1.0);  // a result, but the key is still empty
  rig.Transfer();
  EXPECT_EQ(Scene::Get().GetMeshSetCount(rig.mesh), 0);
  EXPECT_EQ(Scene::Get().GetClusterValues(rig.normalsProperty).GetCount(), 0);
  EXPECT_EQ(Scene::Get().GetClusterValues(rig.uvProperty).GetCount(), 0);
  EXPECT_EQ(record->clock.start, kUntouchedClock);

  // Once the record carries the operator's name, all three write.
  record->settings.fullName = rig.op.GetAsText();
  rig.Transfer();
  EXPECT_EQ(Scene::Get().GetMeshSetCount(rig.mesh), 1);
  EXPECT_EQ(Scene::Get().GetClusterValues(rig.normalsProperty).GetCount(), 18);
  EXPECT_EQ(Scene::Get().GetClusterValues(rig.uvProperty).GetCount(), 18);
  EXPECT_TRUE(LogTexts().empty());
}

TEST_F(TransferOperators, WriteTheResultOfAnEvaluation) {
  // The driver names the record; the result is filled by hand afterwards.
  GlomoraRig rig;
  ASSERT_EQ(rig.Init(), CStatus::OK);
  initialised.push_back(rig.op);
  ASSERT_EQ(rig.Update(1.0), CStatus::OK);
  OperatorInstance* record = InstanceOf(rig.op);
  ASSERT_EQ(record->settings.fullName, rig.op.GetAsText());
  SetTwoTriangles(*record, -1.0);
  Scene::Get().ClearLog();
  rig.Transfer();
  CVector3Array vertices;
  CLongArray polygons;
  Scene::Get().GetMesh(rig.mesh, vertices, polygons);
  EXPECT_TRUE(polygons == Longs({3, 0, 1, 2, 3, 0, 2, 3}));
  const CDoubleArray normals = Scene::Get().GetClusterValues(rig.normalsProperty);
  ASSERT_EQ(normals.GetCount(), 18);
  EXPECT_EQ(normals[17], -1.0);
  EXPECT_EQ(Scene::Get().GetClusterValues(rig.uvProperty).GetCount(), 18);
  EXPECT_TRUE(LogTexts().empty());
}

TEST_F(TransferOperators, NoDerivableNameWritesNothing) {
  // A record with the empty key and a valid result would be found if a failed
  // derivation looked up an empty name.
  OperatorInstance* unevaluated = MainOperator(L"x.polymsh.GlomoraGeometry.Glomora");
  SetTwoTriangles(*unevaluated, -1.0);
  const CRef mesh = Scene::Get().AddPrimitive(L"x", L"polymsh");
  const CRef property = Scene::Get().AddClusterProperty(mesh, L"UserNormals");
  const CRef odd = TransferOperator(L"x.polymsh.SomethingElse", mesh, L"Outpolymsh", mesh);
  const CRef unconnected =
      TransferOperator(L"x.polymsh.GlomoraNormalsSet", CRef(), L"OutUser_Normal_Property", property);
  const CRef notAMesh =
      TransferOperator(L"y.GlomoraUVspaceSet", Scene::Get().AddNull(L"y"), L"OutTexture_Projection", property);
  EXPECT_EQ(Run(GlomoraGeometrySet_Update, odd, L"Outpolymsh"), CStatus::OK);
  EXPECT_EQ(Run(GlomoraNormalsSet_Update, unconnected, L"OutUser_Normal_Property"), CStatus::OK);
  EXPECT_EQ(Run(GlomoraUVspaceSet_Update, notAMesh, L"OutTexture_Projection"), CStatus::OK);
  EXPECT_EQ(unevaluated->clock.start, kUntouchedClock);
  EXPECT_EQ(Scene::Get().GetMeshSetCount(mesh), 0);
}

TEST_F(TransferOperators, DummySucceedsForAnyOutput) {
  GlomoraRig rig;
  const XSI::OutputPort ports[] = {Scene::Get().GetOutputPort(rig.geometrySet, L"Outpolymsh"),
                                   Scene::Get().GetOutputPort(rig.normalsSet, L"OutUser_Normal_Property"),
                                   Scene::Get().GetOutputPort(rig.op, L"OutParameter"), XSI::OutputPort()};
  for (const XSI::OutputPort& port : ports) {
    EXPECT_EQ(Run(GlomoraGeometryDummy_Update, rig.geometrySet, port), CStatus::OK);
    EXPECT_EQ(Run(GlomoraGeometryDummy_Update, CRef(), port), CStatus::OK);
  }
  EXPECT_EQ(Scene::Get().GetMeshSetCount(rig.mesh), 0);
  EXPECT_TRUE(LogTexts().empty());
}

TEST_F(TransferOperators, WriterFailuresAreLoggedNotReturned) {
  GlomoraRig rig;
  ASSERT_EQ(rig.Init(), CStatus::OK);
  initialised.push_back(rig.op);
  OperatorInstance* record = InstanceOf(rig.op);
  record->settings.fullName = rig.op.GetAsText();
  SetTwoTriangles(*record, -1.0);
  // The mesh write is refused, so the host mesh has no nodes and both
  // property arrays are refused as well.
  Scene::Get().SetFailMeshSet(true);
  EXPECT_EQ(Run(GlomoraGeometrySet_Update, rig.geometrySet, L"Outpolymsh"), CStatus::OK);
  EXPECT_EQ(Run(GlomoraNormalsSet_Update, rig.normalsSet, L"OutUser_Normal_Property"), CStatus::OK);
  EXPECT_EQ(Run(GlomoraUVspaceSet_Update, rig.uvSet, L"OutTexture_Projection"), CStatus::OK);
  const std::vector<std::wstring> expected = {
      L"blob.polymsh.GlomoraGeometry.Glomora -> Outpolymsh -> error.",
      L"blob.polymsh.GlomoraGeometry.Glomora -> OutUser_Normal_Property -> error.",
      L"blob.polymsh.GlomoraGeometry.Glomora -> OutTexture_Projection -> error."};
  EXPECT_EQ(LogTexts(), expected);
}

}  // namespace
}  // namespace output_test
