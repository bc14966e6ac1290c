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

const XSI::CString kOperatorName = L"blob.polymsh.GlomoraGeometry.Glomora";

// A moving ball off the centre of a box of unequal sides and cells.
void Ball(GlomoraRig& rig) {
  AnimatedPose pose;
  pose.translation = AnimatedVector(0.3, -0.2, 0.1);
  pose.translation.x = AnimatedValue::Keys({Key{1, 0.3}, Key{3, 0.9}});
  Scene::Get().SetPose(Scene::Get().GetKinematics(rig.AddSource(L"ball", L"sphere")), pose);
  rig.SetParameter(L"Size_X", CValue(4.0));
  rig.SetParameter(L"Size_Y", CValue(3.0));
  rig.SetParameter(L"Size_Z", CValue(5.0));
  rig.SetParameter(L"Resolution_X", CValue(LONG{16}));
  rig.SetParameter(L"Resolution_Y", CValue(LONG{12}));
  rig.SetParameter(L"Resolution_Z", CValue(LONG{25}));
}

// A cloud, a cube, a turning cylinder and a subtractive sphere, cut open by
// a small box.
void Mixed(GlomoraRig& rig) {
  Scene& scene = Scene::Get();
  std::mt19937 random(7);
  std::uniform_real_distribution<double> unit(-0.6, 0.6);
  const XSI::CRef cloud = rig.AddSource(L"spray", L"cloud");
  for (int frame = 1; frame <= 3; ++frame) {
    XSI::MATH::CVector3Array points;
    for (int p = 0; p < 60; ++p) points.Add(XSI::MATH::CVector3(unit(random), unit(random), unit(random)));
    scene.SetPointsAtFrame(cloud, frame, points);
  }
  AnimatedPose pose;
  pose.translation = AnimatedVector(0.3, -0.2, 0.1);
  pose.scaling = AnimatedVector(0.25, 0.25, 0.25);
  scene.SetPose(scene.GetKinematics(rig.AddSource(L"box", L"cube")), pose);
  pose.translation = AnimatedVector(-0.3, 0.1, 0.2);
  pose.rotationDegrees.x = AnimatedValue::Keys({Key{1, 0.0}, Key{3, 60.0}});
  pose.scaling = AnimatedVector(0.2, 0.3, 0.2);
  scene.SetPose(scene.GetKinematics(rig.AddSource(L"post", L"cylinder")), pose);
  pose = AnimatedPose();
  pose.translation = AnimatedVector(0.0, 0.3, 0.0);
  pose.scaling = AnimatedVector(-0.3, -0.3, -0.3);
  scene.SetPose(scene.GetKinematics(rig.AddSource(L"hole", L"sphere")), pose);
  rig.SetParameter(L"Size_X", CValue(1.5));
  rig.SetParameter(L"Size_Y", CValue(1.5));
  rig.SetParameter(L"Size_Z", CValue(1.5));
  rig.SetParameter(L"Resolution_X", CValue(LONG{41}));
  rig.SetParameter(L"Resolution_Y", CValue(LONG{33}));
  rig.SetParameter(L"Resolution_Z", CValue(LONG{24}));
}

class VolumeFromTiles : public ::testing::Test {
 protected:
  VolumeFromTiles() {
    const char* names[] = {"v"};
    Glomora_SetTransferAttributes(names, 1);
  }
  ~VolumeFromTiles() override { Glomora_SetTransferAttributes(nullptr, 0); }
};

}  // namespace

TEST_F(VolumeFromTiles, HoldsTheDenseLatticesBytes) {
  std::string error;
  ASSERT_TRUE(FieldVolumesAvailable(error)) << error;
  for (const auto scene : {&Ball, &Mixed}) {
    std::string reference[2];  // density alone, and with the velocity
    for (const int32_t storage : test_support::kLatticeStorages) {
      SCOPED_TRACE(storage);
      const test_support::ScopedLatticeStorage scope(storage);
      FreshScene fresh;
      GlomoraRig rig;
      scene(rig);
      rig.SetParameter(L"Space", CValue(LONG{0}));
      rig.SetParameter(L"Mode", CValue(LONG{1}));
      rig.SetParameter(L"Viscosity", CValue(1.0));
      ASSERT_EQ(rig.Init(), XSI::CStatus::OK);
      ASSERT_EQ(rig.Update(1.0), XSI::CStatus::OK);
      ASSERT_EQ(rig.Update(3.0), XSI::CStatus::OK);
      GlomoraLatticeStats stats{};
      ASSERT_TRUE(Glomora_GetLatticeStats(kOperatorName, stats));
      ASSERT_EQ(stats.storage, storage == LatticeStorage::kSparse ? 2 : 1);
      for (const bool velocity : {false, true}) {
        SCOPED_TRACE(velocity);
        std::string tiled;
        std::string dense;
        ASSERT_EQ(EncodeFieldVolume(kOperatorName, "s", tiled, error, velocity, FieldVolumeSource::Tiles),
                  VolumeWrite::Written)
            << error;
        ASSERT_EQ(EncodeFieldVolume(kOperatorName, "s", dense, error, velocity, FieldVolumeSource::Dense),
                  VolumeWrite::Written)
            << error;
        EXPECT_GT(tiled.size(), 2000u);
        EXPECT_TRUE(tiled == dense);
        std::string& same = reference[velocity ? 1 : 0];
        if (same.empty()) same = tiled;
        EXPECT_TRUE(tiled == same);
      }
      rig.Term();
    }
    EXPECT_GT(reference[1].size(), reference[0].size());
  }
}
