#include "obj_writer.h"
#include "ply_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "obj_reader.h"
#include "ply_reader.h"
#include "tool_threads.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// A triangle and a quad sharing the edge 1-2; coordinates exact in float.
MeshData TriangleAndQuad() {
  MeshData mesh;
  mesh.positions = {0, 0, 0, 1.5, 0, 0, 1.5, 1, 0, 0, 1, -0.25, 3, 0, 0, 3, 1, 0};
  mesh.polygons = {3, 0, 1, 2, 4, 1, 4, 5, 2};
  return mesh;
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  }
  return lines;
}

TEST(MeshWriters, PlyRoundTripsThroughTheReader) {
  const MeshData mesh = TriangleAndQuad();
  MeshData back;
  std::string error;
  ASSERT_TRUE(ReadPly(Bytes(WritePly(mesh, "test")), back, error)) << error;
  EXPECT_EQ(back.positions, mesh.positions);
  EXPECT_EQ(back.polygons, mesh.polygons);
}

TEST(MeshWriters, PlyHeaderAndBodyLayout) {
  const MeshData mesh = TriangleAndQuad();
  const std::string bytes = WritePly(mesh, "made by a test");
  const std::string header =
      "ply\n"
      "format binary_little_endian 1.0\n"
      "comment made by a test\n"
      "element vertex 6\n"
      "property float x\n"
      "property float y\n"
      "property float z\n"
      "element face 2\n"
      "property list uchar int vertex_indices\n"
      "end_header\n";
  ASSERT_EQ(bytes.substr(0, header.size()), header);
  // 6 vertices of 3 floats, a triangle (1 + 3 * 4 bytes) and a quad (1 + 4 * 4 bytes).
  EXPECT_EQ(bytes.size(), header.size() + 6 * 12 + 13 + 17);
  // Vertex 1's x is 1.5f = 0x3FC00000, least significant byte first.
  const unsigned char expected[4] = {0x00, 0x00, 0xC0, 0x3F};
  EXPECT_EQ(std::memcmp(bytes.data() + header.size() + 12, expected, 4), 0);
  // The quad's count byte, then its first index 1 as int32.
  const size_t quad = header.size() + 6 * 12 + 13;
  EXPECT_EQ(static_cast<unsigned char>(bytes[quad]), 4);
  const unsigned char one[4] = {0x01, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(bytes.data() + quad + 1, one, 4), 0);
}

TEST(MeshWriters, PlyCarriesNormalsOnlyWhenEachVertexHasOne) {
  MeshData mesh = TriangleAndQuad();
  // Seven nodes; every node of a vertex gets the same normal (0, 0, vertex + 1).
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    for (int32_t k = 1; k <= mesh.polygons[i]; ++k) {
      const int32_t vertex = mesh.polygons[i + static_cast<size_t>(k)];
      mesh.nodeNormals.insert(mesh.nodeNormals.end(), {0.0, 0.0, vertex + 1.0});
    }
  }
  std::string bytes = WritePly(mesh, "");
  EXPECT_NE(bytes.find("property float nx\nproperty float ny\nproperty float nz\n"), std::string::npos);
  MeshData back;
  std::string error;
  ASSERT_TRUE(ReadPly(Bytes(bytes), back, error)) << error;
  EXPECT_EQ(back.positions, mesh.positions);

  mesh.nodeNormals[5] = -1.0;  // vertex 1 (in both polygons) now has two normals
  bytes = WritePly(mesh, "");
  EXPECT_EQ(bytes.find("property float nx"), std::string::npos);
}

TEST(MeshWriters, ObjRoundTripsThroughTheReader) {
  MeshData mesh = TriangleAndQuad();
  mesh.positions[0] = 1.0 / 3.0;  // not a float: written with double precision
  mesh.positions[1] = -1.0e-7;
  MeshData back;
  std::string error;
  ASSERT_TRUE(ReadObj(Bytes(WriteObj(mesh, "thing", "test")), back, error)) << error;
  EXPECT_EQ(back.positions, mesh.positions);
  EXPECT_EQ(back.polygons, mesh.polygons);
}

TEST(MeshWriters, ObjWritesFloatsInTheirShortestForm) {
  MeshData mesh;
  mesh.positions = {static_cast<double>(0.1f), 2.0, -0.5};
  const std::vector<std::string> lines = LinesStartingWith(WriteObj(mesh, "p", ""), "v ");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "v 0.1 2 -0.5");
}

