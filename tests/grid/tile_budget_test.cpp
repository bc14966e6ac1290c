// The lattice budget of tiled lattices (grid/tile_estimate.h) as a host sees
// it: the estimate bounds what every step allocates, and a frame refused for
// it steps nothing, so that evaluating it again without the budget gives the
// bytes of a run that never had one.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "front/glomora_api.h"
#include "front/operator_instance.h"
#include "glomora_rig.h"
#include "grid/lattice_storage.h"
#include "grid_fixture.h"
#include "host/host_scene.h"
#include "support/fresh_scene.h"

using XSI::CValue;
using XSI::LONG;
using XSI::Host::Scene;
using XSI::MATH::CVector3;
using XSI::MATH::CVector3Array;

namespace {

// Tiled lattices forced, no budget, then as before.
class TileBudget : public ::testing::Test {
 protected:
  TileBudget() { Glomora_SetLatticeStorage(LatticeStorage::kSparse); }
  ~TileBudget() override {
    Glomora_SetLatticeBudget(0);
    Glomora_SetLatticeStorage(LatticeStorage::kAuto);
  }
  static OperatorInstance& Instance(const GlomoraRig& rig) {
    return *static_cast<OperatorInstance*>(static_cast<void*>(Scene::Get().MakeContext(rig.op).GetUserData()));
  }
  static GlomoraTileEstimate Estimate(const GlomoraRig& rig) {
    GlomoraTileEstimate estimate{};
    EXPECT_TRUE(Glomora_GetTileEstimate(rig.op.GetAsText(), estimate));
    return estimate;
  }
  FreshScene fresh;
};

// A cloud of `count` points moving with the frames, in a 4-unit box.
XSI::CRef AddMovingCloud(GlomoraRig& rig, std::mt19937& random, int count, int frames) {
  const XSI::CRef cloud = rig.AddSource(L"spray", L"cloud");
  std::uniform_real_distribution<double> place(-1.8, 1.8);
  std::uniform_real_distribution<double> move(-0.3, 0.3);
  CVector3Array points(count);
  for (int p = 0; p < count; ++p) points[p] = CVector3(place(random), place(random), place(random));
  for (int frame = 1; frame <= frames; ++frame) {
    Scene::Get().SetPointsAtFrame(cloud, frame, points);
    for (int p = 0; p < count; ++p) {
      points[p] = CVector3(points[p].GetX() + move(random), points[p].GetY() + move(random), points[p].GetZ());
    }
  }
  return cloud;
}

TEST_F(TileBudget, TheEstimateIsNeverBelowWhatTheStepAllocates) {
  Glomora_SetLatticeBudget(uint64_t{1} << 60);
  std::mt19937 random(20261209);
  for (int scene = 0; scene < 12; ++scene) {
    SCOPED_TRACE(scene);
    GlomoraRig rig(L"est" + XSI::CString(std::to_wstring(scene)));
    AddMovingCloud(rig, random, 1 + static_cast<int>(random() % 40), 4);
    const LONG resolution = 16 + static_cast<LONG>(random() % 48);
    for (const wchar_t* axis : {L"Resolution_X", L"Resolution_Y", L"Resolution_Z"}) {
      rig.SetParameter(axis, CValue(resolution));
    }
    rig.SetParameter(L"Space", CValue(LONG{0}));
    rig.SetParameter(L"Blending_model", CValue(LONG{1}));
    rig.SetParameter(L"Particle_size", CValue(0.1 + 0.1 * static_cast<double>(random() % 8)));
    rig.SetParameter(L"Viscosity", CValue(static_cast<double>(random() % 4) * 2.0));
    rig.SetParameter(L"Grid_space", CValue(static_cast<LONG>(random() % 2)));
    rig.SetParameter(L"User_normals", CValue(random() % 2 == 0));
    rig.Init();
    for (int frame = 1; frame <= 4; ++frame) {
      ASSERT_EQ(rig.Update(frame).GetCode(), 0);
      const GlomoraTileEstimate estimate = Estimate(rig);
      const GridPolygonizer& grid = Instance(rig).gridPolygonizer;
      ASSERT_EQ(estimate.made, 1);
      EXPECT_EQ(estimate.overBudget, 0);
      EXPECT_EQ(estimate.frame, frame);
      EXPECT_LE(grid.tiledLattice.FieldTileCount(), estimate.tiles);
      // The pools keep every block they ever made: this is the step's peak.
      EXPECT_LE(grid.LatticeBytes(), estimate.bytes);
    }
    rig.Term();
  }
}

TEST_F(TileBudget, ARefusedFrameStepsNothingAndCanBeEvaluatedAgain) {
  const auto makeRig = [](const wchar_t* name) {
    auto rig = std::make_unique<GlomoraRig>(name);
    std::mt19937 random(7);
    AddMovingCloud(*rig, random, 30, 5);
    for (const wchar_t* axis : {L"Resolution_X", L"Resolution_Y", L"Resolution_Z"}) {
      rig->SetParameter(axis, CValue(LONG{40}));
    }
    rig->SetParameter(L"Space", CValue(LONG{0}));
    rig->SetParameter(L"Mode", CValue(LONG{1}));
    rig->SetParameter(L"Blending_model", CValue(LONG{1}));
    rig->SetParameter(L"Viscosity", CValue(3.0));
    rig->SetParameter(L"User_normals", CValue(true));
    rig->Init();
    return rig;
  };
  // Without a budget: the meshes of frames 3 and 5.
  auto plain = makeRig(L"plain");
  std::vector<XSI::MATH::CVector3Array> vertices;
  std::vector<XSI::CLongArray> polygons;
  for (int frame = 1; frame <= 5; ++frame) {
    ASSERT_EQ(plain->Update(frame).GetCode(), 0);
    vertices.push_back(Instance(*plain).mesh.vertices);
    polygons.push_back(Instance(*plain).mesh.polygons);
  }
  ASSERT_GT(vertices[2].GetCount(), 0);
  plain->Term();

  auto rig = makeRig(L"held");
  const std::wstring name = L"held.polymsh.GlomoraGeometry.Glomora";
  for (int frame = 1; frame <= 2; ++frame) ASSERT_EQ(rig->Update(frame).GetCode(), 0);
  const size_t tilesBefore = Instance(*rig).gridPolygonizer.tiledLattice.FieldTileCount();
  // Frame 3 directly, then frames 4 and 5 through the recompute loop (frame
  // 5 asked after 3 was refused): refused under a budget of one byte.
  for (const int frame : {3, 5}) {
    SCOPED_TRACE(frame);
    Scene::Get().ClearLog();
    Glomora_SetLatticeBudget(1);
    ASSERT_EQ(rig->Update(frame).GetCode(), 0);
    EXPECT_EQ(Instance(*rig).mesh.vertices.GetCount(), 0);
    EXPECT_EQ(Instance(*rig).gridPolygonizer.tiledLattice.FieldTileCount(), tilesBefore);
    const GlomoraTileEstimate estimate = Estimate(*rig);
    EXPECT_EQ(estimate.overBudget, 1);
    EXPECT_EQ(estimate.frame, 3);
    EXPECT_GE(estimate.tiles, tilesBefore);
    const std::vector<std::wstring> log = grid_test::LogTexts();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], name + L" Voxel grid 1 -> not enough memory.");
    EXPECT_EQ(log[1].rfind(name + L" Voxel grid 1 -> needs ", 0), 0u) << log[1];
    EXPECT_NE(log[1].find(L" tiles, above the memory limit of 1 byte."), std::wstring::npos) << log[1];
  }
  // Again without a budget: the bytes of the run that never had one.
  Glomora_SetLatticeBudget(0);
  for (const int frame : {3, 5}) {
    ASSERT_EQ(rig->Update(frame).GetCode(), 0);
    EXPECT_TRUE(Instance(*rig).mesh.vertices == vertices[static_cast<size_t>(frame) - 1]) << frame;
    EXPECT_TRUE(Instance(*rig).mesh.polygons == polygons[static_cast<size_t>(frame) - 1]) << frame;
    EXPECT_EQ(Estimate(*rig).made, 0);
  }
  rig->Term();
}

}  // namespace
