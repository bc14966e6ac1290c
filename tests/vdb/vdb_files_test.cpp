// OpenVDB files checked with OpenVDB itself: the field grid read back, and
// points grids that OpenVDB wrote read as a cloud (alone and through the tool).

#include <gtest/gtest.h>

#include <openvdb/io/File.h>
#include <openvdb/io/Stream.h>
#include <openvdb/openvdb.h>
#include <openvdb/points/PointAttribute.h>
#include <openvdb/points/PointConversion.h>
#include <openvdb/points/PointDataGrid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "mesh_files.h"
#include "obj_reader.h"
#include "support/temp_folder.h"
#include "support/tool_process.h"
#include "vdb_files.h"

#if defined(__SANITIZE_ADDRESS__)
// OpenVDB's reader leaks the node it was reading, and the page handles of a
// points grid's attributes, when it refuses a damaged file (the library's
// exception safety, not ours to mend); the tool reports the file and stops.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:openvdb::*::readTopology\nleak:openvdb::*::PagedInputStream::createHandle\n";
}
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

// Attributes OpenVDB wrote come back with their points: a vector and a
// scalar in every grid are kept, one that only the first grid has is not.
TEST_F(VdbFiles, PointsGridsKeepTheirAttributes) {
  auto grid = [](const std::vector<openvdb::Vec3R>& positions, bool withTemperature) {
    openvdb::points::PointDataGrid::Ptr points = PointsGrid(positions, 0.25, {0.5, 0.0, 0.0}, false);
    openvdb::points::appendAttribute<openvdb::Vec3f>(points->tree(), "v");
    openvdb::points::appendAttribute<float>(points->tree(), "pscale");
    if (withTemperature) openvdb::points::appendAttribute<double>(points->tree(), "temperature");
    for (auto leaf = points->tree().beginLeaf(); leaf; ++leaf) {
      const openvdb::points::AttributeHandle<openvdb::Vec3f> p(leaf->constAttributeArray("P"));
      openvdb::points::AttributeWriteHandle<openvdb::Vec3f> v(leaf->attributeArray("v"));
      openvdb::points::AttributeWriteHandle<float> pscale(leaf->attributeArray("pscale"));
      for (auto index = leaf->beginIndexOn(); index; ++index) {
        // Each point's attributes derive from its world position, so that
        // they can be checked whatever order the points come back in.
        const openvdb::Vec3d world = points->transform().indexToWorld(index.getCoord().asVec3d() + p.get(*index));
        v.set(*index, openvdb::Vec3f(world * 2.0));
        pscale.set(*index, static_cast<float>(world.x() + 10.0));
      }
    }
    return points;
  };
  const std::string bytes = Bytes({grid({{0.0, 0.0, 0.0}, {1.0, 2.0, 3.0}}, true), grid({{-4.0, 0.5, 2.0}}, false)});
  Write("attributes.vdb", bytes);
  MeshData cloud;
  std::string error;
  ASSERT_TRUE(ReadMeshFile((folder_ / "attributes.vdb").string(), cloud, error)) << error;
  ASSERT_EQ(cloud.VertexCount(), 3u);
  ASSERT_EQ(cloud.attributes.size(), 2u);
  const VertexAttribute* v = cloud.FindAttribute("v");
  const VertexAttribute* pscale = cloud.FindAttribute("pscale");
  ASSERT_TRUE(v != nullptr && pscale != nullptr);
  EXPECT_EQ(v->components, 3);
  EXPECT_EQ(pscale->components, 1);
  ASSERT_EQ(v->values.size(), 9u);
  ASSERT_EQ(pscale->values.size(), 3u);
  for (size_t p = 0; p < 3; ++p) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(v->values[3 * p + c], 2.0 * cloud.positions[3 * p + c], 1e-5);
    EXPECT_NEAR(pscale->values[p], cloud.positions[3 * p] + 10.0, 1e-5);
  }
}

