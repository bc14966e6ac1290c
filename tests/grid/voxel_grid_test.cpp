#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <set>
#include <string>

#include "base/allocation.h"
#include "grid/voxel_grid.h"
#include "grid_fixture.h"
#include "support/thread_counts.h"

using grid_test::LogTexts;
using grid_test::SetBox;
using grid_test::Sphere;
using XSI::Host::Scene;

namespace {

const std::wstring kName = L"blob.polymsh.GlomoraGeometry.Glomora";

class EnsureGrids : public ::testing::Test {
 protected:
  EnsureGrids() {
    Scene::Get().ClearLog();
    allocation_faults::Clear();
    SetBox(in, Int3{4, 5, 6}, Float3{2.0f, 2.0f, 2.0f});
  }
  ~EnsureGrids() override { allocation_faults::Clear(); }

  GridPolygonizer& grid() { return in.gridPolygonizer; }
  void Scribble() {
    grid().accumulatedField.Fill(7.0f);
    grid().accumulatedNormals.Fill(Float3{1.0f, 2.0f, 3.0f});
  }
  bool AccumulatedAre(float value, Float3 normal) {
    const float* f = grid().accumulatedField.Data();
    const float* n = grid().accumulatedNormals.Data();
    for (size_t p = 0; p < grid().accumulatedField.PointCount(); ++p) {
      if (f[p] != value || n[3 * p] != normal.x || n[3 * p + 1] != normal.y || n[3 * p + 2] != normal.z) return false;
    }
    return true;
  }

