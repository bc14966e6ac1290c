#include "obj_reader.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "tiny_obj_loader.h"

namespace {

bool Fail(std::string& error, MeshData& mesh, std::string message) {
  error = std::move(message);
  mesh.Clear();
  return false;
}

std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (line.size() > 120) line = line.substr(0, 120) + "...";
  return line;
}

// True when a number in `bytes` has an exponent of more than six digits. The
// parser accumulates exponents in an int without a full overflow guard; no
// real coordinate needs such an exponent, so those files are refused first.
bool HasOverlongExponent(std::span<const uint8_t> bytes) {
  auto isDigit = [](uint8_t c) { return c >= '0' && c <= '9'; };
  for (size_t i = 1; i < bytes.size(); ++i) {
    if ((bytes[i] != 'e' && bytes[i] != 'E') || !(isDigit(bytes[i - 1]) || bytes[i - 1] == '.')) continue;
    size_t j = i + 1;
    if (j < bytes.size() && (bytes[j] == '+' || bytes[j] == '-')) ++j;
    size_t digits = 0;
    while (j < bytes.size() && isDigit(bytes[j])) {
      ++digits;
      ++j;
    }
    if (digits > 6) return true;
  }
  return false;
}

}  // namespace

bool ReadObj(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error) {
  mesh.Clear();
  if (!bytes.empty() && std::memchr(bytes.data(), 0, bytes.size()) != nullptr) {
    return Fail(error, mesh, "not an OBJ file (it holds a zero byte)");
  }
  if (HasOverlongExponent(bytes)) return Fail(error, mesh, "a number has an exponent of more than six digits");
  // The parser reads whole lines of text; triangulation stays off so that it
  // never looks up positions through unchecked indices.
  tinyobj::ObjReaderConfig config;
  config.triangulate = false;
  config.vertex_color = false;
  tinyobj::ObjReader reader;
  const std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!reader.ParseFromString(text, std::string(), config)) {
    const std::string message = FirstLine(reader.Error());
    return Fail(error, mesh, message.empty() ? "malformed OBJ file" : message);
  }

  const std::vector<tinyobj::real_t>& v = reader.GetAttrib().vertices;
  if (v.size() / 3 > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    return Fail(error, mesh, "too many vertices");
  }
  const size_t vertexCount = v.size() / 3;
  mesh.positions.reserve(vertexCount * 3);
  for (size_t i = 0; i < vertexCount * 3; ++i) {
    const double coordinate = static_cast<double>(v[i]);
    if (!(std::fabs(coordinate) <= std::numeric_limits<float>::max())) {
      return Fail(error, mesh, "vertex " + std::to_string(i / 3 + 1) + " has a coordinate that is not a finite float");
    }
    mesh.positions.push_back(coordinate);
  }

  for (const tinyobj::shape_t& shape : reader.GetShapes()) {
    size_t next = 0;
    const std::vector<tinyobj::index_t>& indices = shape.mesh.indices;
    for (size_t f = 0; f < shape.mesh.num_face_vertices.size(); ++f) {
      const size_t n = shape.mesh.num_face_vertices[f];
      if (n < 3 || next + n > indices.size()) return Fail(error, mesh, "malformed face in shape \"" + shape.name + "\"");
      mesh.polygons.push_back(static_cast<int32_t>(n));
      for (size_t k = 0; k < n; ++k) {
        const int index = indices[next + k].vertex_index;
        if (index < 0 || static_cast<size_t>(index) >= vertexCount) {
          return Fail(error, mesh, "a face refers to vertex " + std::to_string(static_cast<int64_t>(index) + 1) +
                                       " of " + std::to_string(vertexCount));
        }
        mesh.polygons.push_back(index);
      }
      next += n;
    }
  }
  return true;
}