// A non-finite position is refused naming the file's point, as the PLY and
// OBJ readers refuse theirs, instead of the point quietly adding nothing.
TEST_F(VdbFiles, RefusesNonFinitePositions) {
  for (const float bad : {std::nanf(""), std::numeric_limits<float>::infinity()}) {
    SCOPED_TRACE(bad);
    const openvdb::points::PointDataGrid::Ptr grid = PointsGrid({{0.0, 0.0, 0.0}, {0.1, 0.2, 0.3}}, 1.0, {}, false);
    auto leaf = grid->tree().beginLeaf();
    openvdb::points::AttributeWriteHandle<openvdb::Vec3f> handle(leaf->attributeArray("P"));
    handle.set(1, openvdb::Vec3f(0.0f, bad, 0.0f));
    Write("bad.vdb", Bytes({grid}));
    MeshData cloud;
    std::string error;
    EXPECT_FALSE(ReadMeshFile((folder_ / "bad.vdb").string(), cloud, error));
    EXPECT_NE(error.find("point 2 of 2 has a coordinate that is not a finite float"), std::string::npos) << error;
    EXPECT_TRUE(cloud.positions.empty());
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
    VdbPoints decoded;
    decoded.positions = {7.0};
    std::string error;
    EXPECT_FALSE(DecodeVdbPoints(AsSpan(c.bytes), decoded, error));
    EXPECT_TRUE(decoded.positions.empty());
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

// A damaged file (cut anywhere, or a byte changed anywhere in its lengths,
// counts and offsets) is refused, or read, without OpenVDB being handed a
// length the file cannot hold: under the sanitizers an oversized allocation
// or a read past the bytes fails the test. Points with attributes and a
// float volume (with its delayed-load table), as OpenVDB's file writer
// makes them.
TEST_F(VdbFiles, RefusesDamagedFiles) {
  auto grid = PointsGrid({{0.0, 0.0, 0.0}, {1.0, 2.0, 3.0}, {-4.0, 0.5, 2.0}}, 0.25, {0.5, 0.0, 0.0}, false);
  openvdb::points::appendAttribute<openvdb::Vec3f>(grid->tree(), "v");
  openvdb::points::appendAttribute<float>(grid->tree(), "pscale");
  const openvdb::FloatGrid::Ptr volume = openvdb::FloatGrid::create(0.0f);
  volume->setName("density");
  for (int i = 0; i < 20; ++i) volume->tree().setValue(openvdb::Coord(i, 2 * i, 3), 0.5f + static_cast<float>(i));
  for (const auto& grids : {openvdb::GridCPtrVec{grid}, openvdb::GridCPtrVec{grid, volume}}) {
    openvdb::io::File((folder_ / "whole.vdb").string()).write(grids);
    std::ifstream in(folder_ / "whole.vdb", std::ios::binary);
    const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    VdbPoints decoded;
    std::string error;
    ASSERT_TRUE(DecodeVdbPoints(AsSpan(whole), decoded, error)) << error;
    EXPECT_EQ(decoded.positions.size(), 9u);
    for (size_t cut = 0; cut < whole.size(); cut += 11) {
      EXPECT_FALSE(DecodeVdbPoints(AsSpan(whole.substr(0, cut)), decoded, error)) << cut;
      EXPECT_NE(error.find("not a readable OpenVDB file"), std::string::npos) << error;
    }
    for (size_t at = 0; at < whole.size(); at += 5) {
      std::string changed = whole;
      changed[at] = static_cast<char>(changed[at] ^ 0x40);
      if (!DecodeVdbPoints(AsSpan(changed), decoded, error)) {
        EXPECT_NE(error.find("not a readable OpenVDB file"), std::string::npos) << error;
      }
    }
    // The most negative length in place of every int64 that could be a block's
    // length: a stored block's length is its negation, which must not overflow.
    const int64_t mostNegative = std::numeric_limits<int64_t>::min();
    for (size_t at = 0; at + sizeof mostNegative <= whole.size(); ++at) {
      int64_t length = 0;
      std::memcpy(&length, whole.data() + at, sizeof length);
      if (length == 0 || length < -static_cast<int64_t>(whole.size()) || length > static_cast<int64_t>(whole.size())) {
        continue;
      }
      std::string changed = whole;
      std::memcpy(changed.data() + at, &mostNegative, sizeof mostNegative);
      if (!DecodeVdbPoints(AsSpan(changed), decoded, error)) {
        EXPECT_FALSE(error.empty()) << at;
      }
    }
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

// The seeds of the .vdb fuzz target (fuzz/corpus/vdb_reader), as OpenVDB's
// file writer makes them, without compression, with zip and with blosc: points
// (plain, quantised, with attributes, two grids) and volumes. Each committed
// seed reads as the file made now does (OpenVDB's random identifier aside);
// GLOMORA_VDB_CORPUS=FOLDER writes them there anew.
TEST_F(VdbFiles, FuzzCorpusSeedsReadAsOpenVdbWritesThem) {
  const openvdb::FloatGrid::Ptr density = openvdb::FloatGrid::create(0.0f);
  density->setName("density");
  for (int i = 0; i < 20; ++i) density->tree().setValue(openvdb::Coord(i % 8, i / 8, 1), 0.5f + static_cast<float>(i));
  const openvdb::FloatGrid::Ptr halves = density->deepCopy();
  halves->setName("half");
  halves->setSaveFloatAsHalf(true);
  // Small files (a leaf node a grid): the fuzzer changes what matters more often.
  auto attributes = PointsGrid({{0.0, 0.0, 0.0}, {0.3, 0.7, 0.4}, {0.6, 0.25, 1.1}}, 0.25, {0.5, 0.0, 0.0}, false);
  openvdb::points::appendAttribute<openvdb::Vec3f>(attributes->tree(), "v");
  openvdb::points::appendAttribute<float>(attributes->tree(), "pscale");
  const std::vector<openvdb::Vec3R> more = {{0.1, 0.2, 0.3}, {0.15, 0.22, 0.31}, {0.5, 0.5, 0.5}, {0.6, 0.1, 0.2}};
  using namespace openvdb::io;
  const struct {
    const char* name;
    openvdb::GridCPtrVec grids;
    uint32_t compression;
    int points;  // what a cloud reads of it; -1: refused
  } seeds[] = {
      {"points.vdb", {PointsGrid(more, 0.5, {1.0, -2.0, 0.25}, false)}, COMPRESS_ACTIVE_MASK, 4},
      {"two_points_grids_zip.vdb", {PointsGrid(more, 0.1, {}, true), attributes}, COMPRESS_ZIP | COMPRESS_ACTIVE_MASK, 7},
      {"points_and_volume_blosc.vdb", {density, attributes}, COMPRESS_BLOSC | COMPRESS_ACTIVE_MASK, 3},
      {"volumes.vdb", {density, halves}, COMPRESS_ACTIVE_MASK, -1},
  };
  const char* rewrite = std::getenv("GLOMORA_VDB_CORPUS");
  for (const auto& seed : seeds) {
    SCOPED_TRACE(seed.name);
    File file((folder_ / seed.name).string());
    file.setCompression(seed.compression);
    file.write(seed.grids);
    const std::string bytes = ReadTextFile(folder_ / seed.name);
    if (rewrite != nullptr) std::ofstream(fs::path(rewrite) / seed.name, std::ios::binary) << bytes;
    const std::string committed = ReadTextFile(fs::path(GLOMORA_VDB_CORPUS_DIR) / seed.name);
    MeshData now, then;
    std::string nowError, thenError;
    EXPECT_EQ(ReadVdbPoints(AsSpan(bytes), now, nowError), seed.points >= 0) << nowError;
    EXPECT_EQ(ReadVdbPoints(AsSpan(committed), then, thenError), seed.points >= 0) << thenError;
    EXPECT_EQ(nowError, thenError);
    EXPECT_EQ(then.VertexCount(), static_cast<size_t>(std::max(seed.points, 0)));
    EXPECT_EQ(Sorted(now.positions), Sorted(then.positions));
    EXPECT_EQ(now.attributes.size(), then.attributes.size());
  }
}
