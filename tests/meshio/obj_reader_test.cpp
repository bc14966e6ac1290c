#include "obj_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

TEST(ObjReader, ReadsPositionsAndFacesOfEveryForm) {
  const std::string text =
      "# a quad and a triangle, indices written in four ways\n"
      "mtllib missing.mtl\n"
      "o thing\n"
      "v 0 0 0\n"
      "v 1 0 0\n"
      "v 1 1 0\n"
      "v 0 1 0.25\n"
      "vt 0 0\n"
      "vn 0 0 1\n"
      "usemtl nothing\n"
      "f 1/1/1 2/1/1 3/1/1 4/1/1\n"
      "g second\n"
      "f -4//1 -2//1 -1//1\n"
      "f 2/1 3/1 4/1\n";
  MeshData mesh;
  std::string error;
  ASSERT_TRUE(ReadObj(Bytes(text), mesh, error)) << error;
  EXPECT_EQ(mesh.positions, (std::vector<double>{0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0.25}));
  EXPECT_EQ(mesh.polygons, (std::vector<int32_t>{4, 0, 1, 2, 3, 3, 0, 2, 3, 3, 1, 2, 3}));
}

TEST(ObjReader, PointsOnlyFileGivesPoints) {
  MeshData mesh;
  std::string error;
  ASSERT_TRUE(ReadObj(Bytes("v 1 2 3\nv -1e-3 0 7\n"), mesh, error)) << error;
  EXPECT_EQ(mesh.positions, (std::vector<double>{1, 2, 3, -0.001, 0, 7}));
  EXPECT_TRUE(mesh.polygons.empty());
}

TEST(ObjReader, RefusesBadIndicesAndBinaryData) {
  const char* cases[] = {
      "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n",
      "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 -4\n",
      "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 99999999999\n",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    MeshData mesh;
    std::string error;
    EXPECT_FALSE(ReadObj(Bytes(text), mesh, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(mesh.positions.empty());
  }
  std::vector<uint8_t> binary = Bytes("v 0 0 0\n");
  binary.push_back(0);
  MeshData mesh;
  std::string error;
  EXPECT_FALSE(ReadObj(binary, mesh, error));
  EXPECT_FALSE(error.empty());
}

TEST(ObjReader, RefusesCoordinatesBeyondFloat) {
  for (const char* text : {"v 0 1e300 0\n", "v 0 1e2147483648 0\n", "v 0 1.e-99999999999 0\n"}) {
    SCOPED_TRACE(text);
    MeshData mesh;
    std::string error;
    EXPECT_FALSE(ReadObj(Bytes(text), mesh, error));
    EXPECT_FALSE(error.empty());
  }
  MeshData mesh;
  std::string error;
  EXPECT_TRUE(ReadObj(Bytes("usemtl e1234567890\nv 1e-5 2.5E+3 0\n"), mesh, error)) << error;
  EXPECT_EQ(mesh.positions, (std::vector<double>{1e-5, 2500, 0}));
}

// Coordinates the parser would quietly read as 0 are refused, naming the line.
TEST(ObjReader, RefusesUnreadableCoordinatesNamingTheLine) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"v 0 0 0\nv a b c\n", "line 2: \"a\""},
      {"v 0 0 0\nv nan 0.1 0.1\n", "line 2: \"nan\""},
      {"v 0 0 0\nv 1 2\nf 1 1 1\n", "line 2: a vertex needs x, y, z"},
      {"# hex\nv 0x1p-3 0 0\n", "line 2: \"0x1p-3\""},
      {"v 0 0 0\nv 0.5 0.25 1.5e", "line 2: \"1.5e\""},
      {"v 1 2 3 4 5 6 7\n", "line 1: a vertex has more than 6 values"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    MeshData mesh;
    std::string error;
    EXPECT_FALSE(ReadObj(Bytes(c.text), mesh, error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_TRUE(mesh.positions.empty());
  }
  MeshData mesh;
  std::string error;
  EXPECT_TRUE(ReadObj(Bytes("v +1 -2 3 1\nv 1 2 3 0.5 0.5 0.5\n"), mesh, error)) << error;
  EXPECT_EQ(mesh.positions, (std::vector<double>{1, -2, 3, 1, 2, 3}));
}

// Every prefix and single-byte corruptions of a valid file: either a mesh
// whose indices are in range, or a message.
TEST(ObjReader, SurvivesTruncationAndCorruption) {
  const std::string valid = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvn 0 0 1\nf 1//1 2//1 3//1 4//1\nf -1 -2 -3\n";
  auto check = [](const std::string& text) {
    MeshData mesh;
    std::string error;
    if (ReadObj(Bytes(text), mesh, error)) {
      for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
        ASSERT_GE(mesh.polygons[i], 3);
        for (int32_t k = 1; k <= mesh.polygons[i]; ++k) {
          ASSERT_LT(static_cast<size_t>(mesh.polygons[i + static_cast<size_t>(k)]), mesh.VertexCount());
        }
      }
    } else {
      ASSERT_FALSE(error.empty());
    }
  };
  for (size_t length = 0; length <= valid.size(); ++length) check(valid.substr(0, length));
  const char replacements[] = {'-', '/', ' ', '\n', '0', '9', 'f', 'v', '\t'};
  for (size_t at = 0; at < valid.size(); ++at) {
    for (char c : replacements) {
      std::string text = valid;
      text[at] = c;
      check(text);
    }
  }
}

}  // namespace
