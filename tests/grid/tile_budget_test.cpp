// The lattice budget: the estimate bounds each tiled step, a refused frame steps nothing.

#include <gtest/gtest.h>

#include <random>

#include "front/glomora_api.h"
#include "front/operator_instance.h"
#include "glomora_rig.h"
#include "grid_fixture.h"
#include "support/fresh_scene.h"

namespace {

using XSI::CValue, XSI::LONG;

// A 4-unit box, a cloud drifting over frames 1 to 5, settings drawn from `seed`.
void MakeScene(GlomoraRig& rig, uint32_t seed, const wchar_t* cloudName) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> place(-1.8, 1.8);
  const XSI::CRef cloud = rig.AddSource(cloudName, L"cloud");
  XSI::MATH::CVector3Array points(static_cast<LONG>(1 + random() % 40));
  for (int frame = 1; frame <= 5; ++frame) {
    for (LONG p = 0; p < points.GetCount(); ++p) points[p] = {place(random), place(random), place(random)};
    XSI::Host::Scene::Get().SetPointsAtFrame(cloud, frame, points);
  }
  const CValue resolution(static_cast<LONG>(16 + random() % 48));
  for (const wchar_t* axis : {L"Resolution_X", L"Resolution_Y", L"Resolution_Z"}) rig.SetParameter(axis, resolution);
  const std::pair<const wchar_t*, CValue> values[] = {
      {L"Space", CValue(LONG{0})}, {L"Mode", CValue(LONG{1})}, {L"Grid_space", CValue(static_cast<LONG>(random() % 2))},
      {L"Particle_size", CValue(0.1 + 0.1 * static_cast<double>(random() % 8))},
      {L"Viscosity", CValue(static_cast<double>(random() % 4) * 2.0)}, {L"User_normals", CValue(random() % 2 == 0)}};
  for (const auto& [name, value] : values) rig.SetParameter(name, value);
  rig.Init();
}

const OperatorInstance& In(const GlomoraRig& rig) {
  return *static_cast<OperatorInstance*>(static_cast<void*>(XSI::Host::Scene::Get().MakeContext(rig.op).GetUserData()));
}

TEST(TileBudget, EstimatesBoundTheStepsAndARefusedFrameStepsNothing) {
  FreshScene fresh;
  Glomora_SetLatticeStorage(2);
  GlomoraTileEstimate e{};
  int meshes = 0;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    // Never fewer tiles, nor bytes (the pools keep every block made: the peak), than a step holds.
    Glomora_SetLatticeBudget(uint64_t{1} << 60);
    GlomoraRig rig(L"est"), plain(L"plain");
    MakeScene(rig, seed, L"a");
    for (int frame = 1; frame <= 4; ++frame) {
      ASSERT_EQ(rig.Update(frame).GetCode(), 0);
      ASSERT_TRUE(Glomora_GetTileEstimate(rig.op.GetAsText(), e) && e.made == 1 && e.frame == frame);
      EXPECT_LE(In(rig).gridPolygonizer.tiledLattice.FieldTileCount(), e.tiles) << seed;
      EXPECT_LE(In(rig).gridPolygonizer.LatticeBytes(), e.bytes) << seed;
    }
    // Frame 5 refused (two lines logged, no tile more), then evaluated
    // without the budget: the mesh of a run that never had one.
    XSI::Host::Scene::Get().ClearLog();
    Glomora_SetLatticeBudget(1);
    const size_t tiles = In(rig).gridPolygonizer.tiledLattice.FieldTileCount();
    ASSERT_EQ(rig.Update(5).GetCode(), 0);
    EXPECT_EQ(In(rig).gridPolygonizer.tiledLattice.FieldTileCount(), tiles);
    EXPECT_TRUE(Glomora_GetTileEstimate(rig.op.GetAsText(), e) && e.overBudget == 1 && e.frame == 5);
    const std::wstring line = L"est.polymsh.GlomoraGeometry.Glomora Voxel grid 1 -> ";
    const std::vector<std::wstring> log = grid_test::LogTexts();
    ASSERT_TRUE(log.size() == 2 && log[0] == line + L"not enough memory." && log[1].starts_with(line + L"needs ") &&
                log[1].ends_with(L" tiles, above the memory limit of 1 byte."));
    Glomora_SetLatticeBudget(0);
    ASSERT_EQ(rig.Update(5).GetCode(), 0);
    MakeScene(plain, seed, L"b");
    for (int frame = 1; frame <= 5; ++frame) ASSERT_EQ(plain.Update(frame).GetCode(), 0);
    meshes += In(plain).mesh.vertices.GetCount() > 0 ? 1 : 0;
    EXPECT_TRUE(In(rig).mesh.vertices == In(plain).mesh.vertices && In(rig).mesh.polygons == In(plain).mesh.polygons);
    rig.Term(), plain.Term();
  }
  EXPECT_GE(meshes, 8);
  Glomora_SetLatticeStorage(0);
}

}  // namespace
