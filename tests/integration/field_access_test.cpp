// Glomora_GetField: the voxel field behind the latest mesh, as the host sees it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "front/glomora_api.h"
#include "front/operator_instance.h"
#include "glomora_rig.h"
#include "host/host_scene.h"
#include "support/fresh_scene.h"
#include "support/temp_folder.h"
#include "support/thread_counts.h"

using XSI::CValue;
using XSI::LONG;
using XSI::Host::Scene;

namespace {

const XSI::CString kOperatorName = L"blob.polymsh.GlomoraGeometry.Glomora";

// A sphere of radius 1 off the centre of a box of unequal sides and cells,
// simulated with viscosity so that every frame's field differs.
class FieldAccess : public ::testing::Test {
 protected:
  FieldAccess() {
    const XSI::CRef ball = rig.AddSource(L"ball", L"sphere");
    XSI::Host::AnimatedPose pose;
    pose.translation = XSI::Host::AnimatedVector(0.3, -0.2, 0.1);
    Scene::Get().SetPose(Scene::Get().GetKinematics(ball), pose);
    Set(L"Space", CValue(LONG{0}));
    Set(L"Mode", CValue(LONG{1}));
    Set(L"Viscosity", CValue(1.0));
    Set(L"Isovalue", CValue(0.7));
    Set(L"Size_X", CValue(4.0));
    Set(L"Size_Y", CValue(3.0));
    Set(L"Size_Z", CValue(5.0));
    Set(L"Resolution_X", CValue(LONG{16}));
    Set(L"Resolution_Y", CValue(LONG{12}));
    Set(L"Resolution_Z", CValue(LONG{25}));
    rig.Init();
  }
  ~FieldAccess() override { rig.Term(); }

  void Set(const wchar_t* name, const CValue& value) { rig.SetParameter(name, value); }
  const OperatorInstance& Instance() {
    return *static_cast<OperatorInstance*>(static_cast<void*>(Scene::Get().MakeContext(rig.op).GetUserData()));
  }

  FreshScene fresh;
  GlomoraRig rig;
};

}  // namespace

// The mesh of frame 3 (reached through the recompute loop) was extracted
// from the field handed out: every vertex lies on a lattice edge whose two
// ends the field puts on either side of the iso-value.
TEST_F(FieldAccess, MeshVerticesLieWhereTheFieldCrossesTheIsovalue) {
  ASSERT_EQ(rig.Update(3.0), XSI::CStatus::OK);
  GlomoraField field{};
  ASSERT_TRUE(Glomora_GetField(kOperatorName, field));
  EXPECT_EQ(field.frame, 3);
  EXPECT_EQ(field.nx, 17);
  EXPECT_EQ(field.ny, 13);
  EXPECT_EQ(field.nz, 26);
  EXPECT_FLOAT_EQ(field.cellSize[0], 0.25f);
  EXPECT_FLOAT_EQ(field.cellSize[1], 0.25f);
  EXPECT_FLOAT_EQ(field.cellSize[2], 0.2f);
  EXPECT_FLOAT_EQ(field.origin[0], -2.0f);
  EXPECT_FLOAT_EQ(field.origin[1], -1.5f);
  EXPECT_FLOAT_EQ(field.origin[2], -2.5f);
  EXPECT_FLOAT_EQ(field.isovalue, 0.7f);

  const XSI::MATH::CVector3Array& vertices = Instance().mesh.vertices;
  ASSERT_GT(vertices.GetCount(), 100);
  auto value = [&](const int (&p)[3]) { return field.values[(p[0] * field.ny + p[1]) * field.nz + p[2]]; };
  for (XSI::LONG v = 0; v < vertices.GetCount(); ++v) {
    SCOPED_TRACE("vertex " + std::to_string(v));
    const double position[3] = {vertices[v].GetX(), vertices[v].GetY(), vertices[v].GetZ()};
    int low[3];
    int high[3];
    int along = -1;
    for (int axis = 0; axis < 3; ++axis) {
      const double u = (position[axis] - field.origin[axis]) / field.cellSize[axis];
      const double nearest = std::round(u);
      low[axis] = high[axis] = static_cast<int>(nearest);
      if (std::fabs(u - nearest) > 1e-4) {
        ASSERT_EQ(along, -1) << "off the lattice edges";
        along = axis;
        low[axis] = static_cast<int>(std::floor(u));
        high[axis] = low[axis] + 1;
      }
    }
    if (along == -1) continue;  // on a lattice point: the field is the iso-value there within rounding
    ASSERT_NE((value(low) > field.isovalue), (value(high) > field.isovalue));
  }
}

