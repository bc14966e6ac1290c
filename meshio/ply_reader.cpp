#include "ply_reader.h"

#include <algorithm>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "attribute_columns.h"
#include "finite_points.h"

namespace {

enum class Format { Ascii, BinaryLittle, BinaryBig };

enum class Scalar { Int8, UInt8, Int16, UInt16, Int32, UInt32, Float32, Float64 };

// Elements beyond this count are refused: indices are int32 in the host.
constexpr uint64_t kMaxElementCount = 0x7FFFFFFF;

struct Property {
  std::string name;
  bool isList = false;
  Scalar countType = Scalar::UInt8;  // lists only
  Scalar type = Scalar::Float32;     // the value type, or the list item type
};

struct Element {
  std::string name;
  uint64_t count = 0;
  std::vector<Property> properties;
};

bool ParseScalar(std::string_view name, Scalar& type) {
  struct Entry {
    std::string_view name;
    Scalar type;
  };
  static constexpr Entry kTypes[] = {
      {"char", Scalar::Int8},     {"int8", Scalar::Int8},       {"uchar", Scalar::UInt8},
      {"uint8", Scalar::UInt8},   {"short", Scalar::Int16},     {"int16", Scalar::Int16},
      {"ushort", Scalar::UInt16}, {"uint16", Scalar::UInt16},   {"int", Scalar::Int32},
      {"int32", Scalar::Int32},   {"uint", Scalar::UInt32},     {"uint32", Scalar::UInt32},
      {"float", Scalar::Float32}, {"float32", Scalar::Float32}, {"double", Scalar::Float64},
      {"float64", Scalar::Float64},
  };
  for (const Entry& entry : kTypes) {
    if (entry.name == name) {
      type = entry.type;
      return true;
    }
  }
  return false;
}

size_t ScalarSize(Scalar type) {
  switch (type) {
    case Scalar::Int8:
    case Scalar::UInt8: return 1;
    case Scalar::Int16:
    case Scalar::UInt16: return 2;
    case Scalar::Int32:
    case Scalar::UInt32:
    case Scalar::Float32: return 4;
    case Scalar::Float64: return 8;
  }
  return 1;
}

bool IsInteger(Scalar type) { return type != Scalar::Float32 && type != Scalar::Float64; }

// Splits a header line into words separated by spaces or tabs.
std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

std::string Shorten(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 40)) out += (c >= 32 && c < 127) ? c : '?';
  if (text.size() > 40) out += "...";
  return out;
}

// Reads the body values one at a time, in ASCII or binary form. ASCII is read
// line by line: each row of an element is one line, and a row that holds
// more or fewer values than its properties ask for is refused, so that one
// bad line never shifts the rows after it.
class BodyReader {
 public:
  BodyReader(std::span<const uint8_t> bytes, size_t offset, Format format, int lineNumber)
      : bytes_(bytes), pos_(offset), lineEnd_(offset), format_(format), lineNumber_(lineNumber) {}

  size_t Remaining() const { return bytes_.size() - pos_; }
  bool IsAscii() const { return format_ == Format::Ascii; }
  // The line of the current ASCII row, counting from 1 at "ply".
  int LineNumber() const { return lineNumber_; }

  // Starts a row: in ASCII, the next line that holds anything (blank lines
  // are skipped); false at the end of the data.
  bool StartRow() {
    if (format_ != Format::Ascii) return true;
    const char* data = reinterpret_cast<const char*>(bytes_.data());
    while (pos_ < bytes_.size()) {
      size_t end = pos_;
      while (end < bytes_.size() && data[end] != '\n') ++end;
      ++lineNumber_;
      size_t first = pos_;
      while (first < end && IsSpace(data[first])) ++first;
      const size_t next = end < bytes_.size() ? end + 1 : end;
      if (first < end) {
        pos_ = first;
        lineEnd_ = end;
        nextLine_ = next;
        return true;
      }
      pos_ = next;
    }
    return false;
  }

  // Ends a row: false when its ASCII line holds more values.
  bool EndRow() {
    if (format_ != Format::Ascii) return true;
    const char* data = reinterpret_cast<const char*>(bytes_.data());
    while (pos_ < lineEnd_ && IsSpace(data[pos_])) ++pos_;
    const bool whole = pos_ == lineEnd_;
    pos_ = nextLine_;
    lineEnd_ = nextLine_;
    return whole;
  }

