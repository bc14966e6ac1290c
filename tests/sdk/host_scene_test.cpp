#include <gtest/gtest.h>

#include <cfloat>
#include <string>
#include <vector>

#include "host/host_scene.h"
#include "xsi_application.h"
#include "xsi_geometry.h"
#include "xsi_operator.h"

using XSI::CRef;
using XSI::CString;
using XSI::CValue;
using XSI::LONG;
using XSI::Host::AnimatedValue;
using XSI::Host::Key;
using XSI::Host::Scene;
using XSI::MATH::CVector3;

class HostScene : public ::testing::Test {
 protected:
  void SetUp() override { Scene::Get().Reset(); }
  Scene& scene = Scene::Get();
};

TEST_F(HostScene, ParametersVaryLinearlyBetweenKeys) {
  const CRef ball = scene.AddPrimitive(L"ball", L"sphere");
  scene.SetParameter(ball, L"radius", AnimatedValue::Keys({{1, 1.0}, {11, 3.0}}));
  const XSI::Primitive prim(ball);
  EXPECT_EQ(static_cast<double>(prim.GetParameterValue(L"radius", 6.0)), 2.0);
  EXPECT_EQ(static_cast<double>(prim.GetParameterValue(L"radius", -5.0)), 1.0);
  EXPECT_EQ(static_cast<double>(prim.GetParameterValue(L"radius", 50.0)), 3.0);
  scene.SetCurrentFrame(3.5);
  EXPECT_EQ(static_cast<double>(prim.GetParameterValue(L"radius", DBL_MAX)), 1.5);
  EXPECT_EQ(static_cast<double>(prim.GetParameter(L"radius").GetValue()), 1.5);
}

TEST_F(HostScene, LongKeysRoundHalfAwayFromZero) {
  const CRef op = scene.AddOperator(L"o.op", L"Op");
  scene.SetParameter(op, L"Resolution_X", AnimatedValue::Keys({{0, 10.0}, {1, 11.0}}, XSI::Host::ValueKind::Long));
  const XSI::Operator o(op);
  EXPECT_EQ(static_cast<LONG>(o.GetParameterValue(L"Resolution_X", 0.5)), 11);
  EXPECT_EQ(static_cast<LONG>(o.GetParameterValue(L"Resolution_X", 0.49)), 10);
}

TEST_F(HostScene, ReferencesResolveByFullName) {
  const CRef ball = scene.AddPrimitive(L"ball", L"sphere");
  scene.SetParameter(ball, L"radius", CValue(2.0));
  CRef ref;
  ASSERT_EQ(ref.Set(L"ball.sphere.radius"), XSI::CStatus::OK);
  EXPECT_EQ(static_cast<double>(XSI::Parameter(ref).GetValue(7.0)), 2.0);
  EXPECT_EQ(XSI::Parameter(ref).GetFullName(), L"ball.sphere.radius");
  ASSERT_EQ(ref.Set(L"ball.kine.global"), XSI::CStatus::OK);
  EXPECT_EQ(XSI::KinematicState(ref).GetType(), L"kine");
  EXPECT_NE(ref.Set(L"nothing.here"), XSI::CStatus::OK);
  EXPECT_FALSE(ref.IsValid());
  // A wrapper of the wrong class is invalid and answers with empty values.
  EXPECT_FALSE(XSI::Parameter(ball).IsValid());
  EXPECT_TRUE(XSI::Parameter(ball).GetValue().IsEmpty());
}

TEST_F(HostScene, PosesAndPointsVaryWithTime) {
  const CRef cloud = scene.AddPrimitive(L"drops", L"cloud");
  XSI::Host::AnimatedPose pose;
  pose.translation.y = AnimatedValue::Keys({{1, 0.0}, {3, -2.0}});
  scene.SetPose(scene.GetKinematics(cloud), pose);
  XSI::MATH::CVector3Array one, two;
  one.Add(CVector3(1, 2, 3));
  two.Add(CVector3(4, 5, 6));
  two.Add(CVector3(7, 8, 9));
  scene.SetPointsAtFrame(cloud, 1, one);
  scene.SetPointsAtFrame(cloud, 5, two);
  const XSI::ParticleCloudPrimitive prim(cloud);
  EXPECT_EQ(prim.GetGeometry(4.9).GetPoints().GetCount(), 1);
  EXPECT_EQ(prim.GetGeometry(5).GetPoints().GetCount(), 2);
  EXPECT_EQ(prim.GetGeometry(0).GetPoints().GetCount(), 1);
  const XSI::KinematicState kine(scene.GetKinematics(cloud));
  EXPECT_EQ(kine.GetTransform(2.0).GetTranslation().GetY(), -1.0);
}

