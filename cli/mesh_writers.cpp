#include "mesh_writers.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// The output, formatted in place into one reused chunk: a caller asks for
// room for at most n bytes, formats into it (std::to_chars) and says where it
// ended; a full chunk goes to the sink.
class ChunkBuffer {
 public:
  explicit ChunkBuffer(const ByteSink& sink) : sink_(sink) { bytes_.resize(kWriterChunk); }

  char* Room(size_t n) {
    if (bytes_.size() - used_ < n) {
      Flush();
      if (bytes_.size() < n) bytes_.resize(n);
    }
    return bytes_.data() + used_;
  }
  void EndAt(const char* end) { used_ = static_cast<size_t>(end - bytes_.data()); }
  void Append(std::string_view text) {
    if (text.size() > kWriterChunk) {
      Flush();
      sink_(text);
      return;
    }
    EndAt(Put(Room(text.size()), text));
  }
  void Flush() {
    if (used_ > 0) sink_(std::string_view(bytes_.data(), used_));
    used_ = 0;
  }

  static char* Put(char* at, std::string_view text) {
    std::memcpy(at, text.data(), text.size());
    return at + text.size();
  }

 private:
  const ByteSink& sink_;
  std::string bytes_;
  size_t used_ = 0;
};

// Longest texts of the formatted values: a shortest round-trip double
// ("-2.2250738585072014e-308") and an int64.
constexpr size_t kNumberChars = 24;
constexpr size_t kIndexChars = 20;

// The shortest text that reads back to the value: as a float when the value
// is exactly a float, as a double otherwise.
inline char* PutNumber(char* at, double value) {
  const auto single = static_cast<float>(value);
  return static_cast<double>(single) == value ? std::to_chars(at, at + kNumberChars, single).ptr
                                              : std::to_chars(at, at + kNumberChars, value).ptr;
}

inline char* PutIndex(char* at, int64_t value) { return std::to_chars(at, at + kIndexChars, value).ptr; }

void AppendIndex(ChunkBuffer& out, int64_t value) { out.EndAt(PutIndex(out.Room(kIndexChars), value)); }

bool SameTriple(const double* a, const double* b) { return std::memcmp(a, b, 3 * sizeof(double)) == 0; }

// Per-node triples shared where the nodes of one vertex agree: `values` holds
// the distinct triples in order of first use, nodeIndex[n] the triple of node n.
struct SharedNodeValues {
  std::vector<double> values;
  std::vector<int32_t> nodeIndex;
};

SharedNodeValues ShareNodeValues(const MeshView& mesh, std::span<const double> nodeValues) {
  SharedNodeValues shared;
  std::vector<int32_t> firstOfVertex(mesh.VertexCount(), -1);
  size_t node = 0;
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    for (int32_t k = 1; k <= mesh.polygons[i]; ++k, ++node) {
      const auto vertex = static_cast<size_t>(mesh.polygons[i + static_cast<size_t>(k)]);
      const double* triple = &nodeValues[3 * node];
      int32_t& first = firstOfVertex[vertex];
      if (first >= 0 && SameTriple(&shared.values[3 * static_cast<size_t>(first)], triple)) {
        shared.nodeIndex.push_back(first);
        continue;
      }
      const auto index = static_cast<int32_t>(shared.values.size() / 3);
      shared.values.insert(shared.values.end(), triple, triple + 3);
      if (first < 0) first = index;
      shared.nodeIndex.push_back(index);
    }
  }
  return shared;
}

// One triple per vertex when all nodes of each vertex agree; false otherwise.
bool PerVertexValues(const MeshView& mesh, std::span<const double> nodeValues, std::vector<double>& perVertex) {
  perVertex.assign(mesh.positions.size(), 0.0);
  std::vector<uint8_t> seen(mesh.VertexCount(), 0);
  size_t node = 0;
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    for (int32_t k = 1; k <= mesh.polygons[i]; ++k, ++node) {
      const auto vertex = static_cast<size_t>(mesh.polygons[i + static_cast<size_t>(k)]);
      const double* triple = &nodeValues[3 * node];
      if (!seen[vertex]) {
        std::memcpy(&perVertex[3 * vertex], triple, 3 * sizeof(double));
        seen[vertex] = 1;
      } else if (!SameTriple(&perVertex[3 * vertex], triple)) {
        return false;
      }
    }
  }
  return true;
}