  // The next value of `type`, as a double; false at the end of the row (or
  // of the data) or on a token that is not a number.
  bool Read(Scalar type, double& value) {
    if (format_ == Format::Ascii) return ReadToken(value);
    const size_t size = ScalarSize(type);
    if (Remaining() < size) return false;
    uint8_t raw[8];
    std::memcpy(raw, bytes_.data() + pos_, size);
    pos_ += size;
    if (format_ == Format::BinaryBig) {
      for (size_t i = 0; i < size / 2; ++i) std::swap(raw[i], raw[size - 1 - i]);
    }
    switch (type) {
      case Scalar::Int8: value = static_cast<int8_t>(raw[0]); break;
      case Scalar::UInt8: value = raw[0]; break;
      case Scalar::Int16: value = Load<int16_t>(raw); break;
      case Scalar::UInt16: value = Load<uint16_t>(raw); break;
      case Scalar::Int32: value = Load<int32_t>(raw); break;
      case Scalar::UInt32: value = Load<uint32_t>(raw); break;
      case Scalar::Float32: value = Load<float>(raw); break;
      case Scalar::Float64: value = Load<double>(raw); break;
    }
    return true;
  }

 private:
  template <class T>
  static T Load(const uint8_t* raw) {
    T value;
    std::memcpy(&value, raw, sizeof value);  // bytes already in host (little-endian) order
    return value;
  }

  bool ReadToken(double& value) {
    const char* data = reinterpret_cast<const char*>(bytes_.data());
    while (pos_ < lineEnd_ && IsSpace(data[pos_])) ++pos_;
    const size_t start = pos_;
    while (pos_ < lineEnd_ && !IsSpace(data[pos_])) ++pos_;
    if (pos_ == start) return false;
    const char* first = data + start;
    const char* last = data + pos_;
    if (*first == '+') ++first;  // from_chars refuses a leading plus
    const auto result = std::from_chars(first, last, value);
    return result.ec == std::errc() && result.ptr == last;
  }

  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

  std::span<const uint8_t> bytes_;
  size_t pos_;
  size_t lineEnd_;
  size_t nextLine_ = 0;
  Format format_;
  int lineNumber_;
};

bool Fail(std::string& error, MeshData& mesh, std::string message) {
  error = std::move(message);
  mesh.Clear();
  return false;
}

// The attributes kept from the vertex element's properties other than x, y,
// z (attribute_columns.h), lists left out. sources[a][c] is the property
// index of component c of attribute a.
struct AttributePlan {
  std::vector<VertexAttribute> attributes;
  std::vector<std::vector<int>> sources;
};

AttributePlan PlanAttributes(const Element& vertex) {
  std::vector<std::string> names;
  for (const Property& property : vertex.properties) names.push_back(property.isList ? std::string() : property.name);
  int xyz[3];
  AttributePlan plan;
  for (AttributeColumns& group : GroupColumns(names, xyz)) {
    plan.attributes.push_back(VertexAttribute{group.name, static_cast<int32_t>(group.columns.size()), {}});
    plan.sources.push_back(std::move(group.columns));
  }
  return plan;
}

}  // namespace

