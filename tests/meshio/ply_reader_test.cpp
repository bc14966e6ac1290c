#include "ply_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Appends binary values in either byte order.
class Body {
 public:
  explicit Body(bool bigEndian) : bigEndian_(bigEndian) {}
  template <class T>
  Body& Put(T value) {
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    if (bigEndian_) {
      for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(raw[i], raw[sizeof(T) - 1 - i]);
    }
    bytes.insert(bytes.end(), raw, raw + sizeof(T));
    return *this;
  }
  std::vector<uint8_t> bytes;

 private:
  bool bigEndian_;
};

const char* kAsciiSquare =
    "ply\n"
    "format ascii 1.0\n"
    "comment a unit square as two triangles\n"
    "element vertex 4\n"
    "property float x\n"
    "property float y\n"
    "property float z\n"
    "element face 2\n"
    "property list uchar int vertex_indices\n"
    "end_header\n"
    "0 0 0\n"
    "1 0 0\n"
    "1 1 0.5\n"
    "0 1 -2.25e1\n"
    "3 0 1 2\n"
    "3 0 2 3\n";

TEST(PlyReader, ReadsAsciiPositionsAndFaces) {
  MeshData mesh;
  std::string error;
  ASSERT_TRUE(ReadPly(Bytes(kAsciiSquare), mesh, error)) << error;
  EXPECT_EQ(mesh.positions, (std::vector<double>{0, 0, 0, 1, 0, 0, 1, 1, 0.5, 0, 1, -22.5}));
  EXPECT_EQ(mesh.polygons, (std::vector<int32_t>{3, 0, 1, 2, 3, 0, 2, 3}));
}

TEST(PlyReader, ReadsCrLfHeaders) {
  std::string text;
  for (const char* c = kAsciiSquare; *c != '\0'; ++c) {
    if (*c == '\n') text += '\r';
    text += *c;
  }
  MeshData mesh;
  std::string error;
  ASSERT_TRUE(ReadPly(Bytes(text), mesh, error)) << error;
  EXPECT_EQ(mesh.VertexCount(), 4u);
  EXPECT_EQ(mesh.polygons.size(), 8u);
}

// Mixed property types, an extra property, a skipped element with a list, in
// both byte orders: the reader must take x, y, z from their own types and
// step over everything else by its size.
TEST(PlyReader, ReadsBinaryOfBothByteOrdersAndAnyNumericType) {
  for (bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
    std::string header = std::string("ply\nformat ") + (bigEndian ? "binary_big_endian" : "binary_little_endian") +
                         " 1.0\n"
                         "element vertex 3\n"
                         "property double x\n"
                         "property uchar red\n"
                         "property float y\n"
                         "property short z\n"
                         "element edge 1\n"
                         "property list ushort uint vertex_pair\n"
                         "property char crease\n"
                         "element face 1\n"
                         "property uint flags\n"
                         "property list char ushort vertex_index\n"
                         "end_header\n";
    Body body(bigEndian);
    body.Put(1.25).Put(uint8_t{200}).Put(-2.5f).Put(int16_t{-300});
    body.Put(0.0).Put(uint8_t{0}).Put(4.0f).Put(int16_t{7});
    body.Put(-8.0).Put(uint8_t{1}).Put(0.125f).Put(int16_t{32767});
    body.Put(uint16_t{2}).Put(uint32_t{0}).Put(uint32_t{1}).Put(int8_t{-1});
    body.Put(uint32_t{0xFFFFFFFF}).Put(int8_t{3}).Put(uint16_t{2}).Put(uint16_t{1}).Put(uint16_t{0});
    std::vector<uint8_t> bytes = Bytes(header);
    bytes.insert(bytes.end(), body.bytes.begin(), body.bytes.end());

    MeshData mesh;
    std::string error;
    ASSERT_TRUE(ReadPly(bytes, mesh, error)) << error;
    EXPECT_EQ(mesh.positions, (std::vector<double>{1.25, -2.5, -300, 0, 4, 7, -8, 0.125, 32767}));
    EXPECT_EQ(mesh.polygons, (std::vector<int32_t>{3, 2, 1, 0}));
  }
}

