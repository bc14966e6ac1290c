#include "usd_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "support/temp_folder.h"
#include "tool_threads.h"

namespace {

// A strip of `n` triangles over n + 2 points (more than one formatting block
// when n is large), shifted by `shift`, with per-vertex normals.
MeshData Strip(size_t n, double shift) {
  MeshData mesh;
  for (size_t i = 0; i < n + 2; ++i) {
    mesh.positions.insert(mesh.positions.end(), {0.25 * static_cast<double>(i / 2) + shift, 0.5 * (i % 2), -1.0});
  }
  for (size_t t = 0; t < n; ++t) {
    mesh.polygons.insert(mesh.polygons.end(), {3, static_cast<int32_t>(t), static_cast<int32_t>(t + 1),
                                               static_cast<int32_t>(t + 2)});
    for (size_t k = 0; k < 3; ++k) mesh.nodeNormals.insert(mesh.nodeNormals.end(), {0.0, 0.0, t + k + 0.5});
  }
  return mesh;
}

// The layer of frames 1 to 3 (frame 2 empty), added in `order`, those in
// `packed` as another process hands them.
std::string Layer(const std::filesystem::path& folder, const std::vector<int64_t>& order,
                  const std::vector<int64_t>& packed) {
  const std::string path = (folder / "shot.usda").string();
  UsdLayerWriter layer;
  std::string error;
  EXPECT_TRUE(layer.Open(path, error)) << error;
  for (const int64_t frame : order) {
    const MeshData mesh = frame == 2 ? MeshData() : Strip(frame == 1 ? 40000 : 5, 0.1 * static_cast<double>(frame));
    UsdFrameSamples samples;
    EXPECT_TRUE(samples.Take(frame, mesh, {}, error)) << error;
    const bool isPacked = std::find(packed.begin(), packed.end(), frame) != packed.end();
    EXPECT_TRUE(isPacked ? layer.AddPacked(samples.Pack(), error) : layer.Add(samples, error)) << error;
  }
  UsdStage stage;
  stage.meshName = "shot-1";
  EXPECT_TRUE(layer.Finish(stage, error)) << error;
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(ReadWholeFile(path, bytes, error)) << error;
  return std::string(bytes.begin(), bytes.end());
}

TEST(UsdLayerWriter, TheSameBytesInAnyOrderPackedOrNotAtAnyThreadCount) {
  TempFolder folder;
  SetToolThreads(1);
  const std::string reference = Layer(folder.Path(), {1, 2, 3}, {});
  SetToolThreads(3);
  EXPECT_EQ(Layer(folder.Path(), {3, 1, 2}, {1, 2}), reference);
  SetToolThreads(1);
  // Only the layer is left: the frames' samples waited in a file of no name.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()), {}), 1);
  EXPECT_NE(reference.find("def Mesh \"shot_1\""), std::string::npos);
  EXPECT_NE(reference.find("startTimeCode = 1\n    endTimeCode = 3\n"), std::string::npos);
  EXPECT_NE(reference.find("            2: [],\n"), std::string::npos);                          // empty frame
  EXPECT_NE(reference.find("            2: [(0, 0, 0), (0, 0, 0)],\n"), std::string::npos);      // its extent
  EXPECT_NE(reference.find("            3: [(0.3, 0, -1), (1.05, 0.5, -1)],\n"), std::string::npos);
  EXPECT_NE(reference.find("interpolation = \"vertex\""), std::string::npos);
  EXPECT_EQ(reference.find("velocities"), std::string::npos);  // no frame had them
}

TEST(UsdFrameSamples, RefusesNodesThatDisagreeAndVelocitiesOfAnotherLength) {
  MeshData mesh = Strip(3, 0.0);
  UsdFrameSamples samples;
  std::string error;
  const std::vector<float> velocities(3 * mesh.VertexCount(), 1.0f);
  EXPECT_TRUE(samples.Take(7, mesh, velocities, error)) << error;
  EXPECT_TRUE(samples.Has(UsdAttribute::Velocities) && samples.Has(UsdAttribute::Normals));
  EXPECT_FALSE(samples.Take(7, mesh, std::span(velocities).first(3), error));
  EXPECT_EQ(error, "frame 7: 3 velocity values for 5 points (expected three per point)");
  mesh.nodeNormals[3 * 4 + 2] = -1.0;  // the second node of vertex 2, in triangle 1
  EXPECT_FALSE(samples.Take(7, mesh, {}, error));
  EXPECT_EQ(error.rfind("frame 7: the normals of vertex 2 differ between its polygons", 0), 0u) << error;
}

TEST(UnpackUsdFrame, RefusesAnythingButAWholePackedFrame) {
  UsdFrameSamples samples;
  std::string error;
  ASSERT_TRUE(samples.Take(-4, Strip(2, 0.0), {}, error));
  const std::string packed = samples.Pack();
  UnpackedUsdFrame frame;
  ASSERT_TRUE(UnpackUsdFrame(packed, frame, error)) << error;
  EXPECT_EQ(frame.frame, -4);
  EXPECT_EQ(frame.lines[static_cast<size_t>(UsdAttribute::FaceVertexCounts)], "            -4: [3, 3],\n");
  EXPECT_FALSE(frame.has[static_cast<size_t>(UsdAttribute::St)]);
  for (const std::string& bad : {packed.substr(0, packed.size() - 1), packed + "x", packed.substr(0, 20),
                                 "X" + packed.substr(1)}) {
    EXPECT_FALSE(UnpackUsdFrame(bad, frame, error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
