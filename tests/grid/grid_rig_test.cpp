#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "front/operator_instance.h"
#include "glomora_rig.h"
#include "host/host_scene.h"
#include "support/fresh_scene.h"
#include "support/mesh_checks.h"
#include "support/temp_folder.h"

using XSI::CString;
using XSI::CValue;
using XSI::LONG;
using XSI::Host::Scene;
namespace fs = std::filesystem;

namespace {

// The plug-in driven as the host drives it: a sphere primitive of radius 1 in
// a 4-unit box with 24 cells per axis, voxel grid space.
class GridThroughTheHost : public ::testing::Test {
 protected:
  GridThroughTheHost() {
    rig.AddSource(L"ball", L"sphere");
    for (const wchar_t* axis : {L"Resolution_X", L"Resolution_Y", L"Resolution_Z"}) rig.SetParameter(axis, CValue(LONG{24}));
    rig.SetParameter(L"Space", CValue(LONG{0}));
    rig.Init();
  }
  ~GridThroughTheHost() override {
    rig.Term();
  }
  OperatorInstance& Instance() {
    return *static_cast<OperatorInstance*>(static_cast<void*>(Scene::Get().MakeContext(rig.op).GetUserData()));
  }

  FreshScene fresh;
  GlomoraRig rig;
  TempFolder temp{"glomora_grid_rig"};
  const fs::path folder = temp.Path();
};

TEST_F(GridThroughTheHost, SphereGivesAClosedMeshThatTheCacheReplays) {
  // Mode 2 writes each computed frame; the base keeps its directory.
  rig.SetParameter(L"Mode", CValue(LONG{2}));
  rig.SetParameter(L"Cache_filename", CValue(CString((folder / "blob.0001.grd").wstring())));
  for (int frame = 1; frame <= 3; ++frame) ASSERT_EQ(rig.Update(frame).GetCode(), 0);
  const OperatorInstance& in = Instance();
  ASSERT_GT(in.mesh.vertices.GetCount(), 0);
  // (Lattice points at exactly radius 1 carry the iso value: the edges that
  // end there all put their vertex on that point, so positions may repeat.)
  EXPECT_TRUE(IsClosedManifold(in.mesh.polygons, true));
  for (int frame = 1; frame <= 3; ++frame) EXPECT_TRUE(fs::exists(folder / ("blob." + std::to_string(frame) + ".grd")));
  const XSI::MATH::CVector3Array computed = in.mesh.vertices;
  const XSI::CLongArray polygons = in.mesh.polygons;

  // Mode 3 plays frame 3 back: the same triangles, coordinates through float.
  rig.SetParameter(L"Mode", CValue(LONG{3}));
  ASSERT_EQ(rig.Update(3).GetCode(), 0);
  ASSERT_EQ(Instance().mesh.vertices.GetCount(), computed.GetCount());
  EXPECT_TRUE(Instance().mesh.polygons == polygons);
  for (LONG v = 0; v < computed.GetCount(); ++v) {
    ASSERT_EQ(Instance().mesh.vertices[v].GetX(), static_cast<double>(static_cast<float>(computed[v].GetX())));
  }
  // A frame that was never written gives an empty mesh.
  ASSERT_EQ(rig.Update(7).GetCode(), 0);
  EXPECT_EQ(Instance().mesh.vertices.GetCount(), 0);
}

}  // namespace