TEST(PlyReader, PointsWithoutFacesAreAMeshOfPointsOnly) {
  const std::string text = "ply\nformat ascii 1.0\nelement vertex 2\nproperty int x\nproperty int y\nproperty int z\n"
                           "end_header\n1 2 3\n-4 5 +6\n";
  MeshData mesh;
  std::string error;
  ASSERT_TRUE(ReadPly(Bytes(text), mesh, error)) << error;
  EXPECT_EQ(mesh.positions, (std::vector<double>{1, 2, 3, -4, 5, 6}));
  EXPECT_TRUE(mesh.polygons.empty());
}

struct Malformed {
  const char* what;
  std::string text;
};

TEST(PlyReader, RefusesMalformedFilesWithAMessage) {
  const std::string vertexHeader = "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                                   "property float z\n";
  const std::string faceHeader = vertexHeader + "element face 1\nproperty list uchar int vertex_indices\nend_header\n";
  const Malformed cases[] = {
      {"no signature", "plx\nformat ascii 1.0\nend_header\n"},
      {"signature glued to text", "plyformat ascii 1.0\nend_header\n"},
      {"empty", ""},
      {"no end_header", "ply\nformat ascii 1.0\nelement vertex 0\n"},
      {"no format", "ply\nelement vertex 0\nend_header\n"},
      {"unknown format", "ply\nformat binary_middle_endian 1.0\nend_header\n"},
      {"unknown keyword", "ply\nformat ascii 1.0\nvertices 3\nend_header\n"},
      {"unknown type", "ply\nformat ascii 1.0\nelement vertex 1\nproperty quad x\nend_header\n"},
      {"property before element", "ply\nformat ascii 1.0\nproperty float x\nend_header\n"},
      {"huge count", "ply\nformat ascii 1.0\nelement vertex 99999999999\nproperty float x\nend_header\n"},
      {"negative count", "ply\nformat ascii 1.0\nelement vertex -1\nend_header\n"},
      {"missing z", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nend_header\n1 2\n"},
      {"float list count", "ply\nformat ascii 1.0\nelement face 1\nproperty list float int vertex_indices\nend_header\n"},
      {"float face indices", vertexHeader + "element face 1\nproperty list uchar float vertex_indices\nend_header\n"},
      {"too few values", vertexHeader + "end_header\n1 2\n"},
      {"not a number", vertexHeader + "end_header\n1 2 three\n"},
      {"nan coordinate", vertexHeader + "end_header\n1 nan 3\n"},
      {"coordinate beyond float", vertexHeader + "end_header\n1 1e39 3\n"},
      {"index out of range", faceHeader + "0 0 0\n3 0 0 1\n"},
      {"negative index", faceHeader + "0 0 0\n3 0 0 -1\n"},
      {"two-vertex face", faceHeader + "0 0 0\n2 0 0\n"},
      {"list count beyond data", faceHeader + "0 0 0\n200 0 0 0\n"},
      {"truncated binary", "ply\nformat binary_little_endian 1.0\nelement vertex 2\nproperty float x\nproperty float y\n"
                           "property float z\nend_header\n\x01\x02\x03"},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.what);
    MeshData mesh;
    mesh.positions = {9, 9, 9};
    std::string error;
    EXPECT_FALSE(ReadPly(Bytes(c.text), mesh, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(mesh.positions.empty());
    EXPECT_TRUE(mesh.polygons.empty());
  }
}

// ASCII rows are lines: a line with a value too many or too few, two rows on
// one line, values after the last row and a second vertex element are
// refused, naming the line, instead of shifting the rows that follow.
TEST(PlyReader, AsciiRowsAreLinesOfExactlyTheirValues) {
  const std::string header = "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\n"
                             "property float z\nend_header\n";
  const struct {
    const char* what;
    std::string text;
    const char* message;
  } cases[] = {
      {"a value too many", header + "0 0 0 7\n1 1\n", "line 8 (element vertex 0): more values"},
      {"two rows on a line", header + "0 0 0 1 1 1\n", "line 8 (element vertex 0): more values"},
      {"a value too few", header + "0 0\n0 1 1 1\n", "line 8 (element vertex 0), property z: missing"},
      {"values after the last row", header + "0 0 0\n1 1 1\n2 2 2\n", "line 10: values after the last element"},
      {"a second vertex element",
       "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
       "element vertex 1\nproperty float x\nproperty float y\nproperty float z\nend_header\n0 0 0\n1 1 1\n",
       "a second element \"vertex\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MeshData mesh;
    std::string error;
    EXPECT_FALSE(ReadPly(Bytes(c.text), mesh, error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_TRUE(mesh.positions.empty());
  }
  MeshData mesh;
  std::string error;
  ASSERT_TRUE(ReadPly(Bytes(header + "\n0 0 0\r\n\n  1 1 1  \n\n"), mesh, error)) << error;
  EXPECT_EQ(mesh.positions, (std::vector<double>{0, 0, 0, 1, 1, 1}));
}

// Every scalar vertex property is kept: the usual vectors grouped, any type
// taken as float, the rest under their own names in the header's order.
TEST(PlyReader, KeepsVertexPropertiesAsAttributes) {
  const std::string text =
      "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty double vx\nproperty float y\n"
      "property float z\nproperty float vy\nproperty int id\nproperty float vz\nproperty uchar pscale\n"
      "property float nx\nproperty float ny\nproperty float nz\nproperty list uchar int extra\nend_header\n"
      "0 1 0 0 2 7 3 1 0 0 1 2 5 5\n1 -1 1 1 -2 8 -3 2 0 1 0 0\n";
  MeshData mesh;
  std::string error;
  ASSERT_TRUE(ReadPly(Bytes(text), mesh, error)) << error;
  EXPECT_EQ(mesh.positions, (std::vector<double>{0, 0, 0, 1, 1, 1}));
  ASSERT_EQ(mesh.attributes.size(), 4u);
  EXPECT_EQ(mesh.attributes[0].name, "v");
  EXPECT_EQ(mesh.attributes[0].values, (std::vector<float>{1, 2, 3, -1, -2, -3}));
  EXPECT_EQ(mesh.attributes[1].name, "N");
  EXPECT_EQ(mesh.attributes[1].values, (std::vector<float>{0, 0, 1, 0, 1, 0}));
  EXPECT_EQ(mesh.attributes[2].name, "id");
  EXPECT_EQ(mesh.attributes[2].values, (std::vector<float>{7, 8}));
  EXPECT_EQ(mesh.FindAttribute("pscale")->values, (std::vector<float>{1, 2}));
  EXPECT_EQ(mesh.FindAttribute("pscale")->components, 1);
}

TEST(PlyReader, HugeElementsWithoutPropertiesCostNothing) {
  const std::string text = "ply\nformat binary_little_endian 1.0\nelement nothing 2147483647\nelement other 2147483647\n"
                           "end_header\n";
  MeshData mesh;
  std::string error;
  EXPECT_TRUE(ReadPly(Bytes(text), mesh, error)) << error;
  EXPECT_EQ(mesh.VertexCount(), 0u);
}

// Every prefix and a run of single-byte corruptions of a valid binary file:
// each read either succeeds with valid indices or fails with a message.
TEST(PlyReader, SurvivesTruncationAndCorruption) {
  const std::string header = "ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty float x\n"
                             "property float y\nproperty float z\nelement face 1\n"
                             "property list uchar int vertex_indices\nend_header\n";
  Body body(false);
  for (int i = 0; i < 9; ++i) body.Put(static_cast<float>(i));
  body.Put(uint8_t{3}).Put(int32_t{0}).Put(int32_t{1}).Put(int32_t{2});
  std::vector<uint8_t> valid = Bytes(header);
  valid.insert(valid.end(), body.bytes.begin(), body.bytes.end());

  auto check = [](const std::vector<uint8_t>& bytes) {
    MeshData mesh;
    std::string error;
    if (ReadPly(bytes, mesh, error)) {
      for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
        for (int32_t k = 1; k <= mesh.polygons[i]; ++k) {
          ASSERT_LT(static_cast<size_t>(mesh.polygons[i + static_cast<size_t>(k)]), mesh.VertexCount());
        }
      }
    } else {
      ASSERT_FALSE(error.empty());
    }
  };
  for (size_t length = 0; length < valid.size(); ++length) {
    check(std::vector<uint8_t>(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(length)));
  }
  uint32_t state = 12345;
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> bytes = valid;
    state = state * 1664525u + 1013904223u;
    bytes[state % bytes.size()] = static_cast<uint8_t>(state >> 24);
    check(bytes);
  }
}

}  // namespace