// The frame reported is the one the lattice was last stepped to, not the
// latest evaluation's: a frame played back from the cache leaves the lattice
// alone, and a recompute loop cancelled before its first step extracts the
// mesh from the lattice as it was.
TEST_F(FieldAccess, ReportsTheFrameTheLatticeWasLastSteppedTo) {
  const TempFolder folder("glomora_field_frame");
  Set(L"Cache_filename", CValue(XSI::CString((folder.Path() / "c.grd").c_str())));
  for (int frame = 1; frame <= 10; ++frame) ASSERT_EQ(rig.Update(frame), XSI::CStatus::OK);
  GlomoraField field{};
  ASSERT_TRUE(Glomora_GetField(kOperatorName, field));
  EXPECT_EQ(field.frame, 10);
  Set(L"Mode", CValue(LONG{3}));
  ASSERT_EQ(rig.Update(30.0), XSI::CStatus::OK);
  Set(L"Mode", CValue(LONG{1}));
  Scene::Get().SetCancelPressed(true);
  ASSERT_EQ(rig.Update(35.0), XSI::CStatus::OK);
  Scene::Get().SetCancelPressed(false);
  ASSERT_GT(Instance().mesh.vertices.GetCount(), 0);
  field = GlomoraField{};
  ASSERT_TRUE(Glomora_GetField(kOperatorName, field));
  EXPECT_EQ(field.frame, 10);
}

// Only a mesh made from the voxel field has one to hand out; otherwise the
// call says no and leaves the caller's record alone.
TEST_F(FieldAccess, NoFieldWithoutAVoxelFieldBehindTheMesh) {
  const TempFolder folder("glomora_field");
  const std::string cache = (folder.Path() / "c.grd").string();
  struct Case {
    const char* what;
    const wchar_t* parameter;
    CValue value;
    double frame;
  };
  const Case cases[] = {
      {"Space 1", L"Space", CValue(LONG{1}), 1.0},
      {"Mode 3 (a usable cache name, no file)", L"Mode", CValue(LONG{3}), 1.0},
      {"muted", L"Mute", CValue(true), 1.0},
      {"before the start frame", L"Start_frame", CValue(LONG{5}), 2.0},
  };
  Set(L"Cache_filename", CValue(XSI::CString(cache.c_str())));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Set(L"Space", CValue(LONG{0}));
    Set(L"Mode", CValue(LONG{1}));
    Set(L"Mute", CValue(false));
    Set(L"Start_frame", CValue(LONG{1}));
    ASSERT_EQ(rig.Update(1.0), XSI::CStatus::OK);  // a field exists from here on
    GlomoraField field{};
    ASSERT_TRUE(Glomora_GetField(kOperatorName, field));
    Set(c.parameter, c.value);
    ASSERT_EQ(rig.Update(c.frame), XSI::CStatus::OK);
    field = GlomoraField{};
    field.nx = -7;
    EXPECT_FALSE(Glomora_GetField(kOperatorName, field));
    EXPECT_EQ(field.nx, -7);
    EXPECT_EQ(field.values, nullptr);
  }
  GlomoraField field{};
  EXPECT_FALSE(Glomora_GetField(L"nobody.polymsh.GlomoraGeometry.Glomora", field));
}

// Tiled lattices hand out their field made dense: the same bytes as the
// dense lattices' after the same frames, kept until the next evaluation.
TEST_F(FieldAccess, TiledLatticesHandOutTheDenseLatticesField) {
  std::vector<float> dense;
  for (const int32_t storage : test_support::kLatticeStorages) {
    SCOPED_TRACE(storage);
    const test_support::ScopedLatticeStorage scope(storage);
    ASSERT_EQ(rig.Update(1.0), XSI::CStatus::OK);  // the start frame: a fresh simulation
    ASSERT_EQ(rig.Update(3.0), XSI::CStatus::OK);
    ASSERT_EQ(Instance().gridPolygonizer.storage, storage);
    EXPECT_EQ(Glomora_FieldInsideOnBoxFaces(kOperatorName), 0);  // the ball lies inside the box
    GlomoraField field{};
    ASSERT_TRUE(Glomora_GetField(kOperatorName, field));
    const std::vector<float> values(field.values, field.values + static_cast<size_t>(field.nx) * field.ny * field.nz);
    if (storage == LatticeStorage::kDense) {
      dense = values;
      continue;
    }
    EXPECT_EQ(field.frame, 3);
    ASSERT_EQ(values.size(), dense.size());
    EXPECT_EQ(std::memcmp(values.data(), dense.data(), dense.size() * sizeof(float)), 0);
    GlomoraField again{};
    ASSERT_TRUE(Glomora_GetField(kOperatorName, again));
    EXPECT_EQ(again.values, field.values);
  }
}

