#include "obj_reader.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "finite_points.h"
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

// Reads the "v" lines of `text` strictly, as the parser does not: three
// coordinates (then an optional w, or a colour of three values), each a
// whole decimal number with nothing after it; anything else fails with the
// line and what is wrong. The coordinates go to `positions`, unchecked for
// range.
bool ReadVertexLines(std::string_view text, std::vector<double>& positions, std::string& error) {
  size_t pos = 0;
  int64_t lineNumber = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    size_t at = 0;
    while (at < line.size() && isSpace(line[at])) ++at;
    if (at + 1 >= line.size() || line[at] != 'v' || !isSpace(line[at + 1])) continue;
    ++at;
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    double values[6];
    size_t count = 0;
    while (true) {
      while (at < line.size() && isSpace(line[at])) ++at;
      if (at == line.size()) break;
      const size_t start = at;
      while (at < line.size() && !isSpace(line[at])) ++at;
      const std::string_view token = line.substr(start, at - start);
      if (count == 6) {
        error = where + "a vertex has more than 6 values";
        return false;
      }
      const char* first = token.data();
      const char* last = token.data() + token.size();
      if (*first == '+') ++first;  // from_chars refuses a leading plus
      const auto result = std::from_chars(first, last, values[count]);
      if (first == last || result.ec != std::errc() || result.ptr != last || !std::isfinite(values[count])) {
        error = where + "\"" + FirstLine(std::string(token.substr(0, 40))) + "\" is not a finite decimal number";
        return false;
      }
      ++count;
    }
    if (count != 3 && count != 4 && count != 6) {
      error = where + "a vertex needs x, y, z (then w, or r g b), got " + std::to_string(count) + " values";
      return false;
    }
    positions.insert(positions.end(), values, values + 3);
  }
  return true;
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

  // The parser turns what it cannot read into 0; the positions are read
  // strictly here instead, and its count of them must agree.
  if (!ReadVertexLines(text, mesh.positions, error)) return Fail(error, mesh, error);
  const std::vector<tinyobj::real_t>& v = reader.GetAttrib().vertices;
  if (v.size() != mesh.positions.size()) return Fail(error, mesh, "malformed vertex lines");
  if (v.size() / 3 > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    return Fail(error, mesh, "too many vertices");
  }
  const size_t vertexCount = v.size() / 3;
  if (!CheckFinitePoints(mesh.positions, error)) return Fail(error, mesh, error);

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