bool ReadPly(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error) {
  mesh.Clear();
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());

  // 1) header: lines up to "end_header"
  if (text.substr(0, 3) != "ply" || (text.size() > 3 && text[3] != '\n' && text[3] != '\r')) {
    return Fail(error, mesh, "not a PLY file (no \"ply\" signature)");
  }
  Format format = Format::Ascii;
  bool formatSeen = false;
  bool headerEnded = false;
  std::vector<Element> elements;
  size_t pos = 0;
  int lineNumber = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = end < text.size() ? end + 1 : end;
    ++lineNumber;
    if (lineNumber == 1) continue;  // "ply"
    const std::vector<std::string_view> words = Words(line);
    if (words.empty()) continue;
    const std::string_view keyword = words[0];
    if (keyword == "comment" || keyword == "obj_info") continue;
    const std::string where = "header line " + std::to_string(lineNumber) + ": ";
    if (keyword == "end_header") {
      headerEnded = true;
      break;
    }
    if (keyword == "format") {
      if (words.size() != 3 || words[2] != "1.0") return Fail(error, mesh, where + "expected \"format TYPE 1.0\"");
      if (words[1] == "ascii") {
        format = Format::Ascii;
      } else if (words[1] == "binary_little_endian") {
        format = Format::BinaryLittle;
      } else if (words[1] == "binary_big_endian") {
        format = Format::BinaryBig;
      } else {
        return Fail(error, mesh, where + "unknown format \"" + Shorten(words[1]) + "\"");
      }
      formatSeen = true;
    } else if (keyword == "element") {
      uint64_t count = 0;
      if (words.size() != 3) return Fail(error, mesh, where + "expected \"element NAME COUNT\"");
      const auto result = std::from_chars(words[2].data(), words[2].data() + words[2].size(), count);
      if (result.ec != std::errc() || result.ptr != words[2].data() + words[2].size()) {
        return Fail(error, mesh, where + "element count \"" + Shorten(words[2]) + "\" is not a number");
      }
      if (count > kMaxElementCount) {
        return Fail(error, mesh, where + "element count " + std::string(words[2]) + " is too large");
      }
      elements.push_back(Element{std::string(words[1]), count, {}});
    } else if (keyword == "property") {
      if (elements.empty()) return Fail(error, mesh, where + "property before any element");
      Property property;
      if (words.size() == 5 && words[1] == "list") {
        property.isList = true;
        if (!ParseScalar(words[2], property.countType) || !ParseScalar(words[3], property.type)) {
          return Fail(error, mesh, where + "unknown property type");
        }
        if (!IsInteger(property.countType)) return Fail(error, mesh, where + "a list count must be an integer type");
        property.name = std::string(words[4]);
      } else if (words.size() == 3) {
        if (!ParseScalar(words[1], property.type)) {
          return Fail(error, mesh, where + "unknown property type \"" + Shorten(words[1]) + "\"");
        }
        property.name = std::string(words[2]);
      } else {
        return Fail(error, mesh, where + "expected \"property TYPE NAME\" or \"property list COUNT ITEM NAME\"");
      }
      elements.back().properties.push_back(std::move(property));
    } else {
      return Fail(error, mesh, where + "unknown keyword \"" + Shorten(keyword) + "\"");
    }
  }
  if (!headerEnded) return Fail(error, mesh, "the header has no \"end_header\" line");
  if (!formatSeen) return Fail(error, mesh, "the header has no \"format\" line");

  // 2) which properties carry positions, attributes and faces
  const Element* vertexElement = nullptr;
  int xyz[3] = {-1, -1, -1};
  for (const Element& element : elements) {
    if (element.name != "vertex") continue;
    if (vertexElement) return Fail(error, mesh, "the header has a second element \"vertex\"");
    vertexElement = &element;
    for (size_t p = 0; p < element.properties.size(); ++p) {
      const Property& property = element.properties[p];
      const int axis = property.name == "x" ? 0 : property.name == "y" ? 1 : property.name == "z" ? 2 : -1;
      if (axis < 0) continue;
      if (property.isList) return Fail(error, mesh, "vertex property " + property.name + " is a list");
      xyz[axis] = static_cast<int>(p);
    }
  }
  if (vertexElement && (xyz[0] < 0 || xyz[1] < 0 || xyz[2] < 0)) {
    return Fail(error, mesh, "element vertex lacks one of the properties x, y, z");
  }
  const uint64_t vertexCount = vertexElement ? vertexElement->count : 0;
  AttributePlan plan;
  if (vertexElement) plan = PlanAttributes(*vertexElement);
  // Where each vertex property's value goes: -1 nowhere, 0..2 an axis, else
  // 3 + the entry of `slots`: attribute a, component c.
  std::vector<int> target(vertexElement ? vertexElement->properties.size() : 0, -1);
  std::vector<std::pair<size_t, int>> slots;
  for (int axis = 0; axis < 3; ++axis) {
    if (xyz[axis] >= 0) target[static_cast<size_t>(xyz[axis])] = axis;
  }
  for (size_t a = 0; a < plan.sources.size(); ++a) {
    for (size_t c = 0; c < plan.sources[a].size(); ++c) {
      target[static_cast<size_t>(plan.sources[a][c])] = 3 + static_cast<int>(slots.size());
      slots.emplace_back(a, static_cast<int>(c));
    }
  }

  // 3) body, element by element, row by row. Sizes come from the file:
  // nothing is reserved beyond what the remaining bytes could hold.
  BodyReader body(bytes, pos, format, lineNumber);
  bool facesSeen = false;
  for (const Element& element : elements) {
    const bool isVertex = &element == vertexElement;
    const bool isFace = element.name == "face" && !facesSeen;
    int faceList = -1;
    if (isFace) {
      facesSeen = true;
      for (size_t p = 0; p < element.properties.size(); ++p) {
        const Property& property = element.properties[p];
        if (property.isList && (property.name == "vertex_indices" || property.name == "vertex_index")) {
          if (!IsInteger(property.type)) return Fail(error, mesh, "face indices must be of an integer type");
          faceList = static_cast<int>(p);
          break;
        }
      }
    }
    if (element.properties.empty()) continue;  // nothing to read, however large the count
    if (isVertex) {
      const size_t room = static_cast<size_t>(std::min<uint64_t>(element.count, body.Remaining()));
      mesh.positions.reserve(room * 3);
      for (VertexAttribute& attribute : plan.attributes) {
        attribute.values.reserve(room * static_cast<size_t>(attribute.components));
      }
    }
    float slotValues[16];
    std::vector<float> wideSlots(slots.size() > 16 ? slots.size() : 0);
    float* values = slots.size() > 16 ? wideSlots.data() : slotValues;
    for (uint64_t r = 0; r < element.count; ++r) {
      auto row = [&] {
        return body.IsAscii() ? "line " + std::to_string(body.LineNumber()) + " (element " + element.name + " " +
                                    std::to_string(r) + ")"
                              : "element " + element.name + " " + std::to_string(r);
      };
      if (!body.StartRow()) return Fail(error, mesh, "element " + element.name + " " + std::to_string(r) + ": missing");
      double position[3] = {0.0, 0.0, 0.0};
      for (size_t p = 0; p < element.properties.size(); ++p) {
        const Property& property = element.properties[p];
        auto where = [&] { return row() + ", property " + property.name; };
        if (!property.isList) {
          double value = 0.0;
          if (!body.Read(property.type, value)) return Fail(error, mesh, where() + ": missing or malformed value");
          if (isVertex) {
            const int to = target[p];
            if (to >= 0 && to < 3) position[to] = value;
            if (to >= 3) values[to - 3] = static_cast<float>(value);
          }
          continue;
        }
        double countValue = 0.0;
        if (!body.Read(property.countType, countValue)) return Fail(error, mesh, where() + ": missing list count");
        if (!(countValue >= 0.0) || countValue != std::floor(countValue) || countValue > 1.0e6) {
          return Fail(error, mesh, where() + ": bad list count");
        }
        const auto count = static_cast<int32_t>(countValue);
        const bool keep = static_cast<int>(p) == faceList;
        if (keep) {
          if (count < 3) {
            return Fail(error, mesh, "face " + std::to_string(r) + " has " + std::to_string(count) + " vertices");
          }
          mesh.polygons.push_back(count);
        }
        for (int32_t k = 0; k < count; ++k) {
          double value = 0.0;
          if (!body.Read(property.type, value)) return Fail(error, mesh, where() + ": missing list item");
          if (!keep) continue;
          if (!(value >= 0.0) || value != std::floor(value) || value >= static_cast<double>(vertexCount)) {
            return Fail(error, mesh, "face " + std::to_string(r) + " refers to vertex " + Shorten(std::to_string(value)) +
                                         " of " + std::to_string(vertexCount));
          }
          mesh.polygons.push_back(static_cast<int32_t>(value));
        }
      }
      if (!body.EndRow()) {
        return Fail(error, mesh, row() + ": more values than the " + std::to_string(element.properties.size()) +
                                     " properties of element " + element.name);
      }
      if (isVertex) {
        mesh.positions.insert(mesh.positions.end(), position, position + 3);
        for (size_t slot = 0; slot < slots.size(); ++slot) {
          plan.attributes[slots[slot].first].values.push_back(values[slot]);
        }
      }
    }
  }
  // Values between the rows and the end are refused in ASCII, where they
  // would be rows of an element the header does not count.
  if (body.IsAscii() && body.StartRow()) {
    return Fail(error, mesh, "line " + std::to_string(body.LineNumber()) + ": values after the last element");
  }
  if (!CheckFinitePoints(mesh.positions, error)) return Fail(error, mesh, error);
  mesh.attributes = std::move(plan.attributes);
  return true;
}
