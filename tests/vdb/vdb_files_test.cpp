// OpenVDB files checked with OpenVDB itself: the field grid read back, and
// points grids that OpenVDB wrote read as a cloud (alone and through the tool).

#include <gtest/gtest.h>

#include <openvdb/io/Stream.h>
#include <openvdb/openvdb.h>
#include <openvdb/points/PointConversion.h>
#include <openvdb/points/PointDataGrid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mesh_files.h"
#include "obj_reader.h"
#include "support/temp_folder.h"
#include "support/tool_process.h"
#include "vdb_files.h"

#if defined(__SANITIZE_ADDRESS__)
// OpenVDB's reader leaks the node it was reading when a damaged file ends
// early (the library's exception safety, not ours to mend); the tool reports
// the file and stops.
extern "C" const char* __lsan_default_suppressions() { return "leak:openvdb::*::readTopology\n"; }
#endif

namespace {

namespace fs = std::filesystem;

std::string Bytes(const openvdb::GridCPtrVec& grids) {
  std::ostringstream out(std::ios::binary);
  openvdb::io::Stream(out).write(grids);
  return out.str();
}

openvdb::GridPtrVecPtr ReadGrids(const std::string& bytes) {
  std::istringstream in(bytes, std::ios::binary);
  return openvdb::io::Stream(in).getGrids();
}

std::span<const uint8_t> AsSpan(const std::string& bytes) {
  return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

openvdb::points::PointDataGrid::Ptr PointsGrid(const std::vector<openvdb::Vec3R>& positions, double voxel,
                                               const openvdb::Vec3d& offset, bool quantised) {
  openvdb::math::Transform::Ptr transform = openvdb::math::Transform::createLinearTransform(voxel);
  transform->postTranslate(offset);
  if (quantised) {
    return openvdb::points::createPointDataGrid<openvdb::points::FixedPointCodec<false>,
                                                openvdb::points::PointDataGrid>(positions, *transform);
  }
  return openvdb::points::createPointDataGrid<openvdb::points::NullCodec, openvdb::points::PointDataGrid>(positions,
                                                                                                       *transform);
}

// Positions sorted, so that two readings compare whatever their order.
std::vector<std::array<double, 3>> Sorted(const std::vector<double>& xyz) {
  std::vector<std::array<double, 3>> points;
  for (size_t i = 0; i + 2 < xyz.size(); i += 3) points.push_back({xyz[i], xyz[i + 1], xyz[i + 2]});
  std::sort(points.begin(), points.end());
  return points;
}

class VdbFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { openvdb::initialize(); }
  void Write(const std::string& name, const std::string& bytes) { std::ofstream(folder_ / name, std::ios::binary) << bytes; }

  TempFolder temp_{"glomora_vdb"};
  const fs::path& folder_ = temp_.Path();
};

}  // namespace

// Every lattice point comes back at its place with its value; exactly the
// non-zero ones are active; the labels are in the metadata; the same field
// gives the same bytes and another field another identifier.
TEST_F(VdbFiles, FieldReadsBackThroughOpenVdb) {
  const int nx = 5, ny = 4, nz = 3;
  std::vector<float> values(static_cast<size_t>(nx * ny * nz), 0.0f);
  for (size_t n = 0; n < values.size(); n += 2) values[n] = 0.25f * static_cast<float>(n) - 3.0f;
  values[4] = -0.0f;
  values[6] = 1e-30f;
  FieldLattice lattice;
  lattice.values = values.data();
  lattice.nx = nx;
  lattice.ny = ny;
  lattice.nz = nz;
  const double voxel[3] = {0.5, 0.25, 2.0};
  const double origin[3] = {-1.0, 2.0, 0.5};
  std::copy(voxel, voxel + 3, lattice.voxelSize);
  std::copy(origin, origin + 3, lattice.origin);
  FieldLabels labels;
  labels.isovalue = 0.7f;
  labels.scene = "drip";
  labels.frame = -12;
  labels.creator = "glomora test";
  std::string bytes;
  std::string error;
  ASSERT_TRUE(EncodeFieldVdb(lattice, labels, bytes, error)) << error;

  const openvdb::GridPtrVecPtr grids = ReadGrids(bytes);
  ASSERT_EQ(grids->size(), 1u);
  const auto grid = openvdb::gridPtrCast<openvdb::FloatGrid>(grids->front());
  ASSERT_TRUE(grid);
  EXPECT_EQ(grid->getName(), "density");
  EXPECT_EQ(grid->background(), 0.0f);
  EXPECT_EQ(grid->metaValue<float>("isovalue"), 0.7f);
  EXPECT_EQ(grid->metaValue<std::string>("scene"), "drip");
  EXPECT_EQ(grid->metaValue<int64_t>("frame"), -12);
  EXPECT_EQ(grid->getCreator(), "glomora test");
  size_t nonZero = 0;
  const openvdb::FloatGrid::ConstAccessor voxels = grid->getConstAccessor();
  for (int i = 0; i < nx; ++i) {
    for (int j = 0; j < ny; ++j) {
      for (int k = 0; k < nz; ++k) {
        const float value = values[static_cast<size_t>((i * ny + j) * nz + k)];
        const openvdb::Coord ijk(i, j, k);
        EXPECT_EQ(voxels.getValue(ijk), value) << i << " " << j << " " << k;
        EXPECT_EQ(voxels.isValueOn(ijk), value != 0.0f) << i << " " << j << " " << k;
        nonZero += value != 0.0f;
        const openvdb::Vec3d world = grid->indexToWorld(ijk);
        for (int axis = 0; axis < 3; ++axis) EXPECT_NEAR(world[axis], origin[axis] + ijk[axis] * voxel[axis], 1e-12);
      }
    }
  }
  EXPECT_EQ(grid->activeVoxelCount(), nonZero);

  std::string again;
  ASSERT_TRUE(EncodeFieldVdb(lattice, labels, again, error));
  EXPECT_EQ(again, bytes);
  const std::string id = bytes.substr(21, 36);
  EXPECT_EQ(id[14], '8') << id;  // version 8 ("custom")
  values[0] += 1.0f;
  ASSERT_TRUE(EncodeFieldVdb(lattice, labels, again, error));
  EXPECT_NE(again.substr(21, 36), id);
}

