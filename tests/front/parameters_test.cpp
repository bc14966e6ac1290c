#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "front/operator_instance.h"
#include "front/parameters.h"
#include "glomora_rig.h"
#include "host/host_scene.h"
#include "support/fresh_scene.h"

using XSI::CString;
using XSI::CValue;
using XSI::LONG;
using XSI::Host::Scene;

namespace {

class Parameters : public ::testing::Test {
 protected:
  void Set(const wchar_t* name, const CValue& value) { rig.SetParameter(name, value); }
  void Read() { ReadParameters(instance.settings, instance.clock, XSI::Operator(rig.op)); }

  FreshScene fresh;
  GlomoraRig rig;
  OperatorInstance instance;
};

}  // namespace

TEST_F(Parameters, ReadInTheFixedOrder) {
  std::vector<std::wstring> read;
  Scene::Get().SetParameterReadObserver([&](const std::wstring& fullName, double) {
    read.push_back(fullName.substr(fullName.rfind(L'.') + 1));
  });
  Set(L"Space", CValue(LONG{1}));
  Set(L"Mode", CValue(LONG{2}));
  Read();
  const std::vector<std::wstring> expected = {
      L"Mute", L"Log_time", L"Space", L"Polygonization", L"User_normals", L"UVspace", L"Grid_space", L"Mode",
      L"Start_frame", L"Blending_model", L"Container", L"Size_X", L"Size_Y", L"Size_Z", L"Resolution_X",
      L"Resolution_Y", L"Resolution_Z", L"JB_voxelsize", L"JB_accuracy", L"JB_simple", L"Geometry_smooth_active",
      L"Geometry_smooth_strength", L"Geometry_degenerate_active", L"Geometry_degenerate_tolerance",
      L"Geometry_preserve_boundary", L"Optimization_volume_hyperbolic", L"Optimization_volume_exponential",
      L"Optimization_volume_scale", L"Cache_filename"};
  EXPECT_EQ(read, expected);
}

TEST_F(Parameters, VoxelSizeIsReadOnlyInSpaceOneAndCacheNameOnlyAboveModeOne) {
  std::vector<std::wstring> read;
  Scene::Get().SetParameterReadObserver([&](const std::wstring& fullName, double) { read.push_back(fullName); });
  Set(L"Space", CValue(LONG{0}));
  Set(L"Mode", CValue(LONG{1}));
  Read();
  for (const std::wstring& name : read) {
    EXPECT_EQ(name.find(L"JB_voxelsize"), std::wstring::npos);
    EXPECT_EQ(name.find(L"Cache_filename"), std::wstring::npos);
  }
  EXPECT_EQ(read.size(), 27u);
}

TEST_F(Parameters, GridCellSizesFollowTheBox) {
  Set(L"Space", CValue(LONG{0}));
  Set(L"Size_X", CValue(10.0));
  Set(L"Resolution_X", CValue(LONG{20}));
  Read();
  EXPECT_EQ(instance.settings.cellSize.x, 0.5f);
  EXPECT_EQ(instance.settings.inverseCellSize.x, 2.0f);
  EXPECT_EQ(instance.settings.halfSize.x, 5.0f);
  EXPECT_EQ(instance.settings.inverseResolution.x, 0.05f);
}

TEST_F(Parameters, VoxelSizeSetsEveryAxisInSpaceOne) {
  Set(L"Space", CValue(LONG{1}));
  Set(L"JB_voxelsize", CValue(0.25));
  Set(L"Size_Y", CValue(3.0));
  Set(L"Resolution_Z", CValue(LONG{8}));
  Read();
  for (float c : {instance.settings.cellSize.x, instance.settings.cellSize.y, instance.settings.cellSize.z}) EXPECT_EQ(c, 0.25f);
  for (float c : {instance.settings.inverseCellSize.x, instance.settings.inverseCellSize.y, instance.settings.inverseCellSize.z}) EXPECT_EQ(c, 4.0f);
  EXPECT_EQ(instance.settings.halfSize.y, 1.5f);
  EXPECT_EQ(instance.settings.inverseResolution.z, 0.125f);
}

TEST_F(Parameters, OtherSpacesKeepThePreviousCellSize) {
  Set(L"Space", CValue(LONG{1}));
  Set(L"JB_voxelsize", CValue(0.25));
  Read();
  Set(L"Space", CValue(LONG{7}));
  Set(L"JB_voxelsize", CValue(0.5));
  Read();
  EXPECT_EQ(instance.settings.cellSize.x, 0.25f);
  EXPECT_EQ(instance.settings.inverseCellSize.x, 4.0f);
}

