// The volume written from the field's tiles, a leaf per tile, holds the
// bytes of the volume written from the dense lattice, in either storage.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "field_volume.h"
#include "front/glomora_api.h"
#include "glomora_rig.h"
#include "host/host_scene.h"
#include "support/fresh_scene.h"
#include "support/thread_counts.h"

using XSI::CValue;
using XSI::LONG;
using XSI::Host::AnimatedPose;
using XSI::Host::AnimatedValue;
using XSI::Host::AnimatedVector;
using XSI::Host::Key;
using XSI::Host::Scene;

namespace {

// A moving ball off the centre of a box of unequal sides and cells (`cut`:
// a cloud and a subtractive ball besides, in a box that cuts them open).
void AddScene(GlomoraRig& rig, bool cut) {
  Scene& scene = Scene::Get();
  AnimatedPose pose;
  pose.translation = AnimatedVector(0.3, -0.2, 0.1);
  pose.translation.x = AnimatedValue::Keys({Key{1, 0.3}, Key{3, 0.9}});
  scene.SetPose(scene.GetKinematics(rig.AddSource(L"ball", L"sphere")), pose);
  const double size[3] = {cut ? 1.5 : 4.0, cut ? 1.5 : 3.0, cut ? 1.5 : 5.0};
  const LONG resolution[3] = {cut ? 41 : 16, cut ? 33 : 12, 25};
  if (cut) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> unit(-0.7, 0.7);
    const XSI::CRef cloud = rig.AddSource(L"spray", L"cloud");
    for (int frame = 1; frame <= 3; ++frame) {
      XSI::MATH::CVector3Array points;
      for (int p = 0; p < 60; ++p) points.Add(XSI::MATH::CVector3(unit(random), unit(random), unit(random)));
      scene.SetPointsAtFrame(cloud, frame, points);
    }
    pose = AnimatedPose();
    pose.scaling = AnimatedVector(-0.3, -0.3, -0.3);
    scene.SetPose(scene.GetKinematics(rig.AddSource(L"hole", L"sphere")), pose);
  }
  const wchar_t* sizes[3] = {L"Size_X", L"Size_Y", L"Size_Z"};
  const wchar_t* resolutions[3] = {L"Resolution_X", L"Resolution_Y", L"Resolution_Z"};
  for (int a = 0; a < 3; ++a) {
    rig.SetParameter(sizes[a], CValue(size[a]));
    rig.SetParameter(resolutions[a], CValue(resolution[a]));
  }
  rig.SetParameter(L"Space", CValue(LONG{0}));
  rig.SetParameter(L"Mode", CValue(LONG{1}));
  rig.SetParameter(L"Viscosity", CValue(1.0));
}

}  // namespace

TEST(VolumeFromTiles, HoldsTheDenseLatticesBytes) {
  const char* names[] = {"v"};
  Glomora_SetTransferAttributes(names, 1);
  std::string error;
  ASSERT_TRUE(FieldVolumesAvailable(error)) << error;
  for (const bool cut : {false, true}) {
    std::string reference[2];  // density alone, and with the velocity
    for (const int32_t storage : test_support::kLatticeStorages) {
      SCOPED_TRACE(std::to_string(cut) + " " + std::to_string(storage));
      const test_support::ScopedLatticeStorage scope(storage);
      FreshScene fresh;
      GlomoraRig rig;
      AddScene(rig, cut);
      ASSERT_EQ(rig.Init(), XSI::CStatus::OK);
      ASSERT_EQ(rig.Update(1.0), XSI::CStatus::OK);
      ASSERT_EQ(rig.Update(3.0), XSI::CStatus::OK);
      const XSI::CString op = rig.op.GetAsText();
      EXPECT_EQ(Glomora_FieldInsideOnBoxFaces(op), cut ? 1 : 0);
      for (const bool velocity : {false, true}) {
        std::string tiled, dense;
        ASSERT_EQ(EncodeFieldVolume(op, "s", tiled, error, velocity, FieldVolumeSource::Tiles), VolumeWrite::Written)
            << error;
        ASSERT_EQ(EncodeFieldVolume(op, "s", dense, error, velocity, FieldVolumeSource::Dense), VolumeWrite::Written)
            << error;
        EXPECT_GT(tiled.size(), 2000u);
        EXPECT_TRUE(tiled == dense) << velocity;
        if (reference[velocity].empty()) reference[velocity] = tiled;
        EXPECT_TRUE(tiled == reference[velocity]) << velocity;
      }
      rig.Term();
    }
    EXPECT_GT(reference[1].size(), reference[0].size());
  }
  Glomora_SetTransferAttributes(nullptr, 0);
}