bool HasNodeValues(const MeshView& mesh, std::span<const double> nodeValues) {
  return !nodeValues.empty() && nodeValues.size() == 3 * mesh.NodeCount();
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

// A comment must stay on its line.
std::string OneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

}  // namespace

void WriteObj(const MeshView& mesh, std::string_view objectName, std::string_view comment, const ByteSink& sink) {
  const bool withNormals = HasNodeValues(mesh, mesh.nodeNormals);
  const bool withUVs = HasNodeValues(mesh, mesh.nodeUVs);
  const SharedNodeValues normals = withNormals ? ShareNodeValues(mesh, mesh.nodeNormals) : SharedNodeValues();
  const SharedNodeValues uvs = withUVs ? ShareNodeValues(mesh, mesh.nodeUVs) : SharedNodeValues();

  ChunkBuffer out(sink);
  out.Append("# ");
  out.Append(OneLine(comment));
  out.Append("\no ");
  out.Append(OneLine(objectName));
  out.Append("\n");
  // One line of `count` values (of each triple) behind `tag`.
  const auto valueLines = [&out](std::string_view tag, std::span<const double> values, int count) {
    for (size_t i = 0; i < values.size(); i += 3) {
      char* at = ChunkBuffer::Put(out.Room(tag.size() + 3 * (kNumberChars + 1) + 1), tag);
      for (int c = 0; c < count; ++c) {
        if (c > 0) *at++ = ' ';
        at = PutNumber(at, values[i + static_cast<size_t>(c)]);
      }
      *at++ = '\n';
      out.EndAt(at);
    }
  };
  valueLines("v ", mesh.positions, 3);
  valueLines("vt ", uvs.values, 2);
  valueLines("vn ", normals.values, 3);
  size_t node = 0;
  const size_t nodeChars = 1 + kIndexChars + (withUVs ? 1 + kIndexChars : 0) + (withNormals ? 2 + kIndexChars : 0);
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    const int32_t corners = mesh.polygons[i];
    char* at = out.Room(2 + static_cast<size_t>(std::max(corners, 0)) * nodeChars);
    *at++ = 'f';
    for (int32_t k = 1; k <= corners; ++k, ++node) {
      *at++ = ' ';
      at = PutIndex(at, static_cast<int64_t>(mesh.polygons[i + static_cast<size_t>(k)]) + 1);
      if (withUVs) {
        *at++ = '/';
        at = PutIndex(at, static_cast<int64_t>(uvs.nodeIndex[node]) + 1);
      }
      if (withNormals) {
        at = ChunkBuffer::Put(at, withUVs ? "/" : "//");
        at = PutIndex(at, static_cast<int64_t>(normals.nodeIndex[node]) + 1);
      }
    }
    *at++ = '\n';
    out.EndAt(at);
  }
  out.Flush();
}

void WritePly(const MeshView& mesh, std::string_view comment, const ByteSink& sink) {
  std::vector<double> normals;
  std::vector<double> uvs;
  const bool withNormals = HasNodeValues(mesh, mesh.nodeNormals) && PerVertexValues(mesh, mesh.nodeNormals, normals);
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
  out.Append("element face ");
  AppendIndex(out, static_cast<int64_t>(polygonCount));
  out.Append(smallPolygons ? "\nproperty list uchar int vertex_indices\n" : "\nproperty list int int vertex_indices\n");
  out.Append("end_header\n");

  const size_t vertexBytes = 4 * (3 + (withNormals ? 3 : 0) + (withUVs ? 2 : 0));
  for (size_t v = 0; v < mesh.VertexCount(); ++v) {
    char* at = out.Room(vertexBytes);
    for (int axis = 0; axis < 3; ++axis) at = PutFloat(at, mesh.positions[3 * v + static_cast<size_t>(axis)]);
    if (withNormals) {
      for (int axis = 0; axis < 3; ++axis) at = PutFloat(at, normals[3 * v + static_cast<size_t>(axis)]);
    }
    if (withUVs) {
      at = PutFloat(at, uvs[3 * v]);
      at = PutFloat(at, uvs[3 * v + 1]);
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

std::string WriteObj(const MeshView& mesh, std::string_view objectName, std::string_view comment) {
  std::string bytes;
  WriteObj(mesh, objectName, comment, [&bytes](std::string_view piece) { bytes.append(piece); });
  return bytes;
}

std::string WritePly(const MeshView& mesh, std::string_view comment) {
  std::string bytes;
  WritePly(mesh, comment, [&bytes](std::string_view piece) { bytes.append(piece); });
  return bytes;
}