TEST(MeshWriters, ObjSharesNodeValuesPerVertex) {
  // Two triangles over a shared edge; normals per vertex, except that vertex 2
  // has a different normal in the second triangle.
  MeshData mesh;
  mesh.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0};
  mesh.polygons = {3, 0, 1, 2, 3, 1, 3, 2};
  mesh.nodeNormals = {0, 0, 1, 0, 0, 1, 0, 0, 1,  //
                      0, 0, 1, 0, 0, 1, 0, 1, 0};
  mesh.nodeUVs = {0, 0, 1, 1, 0, 1, 0, 1, 1,  //
                  1, 0, 1, 1, 1, 1, 0, 1, 1};
  const std::string text = WriteObj(mesh, "pair", "");
  // One normal per vertex (4), plus vertex 2's second one; vertex 1's two nodes agree.
  EXPECT_EQ(LinesStartingWith(text, "vn ").size(), 5u);
  EXPECT_EQ(LinesStartingWith(text, "vt ").size(), 4u);
  const std::vector<std::string> faces = LinesStartingWith(text, "f ");
  ASSERT_EQ(faces.size(), 2u);
  EXPECT_EQ(faces[0], "f 1/1/1 2/2/2 3/3/3");
  EXPECT_EQ(faces[1], "f 2/2/2 4/4/4 3/3/5");
  EXPECT_EQ(LinesStartingWith(text, "vt ")[0], "vt 0 0");
}

TEST(MeshWriters, ObjIsTheSameBytesAtEveryThreadCount) {
  // Triangles and quads over enough blocks of lines to be formatted side by
  // side; node normals and UVs agree per vertex except at a few nodes.
  std::mt19937 random(7);
  std::uniform_int_distribution<int32_t> vertexOf(0, 9999);
  MeshData mesh;
  for (int v = 0; v < 10000; ++v) {
    for (int c = 0; c < 3; ++c) mesh.positions.push_back(static_cast<double>(static_cast<float>(random() % 1000) / 7.0f));
  }
  for (int p = 0; p < 40000; ++p) {
    const int32_t corners = p % 7 == 0 ? 4 : 3;
    mesh.polygons.push_back(corners);
    for (int32_t k = 0; k < corners; ++k) mesh.polygons.push_back(vertexOf(random));
  }
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    for (int32_t k = 1; k <= mesh.polygons[i]; ++k) {
      const int32_t v = mesh.polygons[i + static_cast<size_t>(k)];
      const bool odd = random() % 50 == 0;
      for (int c = 0; c < 3; ++c) {
        mesh.nodeNormals.push_back(odd ? 0.5 : static_cast<double>(v % (c + 2)));
        mesh.nodeUVs.push_back(static_cast<double>(v % 5) * 0.25 + (odd ? 1.0 : 0.0));
      }
    }
  }
  // The normal index of every node as the walk over the nodes gives it: a
  // node shares its vertex's first normal when equal to it, else gets a new one.
  std::vector<size_t> firstNode(10000, SIZE_MAX);
  std::vector<size_t> normalOfNode;
  size_t distinctNormals = 0;
  for (size_t node = 0, i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    for (int32_t k = 1; k <= mesh.polygons[i]; ++k, ++node) {
      size_t& first = firstNode[static_cast<size_t>(mesh.polygons[i + static_cast<size_t>(k)])];
      if (first != SIZE_MAX && std::memcmp(&mesh.nodeNormals[3 * first], &mesh.nodeNormals[3 * node], 24) == 0) {
        normalOfNode.push_back(normalOfNode[first]);
        continue;
      }
      if (first == SIZE_MAX) first = node;
      normalOfNode.push_back(++distinctNormals);
    }
  }
  const std::string reference = WriteObj(mesh, "many", "threads");
  EXPECT_EQ(LinesStartingWith(reference, "vn ").size(), distinctNormals);
  std::vector<size_t> written;
  for (const std::string& face : LinesStartingWith(reference, "f ")) {
    for (size_t at = face.find(' '); at != std::string::npos; at = face.find(' ', at + 1)) {
      written.push_back(std::stoul(face.substr(face.find('/', face.find('/', at) + 1) + 1)));
    }
  }
  EXPECT_EQ(written, normalOfNode);
  for (const int threads : {2, 3, 8}) {
    SetToolThreads(threads);
    EXPECT_TRUE(WriteObj(mesh, "many", "threads") == reference) << threads << " threads";
  }
  SetToolThreads(1);
}

TEST(MeshWriters, NodeArraysOfTheWrongLengthAreLeftOut) {
  MeshData mesh = TriangleAndQuad();
  mesh.nodeNormals = {0, 0, 1};
  const std::string text = WriteObj(mesh, "t", "");
  EXPECT_TRUE(LinesStartingWith(text, "vn").empty());
  EXPECT_EQ(LinesStartingWith(text, "f ")[0], "f 1 2 3");
}

TEST(MeshWriters, EmptyMeshGivesValidEmptyFiles) {
  const MeshData empty;
  MeshData back;
  std::string error;
  EXPECT_TRUE(ReadPly(Bytes(WritePly(empty, "")), back, error)) << error;
  EXPECT_EQ(back.VertexCount(), 0u);
  EXPECT_TRUE(ReadObj(Bytes(WriteObj(empty, "e", "")), back, error)) << error;
  EXPECT_EQ(back.VertexCount(), 0u);
}

}  // namespace