// Points grids written by OpenVDB (plain and quantised positions, any
// transform) are read in world space, grid by grid; other grids are skipped.
TEST_F(VdbFiles, PointsGridsReadAsACloud) {
  const std::vector<openvdb::Vec3R> first = {{0.0, 0.0, 0.0}, {1.3, -2.7, 0.4}, {-0.6, 0.25, 4.1}, {1.31, -2.69, 0.4}};
  const std::vector<openvdb::Vec3R> second = {{10.0, 11.0, -12.0}, {10.2, 11.1, -12.3}};
  const openvdb::FloatGrid::Ptr other = openvdb::FloatGrid::create(1.0f);
  other->setName("density");
  const std::string bytes = Bytes({PointsGrid(first, 0.5, {1.0, -2.0, 0.25}, false), other,
                                   PointsGrid(second, 0.1, {0.0, 0.0, 0.0}, true)});
  Write("cloud.vdb", bytes);
  MeshData cloud;
  std::string error;
  ASSERT_TRUE(ReadMeshFile((folder_ / "cloud.vdb").string(), cloud, error)) << error;
  EXPECT_TRUE(cloud.polygons.empty());
  std::vector<double> expected;
  for (const auto* list : {&first, &second}) {
    for (const openvdb::Vec3R& p : *list) expected.insert(expected.end(), {p.x(), p.y(), p.z()});
  }
  const auto got = Sorted(cloud.positions);
  const auto want = Sorted(expected);
  ASSERT_EQ(got.size(), want.size());
  for (size_t p = 0; p < got.size(); ++p) {
    for (int axis = 0; axis < 3; ++axis) EXPECT_NEAR(got[p][axis], want[p][axis], 1e-4) << p;
  }
}

// Bytes that are not an OpenVDB file of points are refused with a reason.
TEST_F(VdbFiles, RefusesWhatHoldsNoPoints) {
  const openvdb::FloatGrid::Ptr grid = openvdb::FloatGrid::create(0.0f);
  grid->setName("density");
  grid->tree().setValue(openvdb::Coord(1, 2, 3), 4.0f);
  const std::string noPoints = Bytes({grid});
  const std::string points = Bytes({PointsGrid({{1.0, 2.0, 3.0}}, 0.5, {0.0, 0.0, 0.0}, false)});
  const struct {
    const char* what;
    std::string bytes;
    const char* message;
  } cases[] = {
      {"empty", "", "not a readable OpenVDB file"},
      {"text", "ply\nformat ascii 1.0\n", "not a readable OpenVDB file"},
      {"a float grid only", noPoints, "no points grid, only density (Tree_float_5_4_3)"},
      {"truncated", points.substr(0, points.size() / 2), "not a readable OpenVDB file"},
      {"header only", points.substr(0, 60), "not a readable OpenVDB file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<double> positions = {7.0};
    std::string error;
    EXPECT_FALSE(DecodeVdbPoints(AsSpan(c.bytes), positions, error));
    EXPECT_TRUE(positions.empty());
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

// A cloud source whose file is one OpenVDB points file per frame, through
// the built tool: each frame's surface sits on that frame's point.
TEST_F(VdbFiles, PerFramePointsFilesDriveACloud) {
  Write("drop.0001.vdb", Bytes({PointsGrid({{-1.0, 0.5, 0.0}}, 0.25, {0.0, 0.0, 0.0}, false)}));
  Write("drop.0002.vdb", Bytes({PointsGrid({{1.0, -0.5, 0.25}}, 0.25, {0.0, 0.0, 0.0}, false)}));
  std::ofstream(folder_ / "scene.json") << R"({"name": "drop", "frames": [1, 2],
      "parameters": {"Space": 1, "JB_voxelsize": 0.05, "Particle_size": 0.8},
      "sources": [{"type": "cloud", "file": "drop.####.vdb"}]})";
  const ToolOutcome outcome =
      ToolProcess(GLOMORA_CLI_PATH, folder_, {"run", "scene.json", "--quiet", "--output", "out.####.obj"}).Wait();
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const double expected[2][3] = {{-1.0, 0.5, 0.0}, {1.0, -0.5, 0.25}};
  for (int frame = 1; frame <= 2; ++frame) {
    SCOPED_TRACE("frame " + std::to_string(frame));
    MeshData mesh;
    std::string error;
    ASSERT_TRUE(ReadMeshFile((folder_ / ("out.000" + std::to_string(frame) + ".obj")).string(), mesh, error)) << error;
    ASSERT_GT(mesh.VertexCount(), 20u);
    double centre[3] = {0.0, 0.0, 0.0};
    for (size_t v = 0; v < mesh.VertexCount(); ++v) {
      for (int axis = 0; axis < 3; ++axis) centre[axis] += mesh.positions[3 * v + axis] / mesh.VertexCount();
    }
    for (int axis = 0; axis < 3; ++axis) EXPECT_NEAR(centre[axis], expected[frame - 1][axis], 0.05);
  }
}