TEST_F(Parameters, SmallStrengthsSwitchPostProcessingOff) {
  Set(L"Geometry_smooth_active", CValue(true));
  Set(L"Geometry_smooth_strength", CValue(0.000009));
  Set(L"Geometry_degenerate_active", CValue(true));
  Set(L"Geometry_degenerate_tolerance", CValue(0.00001));
  Set(L"Geometry_preserve_boundary", CValue(true));
  Read();
  EXPECT_FALSE(instance.settings.smoothActive);
  EXPECT_TRUE(instance.settings.degenerateActive);
  EXPECT_TRUE(instance.settings.preserveBoundary);

  Set(L"Geometry_smooth_strength", CValue(0.00001));
  Set(L"Geometry_degenerate_active", CValue(false));
  Read();
  EXPECT_TRUE(instance.settings.smoothActive);
  EXPECT_FALSE(instance.settings.degenerateActive);
  EXPECT_TRUE(instance.settings.preserveBoundary);

  Set(L"Geometry_smooth_active", CValue(false));
  Read();
  EXPECT_FALSE(instance.settings.preserveBoundary);  // nothing left to preserve it for
}

TEST_F(Parameters, BoxPolygonizationSwitchesTheExtrasOff) {
  Set(L"Polygonization", CValue(LONG{10}));
  Set(L"User_normals", CValue(true));
  Set(L"UVspace", CValue(true));
  Set(L"Geometry_smooth_active", CValue(true));
  Set(L"Geometry_degenerate_active", CValue(true));
  Set(L"Geometry_preserve_boundary", CValue(true));
  Read();
  EXPECT_FALSE(instance.settings.userNormals);
  EXPECT_FALSE(instance.settings.uvSpace);
  EXPECT_FALSE(instance.settings.normalsOrUv);
  EXPECT_FALSE(instance.settings.smoothActive);
  EXPECT_FALSE(instance.settings.degenerateActive);
  EXPECT_TRUE(instance.settings.preserveBoundary);  // decided before the polygonization rule
}

TEST_F(Parameters, NormalsOrUvAndAccuracy) {
  Set(L"User_normals", CValue(false));
  Set(L"UVspace", CValue(true));
  Set(L"JB_accuracy", CValue(LONG{3}));
  Read();
  EXPECT_TRUE(instance.settings.normalsOrUv);
  EXPECT_EQ(instance.settings.bisectionHalvings, 5);
  Set(L"JB_accuracy", CValue(LONG{INT_MAX}));
  Read();
  EXPECT_EQ(instance.settings.bisectionHalvings, INT_MAX);
}

TEST_F(Parameters, CacheNameIsReadOnlyInModesTwoAndThree) {
  Set(L"Mode", CValue(LONG{2}));
  Set(L"Cache_filename", CValue(CString(L"D:/sim/blob.grd")));
  Read();
  EXPECT_TRUE(instance.settings.cacheUsable);
  EXPECT_EQ(instance.settings.cacheFileBase, L"D:\\sim\\blob");
  Set(L"Mode", CValue(LONG{1}));
  Set(L"Cache_filename", CValue(CString(L"other")));
  Read();
  EXPECT_FALSE(instance.settings.cacheUsable);
  EXPECT_EQ(instance.settings.cacheFileBase, L"D:\\sim\\blob");
}

TEST_F(Parameters, TimingStartsOnlyWhenLoggingAndNotMuted) {
  Set(L"Log_time", CValue(true));
  Set(L"Mute", CValue(true));
  instance.clock.start = -12345;
  Read();
  EXPECT_EQ(instance.clock.start, -12345);
  Set(L"Mute", CValue(false));
  Read();
  EXPECT_NE(instance.clock.start, -12345);
}

TEST(CacheFileNameRule, AcceptsAndRewritesOrRejects) {
  struct Case {
    const wchar_t* input;
    bool usable;
    const wchar_t* result;
  };
  const Case cases[] = {
      {L"D:/sim/blob.grd", true, L"D:\\sim\\blob"},
      {L"  D:\\sim\\blob.0012.grd  ", true, L"D:\\sim\\blob"},
      {L"blob", true, L"blob"},
      {L"my.blob.grd", true, L"my"},
      {L"D:\\sim.d\\blob", true, L"D:\\sim.d\\blob"},
      {L"cache/blob", true, L"cache\\blob"},
      {L"\tblob ", true, L"\tblob"},
      {L"D:\\sim\\", false, L""},
      {L"D:\\sim\\bl*b.grd", false, L""},
      {L"a?b", false, L""},
      {L"a\"b", false, L""},
      {L"a<b", false, L""},
      {L"a>b", false, L""},
      {L"a|b", false, L""},
      {L"D:blob.grd", false, L""},
      {L"", false, L""},
      {L"   ", false, L""},
      {L".grd", false, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::wstring(L"input [") + c.input + L"]");
    CString name(c.input);
    EXPECT_EQ(ApplyCacheFileNameRule(name), c.usable);
    EXPECT_EQ(name, c.result);
  }
}