  OperatorInstance in;
};

TEST_F(EnsureGrids, FirstCallAllocatesFourLatticesOfResolutionPlusOneAndResets) {
  in.settings.evalFrame = 9;  // not the start frame: the first allocation resets anyway
  ASSERT_TRUE(grid().EnsureGrids(in.settings));
  EXPECT_TRUE(in.gridPolygonizer.ready);
  EXPECT_EQ(in.gridPolygonizer.allocatedResolution.x, 4);
  EXPECT_EQ(in.gridPolygonizer.allocatedResolution.y, 5);
  EXPECT_EQ(in.gridPolygonizer.allocatedResolution.z, 6);
  for (const Lattice<1>* l : {static_cast<const Lattice<1>*>(&grid().accumulatedField),
                              static_cast<const Lattice<1>*>(&grid().sampledField)}) {
    EXPECT_TRUE(l->HasDimensions(5, 6, 7));
  }
  EXPECT_TRUE(grid().accumulatedNormals.HasDimensions(5, 6, 7));
  EXPECT_TRUE(grid().sampledNormals.HasDimensions(5, 6, 7));
  EXPECT_TRUE(AccumulatedAre(0.0f, Float3{0, 0, 0}));
  EXPECT_TRUE(LogTexts().empty());
}

TEST_F(EnsureGrids, StartFrameResetsWithoutReallocating) {
  ASSERT_TRUE(grid().EnsureGrids(in.settings));
  const float* field = grid().accumulatedField.Data();
  const float* normals = grid().accumulatedNormals.Data();
  Scribble();
  in.settings.evalFrame = in.settings.startFrame;
  ASSERT_TRUE(grid().EnsureGrids(in.settings));
  EXPECT_EQ(grid().accumulatedField.Data(), field);
  EXPECT_EQ(grid().accumulatedNormals.Data(), normals);
  EXPECT_TRUE(AccumulatedAre(0.0f, Float3{0, 0, 0}));
}

TEST_F(EnsureGrids, OtherFrameAtSameResolutionTouchesNothing) {
  ASSERT_TRUE(grid().EnsureGrids(in.settings));
  Scribble();
  in.settings.evalFrame = 6;
  ASSERT_TRUE(grid().EnsureGrids(in.settings));
  EXPECT_TRUE(AccumulatedAre(7.0f, Float3{1, 2, 3}));
}

TEST_F(EnsureGrids, ChangingOneAxisReallocatesAllFourAndResets) {
  ASSERT_TRUE(grid().EnsureGrids(in.settings));
  Scribble();
  in.settings.resolution.y = 8;
  ASSERT_TRUE(grid().EnsureGrids(in.settings));
  EXPECT_TRUE(grid().accumulatedField.HasDimensions(5, 9, 7));
  EXPECT_TRUE(grid().sampledField.HasDimensions(5, 9, 7));
  EXPECT_TRUE(grid().accumulatedNormals.HasDimensions(5, 9, 7));
  EXPECT_TRUE(grid().sampledNormals.HasDimensions(5, 9, 7));
  EXPECT_EQ(in.gridPolygonizer.allocatedResolution.y, 8);
  EXPECT_TRUE(AccumulatedAre(0.0f, Float3{0, 0, 0}));
}

TEST_F(EnsureGrids, NthAllocationFailureIsLoggedAndTheRetryAllocatesOnlyWhatIsMissing) {
  const wchar_t* messages[4] = {L" Voxel grid 1 -> not enough memory.", L" Voxel grid 2 -> not enough memory.",
                                L" Voxel grid normals 1 -> not enough memory.",
                                L" Voxel grid normals 2 -> not enough memory."};
  for (int failing = 0; failing < 4; ++failing) {
    SCOPED_TRACE(failing);
    OperatorInstance fresh;
    SetBox(fresh, Int3{3, 3, 3}, Float3{1, 1, 1});
    Scene::Get().ClearLog();
    allocation_faults::FailAfter(failing);
    EXPECT_FALSE(fresh.gridPolygonizer.EnsureGrids(fresh.settings));
    EXPECT_FALSE(fresh.gridPolygonizer.ready);
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_EQ(LogTexts()[0], kName + messages[failing]);
    // Lattices before the failing one keep their allocation, the rest are empty.
    GridPolygonizer& g = fresh.gridPolygonizer;
    const bool allocated[4] = {!g.accumulatedField.IsEmpty(), !g.sampledField.IsEmpty(),
                               !g.accumulatedNormals.IsEmpty(), !g.sampledNormals.IsEmpty()};
    for (int l = 0; l < 4; ++l) EXPECT_EQ(allocated[l], l < failing) << "lattice " << l;

    // The retry allocates the 4 - failing missing lattices and no more: an
    // injected failure after that many allocations is still pending after it.
    const float* first = g.accumulatedField.Data();
    allocation_faults::FailAfter(4 - failing);
    EXPECT_TRUE(g.EnsureGrids(fresh.settings));
    EXPECT_TRUE(allocation_faults::NextFails());
    allocation_faults::Clear();
    EXPECT_TRUE(fresh.gridPolygonizer.ready);
    if (failing > 0) {
      EXPECT_EQ(g.accumulatedField.Data(), first);
    }
    EXPECT_EQ(LogTexts().size(), 1u);
  }
}

TEST_F(EnsureGrids, FailedGridsMakeTheStepAndTheExtractionDoNothing) {
  allocation_faults::FailAfter(1);
  const MetaElement e = Sphere(Float3{0, 0, 0}, 0.5f);
  const int32_t count = 1;
  grid().SimulateStep(in.settings, &e, count);
  EXPECT_FALSE(in.gridPolygonizer.ready);
  grid().ExtractAndCache(in.settings, in.cubeTable, in.mesh, in.writeCache);
  EXPECT_EQ(in.mesh.vertices.GetCount(), 0);
  EXPECT_EQ(in.mesh.polygons.GetCount(), 0);
}

TEST_F(EnsureGrids, UnusableResolutionFailsLikeAnAllocation) {
  // Zero, negative, a dense point count beyond int32, an axis whose point
  // count itself overflows; tiled, an axis beyond the tiles' reach and a tile
  // table whose size overflows.
  struct Case {
    int32_t storage;
    Int3 res;
  };
  const Case cases[] = {{LatticeStorage::kAuto, {0, 4, 4}},           {LatticeStorage::kAuto, {4, -3, 4}},
                        {LatticeStorage::kAuto, {4, 4, INT_MIN}},     {LatticeStorage::kDense, {2000, 2000, 2000}},
                        {LatticeStorage::kAuto, {INT_MAX, 1, 1}},     {LatticeStorage::kSparse, {1, INT_MAX - 64, 1}},
                        {LatticeStorage::kSparse, {1 << 30, 1 << 30, 1 << 30}}};
  for (const Case& c : cases) {
    const Int3& res = c.res;
    SCOPED_TRACE(testing::Message() << c.storage << ": " << res.x << " " << res.y << " " << res.z);
    const test_support::ScopedLatticeStorage storage(c.storage);
    OperatorInstance fresh;
    SetBox(fresh, Int3{4, 4, 4}, Float3{1, 1, 1});
    fresh.settings.resolution = res;
    Scene::Get().ClearLog();
    EXPECT_FALSE(fresh.gridPolygonizer.EnsureGrids(fresh.settings));
    EXPECT_FALSE(fresh.gridPolygonizer.ready);
    EXPECT_TRUE(fresh.gridPolygonizer.accumulatedField.IsEmpty());
    EXPECT_TRUE(fresh.gridPolygonizer.tiledLattice.IsEmpty());
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_EQ(LogTexts()[0], kName + L" Voxel grid 1 -> not enough memory.");
    const MetaElement e = Sphere(Float3{0, 0, 0}, 0.5f);
    const int32_t count = 1;
    fresh.gridPolygonizer.SimulateStep(fresh.settings, &e, count);
    fresh.gridPolygonizer.ExtractAndCache(fresh.settings, fresh.cubeTable, fresh.mesh, fresh.writeCache);
    EXPECT_EQ(fresh.mesh.vertices.GetCount(), 0);
  }
}

TEST(VoxelGridLattice, IndexOrderHasKFastestAndIOutermost) {
  VoxelNormalGrid normals;
  ASSERT_TRUE(normals.Resize(2, 3, 4));
  normals.Fill(Float3{0, 0, 0});
  normals.Set(1, 2, 3, Float3{1, 2, 3});
  normals.Add(1, 2, 3, Float3{1, 1, 1});
  const size_t start = ((1 * 3 + 2) * 4 + 3) * 3;
  EXPECT_EQ(normals.Data()[start], 2.0f);
  EXPECT_EQ(normals.Data()[start + 2], 4.0f);
  EXPECT_EQ(start + 3, normals.PointCount() * 3);  // the last point
}

}  // namespace

