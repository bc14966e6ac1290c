#include "mesh_writers.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// The output text, written in place: a caller asks for room for at most n
// characters, formats into it with std::to_chars and says where it ended.
// Growth doubles, so the copies add up to less than the final size.
class TextBuffer {
 public:
  explicit TextBuffer(size_t expected) { text_.resize(std::max<size_t>(expected, 256)); }

  char* Room(size_t n) {
    if (text_.size() - used_ < n) text_.resize(std::max(text_.size() * 2, used_ + n));
    return text_.data() + used_;
  }
  void EndAt(const char* end) { used_ = static_cast<size_t>(end - text_.data()); }
  void Append(std::string_view text) { EndAt(Put(Room(text.size()), text)); }
  std::string Take() {
    text_.resize(used_);
    return std::move(text_);
  }

  static char* Put(char* at, std::string_view text) {
    std::memcpy(at, text.data(), text.size());
    return at + text.size();
  }

 private:
  std::string text_;
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

void AppendIndex(std::string& out, int64_t value) {
  char buffer[kIndexChars];
  out.append(buffer, PutIndex(buffer, value));
}

bool SameTriple(const double* a, const double* b) { return std::memcmp(a, b, 3 * sizeof(double)) == 0; }

// Per-node triples shared where the nodes of one vertex agree: `values` holds
// the distinct triples in order of first use, nodeIndex[n] the triple of node n.
struct SharedNodeValues {
  std::vector<double> values;
  std::vector<int32_t> nodeIndex;
};

SharedNodeValues ShareNodeValues(const MeshData& mesh, const std::vector<double>& nodeValues) {
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
bool PerVertexValues(const MeshData& mesh, const std::vector<double>& nodeValues, std::vector<double>& perVertex) {
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

bool HasNodeValues(const MeshData& mesh, const std::vector<double>& nodeValues) {
  return !nodeValues.empty() && nodeValues.size() == 3 * mesh.NodeCount();
}

void PutFloat(std::string& out, double value) {
  const auto single = static_cast<float>(value);
  uint32_t bits;
  std::memcpy(&bits, &single, sizeof bits);
  const char bytes[4] = {static_cast<char>(bits & 0xFF), static_cast<char>((bits >> 8) & 0xFF),
                         static_cast<char>((bits >> 16) & 0xFF), static_cast<char>(bits >> 24)};
  out.append(bytes, 4);
}

void PutInt32(std::string& out, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  const char bytes[4] = {static_cast<char>(bits & 0xFF), static_cast<char>((bits >> 8) & 0xFF),
                         static_cast<char>((bits >> 16) & 0xFF), static_cast<char>(bits >> 24)};
  out.append(bytes, 4);
}

// A comment must stay on its line.
std::string OneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

}  // namespace

std::string WriteObj(const MeshData& mesh, std::string_view objectName, std::string_view comment) {
  const bool withNormals = HasNodeValues(mesh, mesh.nodeNormals);
  const bool withUVs = HasNodeValues(mesh, mesh.nodeUVs);
  const SharedNodeValues normals = withNormals ? ShareNodeValues(mesh, mesh.nodeNormals) : SharedNodeValues();
  const SharedNodeValues uvs = withUVs ? ShareNodeValues(mesh, mesh.nodeUVs) : SharedNodeValues();

  // About 10 characters a coordinate and 8 an index.
  TextBuffer out(mesh.positions.size() * 11 + mesh.polygons.size() * (8 + (withNormals ? 8 : 0) + (withUVs ? 8 : 0)) +
                 normals.values.size() * 11 + uvs.values.size() * 8 + comment.size() + objectName.size() + 64);
  out.Append("# ");
  out.Append(OneLine(comment));
  out.Append("\no ");
  out.Append(OneLine(objectName));
  out.Append("\n");
  // One line of `count` values (of each triple) behind `tag`.
  const auto valueLines = [&out](std::string_view tag, const std::vector<double>& values, int count) {
    for (size_t i = 0; i < values.size(); i += 3) {
      char* at = TextBuffer::Put(out.Room(tag.size() + 3 * (kNumberChars + 1) + 1), tag);
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
        at = TextBuffer::Put(at, withUVs ? "/" : "//");
        at = PutIndex(at, static_cast<int64_t>(normals.nodeIndex[node]) + 1);
      }
    }
    *at++ = '\n';
    out.EndAt(at);
  }
  return out.Take();
}

std::string WritePly(const MeshData& mesh, std::string_view comment) {
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

  std::string out;
  out += "ply\nformat binary_little_endian 1.0\ncomment ";
  out += OneLine(comment);
  out += "\nelement vertex ";
  AppendIndex(out, static_cast<int64_t>(mesh.VertexCount()));
  out += "\nproperty float x\nproperty float y\nproperty float z\n";
  if (withNormals) out += "property float nx\nproperty float ny\nproperty float nz\n";
  if (withUVs) out += "property float s\nproperty float t\n";
  out += "element face ";
  AppendIndex(out, static_cast<int64_t>(polygonCount));
  out += smallPolygons ? "\nproperty list uchar int vertex_indices\n" : "\nproperty list int int vertex_indices\n";
  out += "end_header\n";

  const size_t vertexBytes = 4 * (3 + (withNormals ? 3 : 0) + (withUVs ? 2 : 0));
  out.reserve(out.size() + mesh.VertexCount() * vertexBytes + mesh.polygons.size() * 4);
  for (size_t v = 0; v < mesh.VertexCount(); ++v) {
    for (int axis = 0; axis < 3; ++axis) PutFloat(out, mesh.positions[3 * v + static_cast<size_t>(axis)]);
    if (withNormals) {
      for (int axis = 0; axis < 3; ++axis) PutFloat(out, normals[3 * v + static_cast<size_t>(axis)]);
    }
    if (withUVs) {
      PutFloat(out, uvs[3 * v]);
      PutFloat(out, uvs[3 * v + 1]);
    }
  }
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    if (smallPolygons) {
      out += static_cast<char>(mesh.polygons[i]);
    } else {
      PutInt32(out, mesh.polygons[i]);
    }
    for (int32_t k = 1; k <= mesh.polygons[i]; ++k) PutInt32(out, mesh.polygons[i + static_cast<size_t>(k)]);
  }
  return out;
}