TEST_F(HostScene, OperatorPortsAndUserData) {
  const CRef op = scene.AddOperator(L"m.polymsh.Op", L"Op");
  const CRef a = scene.AddPrimitive(L"a", L"sphere");
  const LONG g = scene.AddPortGroup(op, L"Group", {{L"InGeo", XSI::siPortInput}, {L"InKine", XSI::siPortInput}});
  scene.AddGroupInstance(op, g, {a, scene.GetKinematics(a)});
  scene.AddGroupInstance(op, g, {CRef(), CRef()});
  const XSI::Operator o(op);
  EXPECT_EQ(o.GetNumPortGroups(), 1);
  EXPECT_EQ(o.GetNumInstancesInGroup(0), 2);
  EXPECT_EQ(o.GetNumPortsInGroup(0), 2);
  EXPECT_EQ(XSI::PortGroup(o.GetPortGroups().GetItem(L"Group")).GetIndex(), 0);
  const XSI::InputPort geo(o.GetPortAt(0, 0, 0));
  EXPECT_EQ(geo.GetName(), L"InGeo");
  EXPECT_EQ(static_cast<CRef>(geo.GetValue()), a);
  EXPECT_TRUE(XSI::InputPort(o.GetPort(L"InGeo", L"Group", 1)).GetValue().IsEmpty());
  EXPECT_FALSE(o.GetPort(L"InGeo", L"Other", 0).IsValid());

  XSI::UpdateContext context = scene.MakeContext(op);
  int record = 0;
  context.PutUserData(CValue(static_cast<void*>(&record)));
  EXPECT_EQ(static_cast<void*>(scene.MakeContext(op).GetUserData()), &record);
}

TEST_F(HostScene, OutputPortRefusesOnDemand) {
  const CRef op = scene.AddOperator(L"op", L"Op");
  scene.AddGroupInstance(op, scene.AddPortGroup(op, L"Out", {{L"OutParameter", XSI::siPortOutput}}), {CRef()});
  XSI::OutputPort out = scene.GetOutputPort(op, L"OutParameter");
  EXPECT_EQ(out.GetPortType(), XSI::siPortOutput);
  EXPECT_EQ(out.PutValue(CValue(LONG{7})), XSI::CStatus::OK);
  EXPECT_EQ(static_cast<LONG>(scene.GetPortValue(out)), 7);
  scene.SetFailPutValue(true);
  EXPECT_NE(out.PutValue(CValue(LONG{8})), XSI::CStatus::OK);
  EXPECT_EQ(static_cast<LONG>(scene.GetPortValue(out)), 7);
}

TEST_F(HostScene, MeshSetRefusesBadDescriptionsAndPropertiesCheckTheirLength) {
  const CRef mesh = scene.AddPrimitive(L"out", L"polymsh");
  XSI::PolygonMesh polygonMesh = XSI::Primitive(mesh).GetGeometry();
  XSI::MATH::CVector3Array v;
  v.Add(CVector3(0, 0, 0));
  v.Add(CVector3(1, 0, 0));
  v.Add(CVector3(0, 1, 0));
  XSI::CLongArray bad;
  for (LONG x : {3, 0, 1, 3}) bad.Add(x);
  EXPECT_NE(polygonMesh.Set(v, bad), XSI::CStatus::OK);
  XSI::CLongArray good;
  for (LONG x : {3, 0, 1, 2}) good.Add(x);
  ASSERT_EQ(polygonMesh.Set(v, good), XSI::CStatus::OK);
  EXPECT_EQ(scene.GetMeshSetCount(mesh), 1);

  const XSI::CPolygonFaceRefArray faces = polygonMesh.GetPolygons();
  ASSERT_EQ(faces.GetCount(), 1);
  const XSI::MATH::CVector3Array normals = faces.GetPolygonNodeNormalArray();
  ASSERT_EQ(normals.GetCount(), 3);
  EXPECT_EQ(normals[0], CVector3(0, 0, 1));
  EXPECT_EQ(XSI::PolygonNode(XSI::PolygonFace(faces[0]).GetNodes()[2]).GetNormal(), CVector3(0, 0, 1));

  const CRef prop = scene.AddClusterProperty(mesh, L"UserNormals");
  XSI::CClusterPropertyElementArray elements = XSI::ClusterProperty(prop).GetElements();
  EXPECT_NE(elements.PutArray(XSI::CDoubleArray(8)), XSI::CStatus::OK);
  EXPECT_EQ(elements.PutArray(XSI::CDoubleArray(9)), XSI::CStatus::OK);
  scene.SetFailMeshSet(true);
  EXPECT_NE(polygonMesh.Set(v, good), XSI::CStatus::OK);
}

TEST_F(HostScene, ProgressBarStartsFreshAndCountsIncrements) {
  std::vector<XSI::Host::ProgressEvent> events;
  scene.SetProgressObserver([&](const XSI::Host::ProgressState& state, XSI::Host::ProgressEvent event) {
    events.push_back(event);
    if (state.value == 2) scene.SetCancelPressed(true);
  });
  XSI::ProgressBar bar = XSI::Application().GetUIToolkit().GetProgressBar();
  EXPECT_EQ(bar.GetValue(), 0);
  bar.PutMaximum(5);
  EXPECT_EQ(bar.Increment(1), 1);
  EXPECT_FALSE(bar.IsCancelPressed());
  bar.Increment(1);
  EXPECT_TRUE(bar.IsCancelPressed());
  EXPECT_EQ(scene.GetProgress().increments, 2);
  EXPECT_EQ(XSI::Application().GetUIToolkit().GetProgressBar().GetValue(), 0);
  EXPECT_EQ(events.front(), XSI::Host::ProgressEvent::Created);
}

TEST_F(HostScene, LogLinesReachTheSink) {
  std::wstring seen;
  scene.SetLogSink([&](const XSI::Host::LogLine& line) { seen = line.text; });
  XSI::Application().LogMessage(L"hello", XSI::siInfoMsg);
  ASSERT_EQ(scene.GetLog().size(), 1u);
  EXPECT_EQ(scene.GetLog()[0].severity, XSI::siInfoMsg);
  EXPECT_EQ(seen, L"hello");
}