namespace {

// The simulated field after `steps` steps of two spheres on a 20^3-cell box,
// the first steps `failing` allocations before one is refused; empty when
// the last evaluation left no lattice.
std::vector<float> FieldAfterSteps(int32_t storage, int failing, int steps, std::vector<std::wstring>& log) {
  const test_support::ScopedLatticeStorage scope(storage);
  OperatorInstance in;
  SetBox(in, Int3{20, 20, 20}, Float3{2.0f, 2.0f, 2.0f});
  grid_test::SetNormals(in, true, false);
  in.settings.viscosityFactor = 2.0f;
  in.settings.evalFrame = in.settings.startFrame;
  const MetaElement elements[2] = {Sphere(Float3{-0.4f, 0.1f, 0.2f}, 0.5f), Sphere(Float3{0.5f, -0.3f, 0.0f}, 0.4f)};
  const int32_t count = 2;
  Scene::Get().ClearLog();
  for (int step = 0; step < steps; ++step) {
    if (step == 0) allocation_faults::FailAfter(failing);
    in.gridPolygonizer.SimulateStep(in.settings, elements, count);
    allocation_faults::Clear();
    in.settings.evalFrame += 1;
  }
  log = LogTexts();
  if (!in.gridPolygonizer.ready) return {};
  EXPECT_EQ(in.gridPolygonizer.storage, storage);
  const float* field = in.gridPolygonizer.DenseField();
  return std::vector<float>(field, field + 21 * 21 * 21);
}

}  // namespace

