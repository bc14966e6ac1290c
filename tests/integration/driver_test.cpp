#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "base/allocation.h"
#include "front/glomora_api.h"
#include "front/operator_instance.h"
#include "glomora_rig.h"
#include "host/host_scene.h"
#include "support/fresh_scene.h"
#include "support/mesh_checks.h"

using XSI::CString;
using XSI::CValue;
using XSI::LONG;
using XSI::Host::AnimatedValue;
using XSI::Host::ProgressEvent;
using XSI::Host::ProgressState;
using XSI::Host::Scene;

namespace {

const std::wstring kOperatorName = L"blob.polymsh.GlomoraGeometry.Glomora";

// A rig with one sphere of radius 1 at the origin inside a 4-unit box.
class Driver : public ::testing::Test {
 protected:
  Driver() {
    sphere = rig.AddSource(L"ball", L"sphere");
    Set(L"Resolution_X", CValue(LONG{16}));
    Set(L"Resolution_Y", CValue(LONG{16}));
    Set(L"Resolution_Z", CValue(LONG{16}));
    Set(L"JB_voxelsize", CValue(0.25));
    Scene::Get().SetParameterReadObserver([this](const std::wstring& fullName, double frame) {
      if (fullName != kOperatorName + L".Viscosity") return;
      if (static_cast<int>(frame) == outOfMemoryAtSettingFrame) throw std::bad_alloc();
      settingFrames.push_back(static_cast<int>(frame));
    });
    Scene::Get().SetProgressObserver([this](const ProgressState& state, ProgressEvent event) {
      if (event == ProgressEvent::Caption) captions.push_back(state.caption);
      if (event == ProgressEvent::Increment && state.value == cancelAtIncrement) Scene::Get().SetCancelPressed(true);
    });
    rig.Init();
  }
  ~Driver() override { rig.Term(); }

  void Set(const wchar_t* name, const AnimatedValue& value) { rig.SetParameter(name, value); }
  OperatorInstance& Instance() {
    return *static_cast<OperatorInstance*>(static_cast<void*>(Scene::Get().MakeContext(rig.op).GetUserData()));
  }
  LONG OutputValue() {
    return static_cast<LONG>(Scene::Get().GetPortValue(Scene::Get().GetOutputPort(rig.op, L"OutParameter")));
  }
  std::vector<std::wstring> LogTexts() {
    std::vector<std::wstring> texts;
    for (const auto& line : Scene::Get().GetLog()) texts.push_back(line.text);
    return texts;
  }
  void GridMode(LONG mode) {
    Set(L"Space", CValue(LONG{0}));
    Set(L"Mode", CValue(mode));
  }