// The tile form of the field: in either storage the same tiles, in
// ascending order, holding the dense field's bytes (0 past the lattice on
// the far faces, whose lattice is no multiple of 8 on any axis), and an
// unlisted tile only +0.
TEST_F(FieldAccess, TilesHoldTheDenseFieldWhateverTheStorage) {
  std::vector<int32_t> denseOrigins;
  std::vector<float> denseTiles;
  for (const int32_t storage : test_support::kLatticeStorages) {
    SCOPED_TRACE(storage);
    const test_support::ScopedLatticeStorage scope(storage);
    ASSERT_EQ(rig.Update(1.0), XSI::CStatus::OK);
    ASSERT_EQ(rig.Update(3.0), XSI::CStatus::OK);
    ASSERT_EQ(Instance().gridPolygonizer.storage, storage);
    GlomoraFieldTiles tiles{};
    ASSERT_TRUE(Glomora_GetFieldTiles(kOperatorName, tiles));
    GlomoraField field{};
    ASSERT_TRUE(Glomora_GetField(kOperatorName, field));
    EXPECT_EQ(tiles.tileSide, 8);
    EXPECT_EQ(std::memcmp(&tiles.nx, &field.nx, offsetof(GlomoraField, elementsHigh) + sizeof(field.elementsHigh) -
                                                       offsetof(GlomoraField, nx)),
              0);
    ASSERT_GT(tiles.tileCount, 1u);
    // Densified, the tiles are the dense field; past the lattice, zeros.
    const size_t count = static_cast<size_t>(field.nx) * field.ny * field.nz;
    std::vector<float> densified(count, 0.0f);
    std::vector<int32_t> origins;
    std::vector<float> values;
    for (size_t t = 0; t < tiles.tileCount; ++t) {
      const GlomoraFieldTile& tile = tiles.tiles[t];
      origins.insert(origins.end(), tile.origin, tile.origin + 3);
      values.insert(values.end(), tile.values, tile.values + 512);
      const int32_t* before = tiles.tiles[t > 0 ? t - 1 : 0].origin;
      EXPECT_TRUE(t == 0 || std::lexicographical_compare(before, before + 3, tile.origin, tile.origin + 3));
      for (int n = 0; n < 512; ++n) {
        const int i = tile.origin[0] + (n >> 6), j = tile.origin[1] + ((n >> 3) & 7), k = tile.origin[2] + (n & 7);
        if (i < field.nx && j < field.ny && k < field.nz) {
          densified[(static_cast<size_t>(i) * field.ny + j) * field.nz + k] = tile.values[n];
        } else {
          EXPECT_EQ(tile.values[n], 0.0f) << i << " " << j << " " << k;
        }
      }
    }
    EXPECT_EQ(std::memcmp(densified.data(), field.values, count * sizeof(float)), 0);
    if (storage == LatticeStorage::kDense) denseOrigins = origins, denseTiles = values;
    EXPECT_EQ(origins, denseOrigins);
    EXPECT_TRUE(values.size() == denseTiles.size() &&
                std::memcmp(values.data(), denseTiles.data(), values.size() * sizeof(float)) == 0);
    GlomoraFieldTiles again{};
    ASSERT_TRUE(Glomora_GetFieldTiles(kOperatorName, again));
    EXPECT_EQ(again.tiles, tiles.tiles);
  }
  Set(L"Space", CValue(LONG{1}));
  ASSERT_EQ(rig.Update(4.0), XSI::CStatus::OK);
  GlomoraFieldTiles none{};
  EXPECT_FALSE(Glomora_GetFieldTiles(kOperatorName, none));
  EXPECT_EQ(none.tiles, nullptr);
}