TEST(TiledLattices, ARefusedTileOrBufferIsItsLatticesFailureAndTheNextStepStartsAgain) {
  // Every allocation of a tiled step refused in turn (the slab buffers, the
  // plan's, blocks of field and gradient tiles): the lattice's failure line, no
  // lattice left ready, then a fresh start that matches the dense lattices'.
  const std::wstring messages[] = {kName + L" Voxel grid 1 -> not enough memory.",
                                   kName + L" Voxel grid 2 -> not enough memory.",
                                   kName + L" Voxel grid normals 1 -> not enough memory.",
                                   kName + L" Voxel grid normals 2 -> not enough memory."};
  std::vector<std::wstring> log;
  const std::vector<float> dense = FieldAfterSteps(LatticeStorage::kDense, 1000, 2, log);
  ASSERT_FALSE(dense.empty());
  std::set<std::wstring> seen;
  for (int failing = 0; failing < 16; ++failing) {
    SCOPED_TRACE(failing);
    if (!FieldAfterSteps(LatticeStorage::kSparse, failing, 1, log).empty()) {
      EXPECT_TRUE(log.empty());  // a buffer of the step's plan: it works in batches
      continue;
    }
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(std::find(std::begin(messages), std::end(messages), log[0]), std::end(messages)) << log[0].c_str();
    seen.insert(log[0]);
    // The step after the failure starts the simulation again: its field is
    // that of the dense lattices' first step, then the second matches too.
    std::vector<float> restarted = FieldAfterSteps(LatticeStorage::kSparse, failing, 3, log);
    EXPECT_EQ(std::memcmp(restarted.data(), dense.data(), dense.size() * sizeof(float)), 0);
  }
  EXPECT_EQ(seen.size(), 4u);  // each lattice's failure was met
}

TEST(TiledLattices, BeyondInt32PointsTheMeshIsThatOfTheSameElementsInASmallBox) {
  // 524,401 x 64 x 64 points (2.2e9, the tile table 67 MB) hold a sphere in
  // the last 33 planes; a box of those 33 planes alone holds it at the same
  // place. Cells of 1/4 and offsets of eighths keep every lattice point's
  // offset from the centre exact in both, so the fields, hence the
  // polygons, are the same; along y and z the boxes coincide and so do the
  // vertices' coordinates, along x the box's half size rounds them (within
  // its ulp, 1/64).
  constexpr int32_t kPlanes = 524400;
  const auto run = [](int32_t planes, float centreX, MeshArrays& mesh) {
    OperatorInstance in;
    SetBox(in, Int3{planes, 63, 63}, Float3{0.25f * static_cast<float>(planes), 15.75f, 15.75f});
    const MetaElement sphere = Sphere(Float3{centreX, 0.125f, -0.375f}, 2.0f);
    const int32_t count = 1;
    in.gridPolygonizer.SimulateStep(in.settings, &sphere, count);
    in.gridPolygonizer.ExtractAndCache(in.settings, in.cubeTable, mesh, in.writeCache);
    return in.gridPolygonizer.storage;
  };
  MeshArrays big, small;
  // The small box's centre lies at plane kPlanes - 16 of the big one, at
  // 0.25 (kPlanes - 16) - 0.125 kPlanes = 65546 from the big one's centre.
  ASSERT_EQ(run(kPlanes, 65546.0f, big), LatticeStorage::kSparse);
  run(32, 0.0f, small);
  ASSERT_GT(small.vertices.GetCount(), 100);
  ASSERT_EQ(big.vertices.GetCount(), small.vertices.GetCount());
  ASSERT_EQ(big.polygons.GetCount(), small.polygons.GetCount());
  EXPECT_EQ(std::memcmp(&big.polygons[0], &small.polygons[0], sizeof(XSI::LONG) * small.polygons.GetCount()), 0);
  for (int32_t v = 0; v < small.vertices.GetCount(); ++v) {
    ASSERT_NEAR(big.vertices[v].GetX() - 65546.0, small.vertices[v].GetX(), 1.0 / 64) << v;
    ASSERT_EQ(big.vertices[v].GetY(), small.vertices[v].GetY()) << v;
    ASSERT_EQ(big.vertices[v].GetZ(), small.vertices[v].GetZ()) << v;
  }
}