  FreshScene fresh;
  GlomoraRig rig;
  XSI::CRef sphere;
  std::vector<int> settingFrames;  // frames at which the element settings were read
  std::vector<std::wstring> captions;
  int cancelAtIncrement = -1;
  int outOfMemoryAtSettingFrame = -1;  // the host runs out of memory reading the settings of this frame
};

bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

TEST_F(Driver, OtherOutputsChangeNothing) {
  XSI::UpdateContext context = Scene::Get().MakeContext(rig.op);
  XSI::OutputPort other = Scene::Get().GetOutputPort(rig.normalsSet, L"OutUser_Normal_Property");
  ASSERT_TRUE(other.IsValid());
  EXPECT_EQ(Glomora_Update(context, other), XSI::CStatus::OK);
  EXPECT_TRUE(Instance().settings.fullName.IsEmpty());
  EXPECT_EQ(Instance().previousFrame, kNeverFrame);
}

TEST_F(Driver, MuteEmptiesTheResultInBothSpaces) {
  for (LONG space : {0, 1}) {
    SCOPED_TRACE(space);
    Set(L"Space", CValue(space));
    Set(L"Mute", CValue(false));
    rig.Update(3);
    Set(L"Mute", CValue(true));
    Set(L"Log_time", CValue(true));
    Scene::Get().ClearLog();
    const bool gridReady = Instance().gridPolygonizer.ready;
    ASSERT_EQ(rig.Update(4), XSI::CStatus::OK);
    EXPECT_EQ(Instance().mesh.vertices.GetCount(), 0);
    EXPECT_EQ(Instance().mesh.polygons.GetCount(), 0);
    EXPECT_EQ(Instance().previousFrame, 4);
    EXPECT_EQ(Instance().gridPolygonizer.ready, gridReady);
    EXPECT_EQ(OutputValue(), 0);
    EXPECT_TRUE(LogTexts().empty());
    Set(L"Log_time", CValue(false));
  }
}

TEST_F(Driver, FirstEvaluationStepsFromTheStartFrame) {
  GridMode(1);
  rig.Update(10);
  EXPECT_EQ(settingFrames, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  ASSERT_FALSE(captions.empty());
  EXPECT_EQ(captions.front(), kOperatorName + L" recomputing frames 0 to 10 now at 0");
  EXPECT_EQ(captions.back(), kOperatorName + L" recomputing frames 0 to 10 now at 10");
  EXPECT_EQ(Scene::Get().GetProgress().maximum, 10);
  EXPECT_EQ(Instance().lastComputedFrame, 10);
  EXPECT_EQ(Instance().previousFrame, 10);
}

TEST_F(Driver, ModeZeroComputesTheCurrentFrameDirectly) {
  GridMode(0);
  rig.Update(10);
  EXPECT_EQ(settingFrames, (std::vector<int>{10}));
  EXPECT_EQ(Scene::Get().GetProgress().barsCreated, 0);
}

TEST_F(Driver, PlaybackAndGoingBackAreSingleSteps) {
  GridMode(1);
  for (int frame : {1, 2, 3}) rig.Update(frame);
  EXPECT_EQ(settingFrames, (std::vector<int>{1, 2, 3}));
  rig.Update(20);  // 17 frames ahead: the loop
  settingFrames.clear();
  rig.Update(12);  // back in time: one step from the field of frame 20
  EXPECT_EQ(settingFrames, (std::vector<int>{12}));
  EXPECT_EQ(Instance().lastComputedFrame, 12);
  EXPECT_EQ(Scene::Get().GetProgress().barsCreated, 1);
}

TEST_F(Driver, TheStartFrameAlwaysRestarts) {
  GridMode(1);
  Set(L"Start_frame", CValue(LONG{5}));
  rig.Update(8);
  settingFrames.clear();
  rig.Update(5);
  EXPECT_EQ(settingFrames, (std::vector<int>{5}));
  EXPECT_EQ(Instance().lastComputedFrame, 5);
}

TEST_F(Driver, FramesBeforeTheStartGiveNothing) {
  GridMode(1);
  Set(L"Start_frame", CValue(LONG{5}));
  Set(L"User_normals", CValue(true));
  rig.Update(3);
  EXPECT_TRUE(settingFrames.empty());
  EXPECT_EQ(Instance().mesh.vertices.GetCount(), 0);
  EXPECT_EQ(OutputValue(), 0);
  // The next evaluation at or after the start restarts from it.
  rig.Update(6);
  EXPECT_EQ(settingFrames, (std::vector<int>{5, 6}));
}

TEST_F(Driver, CancelBeforeTheLoopStepsNoFrame) {
  GridMode(1);
  rig.Update(2);
  Scene::Get().SetCancelPressed(true);
  settingFrames.clear();
  rig.Update(9);
  EXPECT_TRUE(settingFrames.empty());
  EXPECT_EQ(Instance().lastComputedFrame, 2);
  EXPECT_EQ(Instance().previousFrame, 2);
  // The next evaluation resumes from the frame reached.
  Scene::Get().SetCancelPressed(false);
  rig.Update(9);
  EXPECT_EQ(settingFrames, (std::vector<int>{3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(Driver, CancelInsideTheLoopStopsAfterTheCurrentFrame) {
  GridMode(1);
  cancelAtIncrement = 3;
  rig.Update(10);
  EXPECT_EQ(settingFrames, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(Instance().lastComputedFrame, 3);
  EXPECT_EQ(Instance().previousFrame, 3);
}

TEST_F(Driver, SpaceOneWithoutElementsStillResetsTheSimulationStart) {
  Scene::Get().SetParameter(sphere, L"radius", CValue(1.0));
  Set(L"Space", CValue(LONG{1}));
  Set(L"Start_frame", CValue(LONG{4}));
  rig.Update(9);
  EXPECT_EQ(Instance().lastComputedFrame, 3);
  EXPECT_FALSE(Instance().gridPolygonizer.ready);
}

TEST_F(Driver, RefusedOutputIsLoggedAndReturned) {
  Set(L"Mute", CValue(true));
  Scene::Get().SetFailPutValue(true);
  const XSI::CStatus status = rig.Update(1);
  EXPECT_NE(status, XSI::CStatus::OK);
  ASSERT_FALSE(LogTexts().empty());
  EXPECT_EQ(LogTexts().back(), kOperatorName + L" -> OutParameter -> error.");
}

TEST_F(Driver, TimingLinesInOrderForBothSpaces) {
  Set(L"Log_time", CValue(true));
  Set(L"Space", CValue(LONG{1}));
  std::vector<std::wstring> lines;
  // An unknown polygonization is a valid, empty result, post-processed like any other.
  for (LONG polygonization : {0, 5}) {
    SCOPED_TRACE(polygonization);
    Set(L"Polygonization", CValue(polygonization));
    Scene::Get().ClearLog();
    rig.Update(1);
    lines = LogTexts();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], L"**** " + kOperatorName + L" ****");
    EXPECT_TRUE(StartsWith(lines[1], L"- graph evaluation -> "));
    EXPECT_TRUE(StartsWith(lines[2], L"- polygonizer -> "));
    EXPECT_TRUE(StartsWith(lines[3], L"- postprocessing -> "));
    for (const std::wstring& line : lines) {
      if (line[0] == L'-') {
        EXPECT_EQ(line.substr(line.size() - 6), L" msec.");
      }
    }
    EXPECT_TRUE(Instance().mesh.valid);
    EXPECT_EQ(Instance().mesh.vertices.GetCount() > 0, polygonization == 0);
  }
  Set(L"Polygonization", CValue(LONG{0}));

  Scene::Get().ClearLog();
  GridMode(0);
  rig.Update(1);
  lines = LogTexts();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], L"**** " + kOperatorName + L" ****");
  EXPECT_TRUE(StartsWith(lines[1], L"- graph evaluation, simulation, polygonizer -> "));
}

TEST_F(Driver, PolygonizerOutOfMemoryIsLoggedAndGivesAnEmptyMesh) {
  Set(L"Space", CValue(LONG{1}));
  allocation_faults::FailAfter(2);  // the element block and the field's table succeed, the polygonizer's first table fails
  ASSERT_EQ(rig.Update(1), XSI::CStatus::OK);
  allocation_faults::Clear();
  EXPECT_EQ(Instance().mesh.vertices.GetCount(), 0);
  const std::vector<std::wstring> lines = LogTexts();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), kOperatorName + L" (polygonizer) -> not enough memory.");
}

// The host runs out of memory part way through the recompute loop, after the
// lattices have stepped frames the bookkeeping never recorded. The next
// evaluation simulates again from the start frame instead of stepping those
// frames twice: with Viscosity every step shows in the field, so the mesh of
// frame 10 must equal that of an uninterrupted run.
TEST_F(Driver, OutOfMemoryInsideTheLoopRestartsTheSimulation) {
  GridMode(1);
  Set(L"Viscosity", CValue(3.0));
  rig.Update(10);
  const XSI::MATH::CVector3Array uninterrupted = Instance().mesh.vertices;
  ASSERT_GT(uninterrupted.GetCount(), 0);
  rig.Update(1);
  rig.Update(2);
  outOfMemoryAtSettingFrame = 6;  // frames 3 to 5 are stepped
  Scene::Get().ClearLog();
  ASSERT_EQ(rig.Update(10), XSI::CStatus::OK);
  ASSERT_FALSE(LogTexts().empty());
  EXPECT_EQ(LogTexts().back(), kOperatorName + L" (evaluation) -> not enough memory.");
  EXPECT_EQ(OutputValue(), 0);

  outOfMemoryAtSettingFrame = -1;
  settingFrames.clear();
  rig.Update(10);
  EXPECT_EQ(settingFrames, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_TRUE(Instance().mesh.vertices == uninterrupted);
}
