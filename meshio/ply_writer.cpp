#include "ply_writer.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "byte_sink.h"
#include "node_values.h"

namespace {

// The longest text of an int64.
constexpr size_t kIndexChars = 20;

void AppendIndex(ChunkBuffer& out, int64_t value) {
  char* at = out.Room(kIndexChars);
  out.EndAt(std::to_chars(at, at + kIndexChars, value).ptr);
}

// Four bytes, little-endian, at `at`; returns the end.
char* PutUint32(char* at, uint32_t bits) {
  at[0] = static_cast<char>(bits & 0xFF);
  at[1] = static_cast<char>((bits >> 8) & 0xFF);
  at[2] = static_cast<char>((bits >> 16) & 0xFF);
  at[3] = static_cast<char>(bits >> 24);
  return at + 4;
}

char* PutFloat(char* at, double value) {
  const auto single = static_cast<float>(value);
  uint32_t bits;
  std::memcpy(&bits, &single, sizeof bits);
  return PutUint32(at, bits);
}

char* PutInt32(char* at, int32_t value) { return PutUint32(at, static_cast<uint32_t>(value)); }

// The property names of an attribute: its name for one component; for more,
// the name with "x", "y", "z", "w" after it: "vx vy vz" for the velocity
// "v", as the particle formats name it, else joined by '_' ("N_x", ...).
std::string AttributeProperties(const AttributeView& attribute) {
  if (attribute.components == 1) return "property float " + attribute.name + "\n";
  std::string lines;
  const std::string stem = attribute.name == "v" ? "v" : attribute.name + "_";
  for (int32_t c = 0; c < attribute.components && c < 4; ++c) lines += "property float " + stem + "xyzw"[c] + "\n";
  return lines;
}

// Per vertex the first node of the polygons that uses it (kNoNode when none),
// when every node of each vertex holds the same triple (bit for bit); false
// otherwise. The values are then read from the nodes as the vertices are
// written, without a per-vertex copy of them.
constexpr size_t kNoNode = SIZE_MAX;

bool FirstNodesOfVertices(const MeshView& mesh, std::span<const double> nodeValues, std::vector<size_t>& firstNode) {
  firstNode.assign(mesh.VertexCount(), kNoNode);
  size_t node = 0;
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    for (int32_t k = 1; k <= mesh.polygons[i]; ++k, ++node) {
      size_t& first = firstNode[static_cast<size_t>(mesh.polygons[i + static_cast<size_t>(k)])];
      if (first == kNoNode) {
        first = node;
      } else if (std::memcmp(&nodeValues[3 * first], &nodeValues[3 * node], 3 * sizeof(double)) != 0) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

void WritePly(const MeshView& mesh, std::string_view comment, const ByteSink& sink) {
  std::vector<size_t> normalNode;
  std::vector<double> uvs;
  const bool withNormals =
      HasNodeValues(mesh, mesh.nodeNormals) && FirstNodesOfVertices(mesh, mesh.nodeNormals, normalNode);
  const bool withUVs = HasNodeValues(mesh, mesh.nodeUVs) && PerVertexValues(mesh, mesh.nodeUVs, uvs);
  bool smallPolygons = true;
  size_t polygonCount = 0;
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    smallPolygons = smallPolygons && mesh.polygons[i] <= 255;
    ++polygonCount;
  }

  ChunkBuffer out(sink);
  out.Append("ply\nformat binary_little_endian 1.0\ncomment ");
  out.Append(OneLine(comment));
  out.Append("\nelement vertex ");
  AppendIndex(out, static_cast<int64_t>(mesh.VertexCount()));
  out.Append("\nproperty float x\nproperty float y\nproperty float z\n");
  if (withNormals) out.Append("property float nx\nproperty float ny\nproperty float nz\n");
  if (withUVs) out.Append("property float s\nproperty float t\n");
  size_t attributeValues = 0;
  for (const AttributeView& attribute : mesh.attributes) {
    out.Append(AttributeProperties(attribute));
    attributeValues += static_cast<size_t>(attribute.components);
  }
  out.Append("element face ");
  AppendIndex(out, static_cast<int64_t>(polygonCount));
  out.Append(smallPolygons ? "\nproperty list uchar int vertex_indices\n" : "\nproperty list int int vertex_indices\n");
  out.Append("end_header\n");

  const size_t vertexBytes = 4 * (3 + (withNormals ? 3 : 0) + (withUVs ? 2 : 0) + attributeValues);
  for (size_t v = 0; v < mesh.VertexCount(); ++v) {
    char* at = out.Room(vertexBytes);
    for (int axis = 0; axis < 3; ++axis) at = PutFloat(at, mesh.positions[3 * v + static_cast<size_t>(axis)]);
    if (withNormals) {
      const size_t node = normalNode[v];
      for (size_t axis = 0; axis < 3; ++axis) at = PutFloat(at, node != kNoNode ? mesh.nodeNormals[3 * node + axis] : 0.0);
    }
    if (withUVs) {
      at = PutFloat(at, uvs[3 * v]);
      at = PutFloat(at, uvs[3 * v + 1]);
    }
    for (const AttributeView& attribute : mesh.attributes) {
      const auto width = static_cast<size_t>(attribute.components);
      for (size_t c = 0; c < width; ++c) at = PutFloat(at, attribute.values[v * width + c]);
    }
    out.EndAt(at);
  }
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    const int32_t corners = mesh.polygons[i];
    char* at = out.Room(4 + 4 * static_cast<size_t>(std::max(corners, 0)));
    if (smallPolygons) {
      *at++ = static_cast<char>(corners);
    } else {
      at = PutInt32(at, corners);
    }
    for (int32_t k = 1; k <= corners; ++k) at = PutInt32(at, mesh.polygons[i + static_cast<size_t>(k)]);
    out.EndAt(at);
  }
  out.Flush();
}

std::string WritePly(const MeshView& mesh, std::string_view comment) {
  std::string bytes;
  WritePly(mesh, comment, [&bytes](std::string_view piece) { bytes.append(piece); });
  return bytes;
}
