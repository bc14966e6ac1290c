#include "mesh_writers.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void AppendNumber(std::string& out, double value) {
  char buffer[32];
  const auto single = static_cast<float>(value);
  const auto result = static_cast<double>(single) == value
                          ? std::to_chars(buffer, buffer + sizeof buffer, single)
                          : std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void AppendIndex(std::string& out, int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
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

  std::string out;
  out.reserve(mesh.positions.size() * 12 + mesh.polygons.size() * 8 + normals.values.size() * 12 +
              uvs.values.size() * 8 + 64);
  out += "# ";
  out += OneLine(comment);
  out += "\no ";
  out += OneLine(objectName);
  out += '\n';
  for (size_t i = 0; i < mesh.positions.size(); i += 3) {
    out += "v ";
    AppendNumber(out, mesh.positions[i]);
    out += ' ';
    AppendNumber(out, mesh.positions[i + 1]);
    out += ' ';
    AppendNumber(out, mesh.positions[i + 2]);
    out += '\n';
  }
  for (size_t i = 0; i < uvs.values.size(); i += 3) {
    out += "vt ";
    AppendNumber(out, uvs.values[i]);
    out += ' ';
    AppendNumber(out, uvs.values[i + 1]);
    out += '\n';
  }
  for (size_t i = 0; i < normals.values.size(); i += 3) {
    out += "vn ";
    AppendNumber(out, normals.values[i]);
    out += ' ';
    AppendNumber(out, normals.values[i + 1]);
    out += ' ';
    AppendNumber(out, normals.values[i + 2]);
    out += '\n';
  }
  size_t node = 0;
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    out += 'f';
    for (int32_t k = 1; k <= mesh.polygons[i]; ++k, ++node) {
      out += ' ';
      AppendIndex(out, static_cast<int64_t>(mesh.polygons[i + static_cast<size_t>(k)]) + 1);
      if (withUVs) {
        out += '/';
        AppendIndex(out, static_cast<int64_t>(uvs.nodeIndex[node]) + 1);
      }
      if (withNormals) {
        out += withUVs ? "/" : "//";
        AppendIndex(out, static_cast<int64_t>(normals.nodeIndex[node]) + 1);
      }
    }
    out += '\n';
  }
  return out;
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
