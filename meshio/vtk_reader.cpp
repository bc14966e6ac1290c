#include "vtk_reader.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "finite_points.h"

namespace {

// The size in bytes of one value of a legacy type name, 0 for an unknown one.
size_t TypeSize(std::string_view type) {
  if (type == "unsigned_char" || type == "char") return 1;
  if (type == "unsigned_short" || type == "short") return 2;
  if (type == "unsigned_int" || type == "int" || type == "float") return 4;
  if (type == "unsigned_long" || type == "long" || type == "double" || type == "vtktypeint64" ||
      type == "vtktypeuint64" || type == "vtkidtype") {
    return 8;
  }
  return 0;
}

bool IsSigned(std::string_view type) { return type.substr(0, 8) != "unsigned" && type != "vtktypeuint64"; }
bool IsFloating(std::string_view type) { return type == "float" || type == "double"; }

std::string Shorten(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 40)) out += (c >= 32 && c < 127) ? c : '?';
  return text.size() > 40 ? out + "..." : out;
}

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

bool Count(std::string_view word, uint64_t& value) {
  const auto result = std::from_chars(word.data(), word.data() + word.size(), value);
  return result.ec == std::errc() && result.ptr == word.data() + word.size();
}

class VtkParser {
 public:
  VtkParser(std::span<const uint8_t> bytes, std::string& error)
      : text_(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error_(error) {}

  bool Parse(MeshData& mesh);

 private:
  // The next line (without its end), empty lines skipped when `skipEmpty`.
  bool Line(std::string_view& line, bool skipEmpty = true) {
    while (pos_ < text_.size()) {
      size_t end = text_.find('\n', pos_);
      if (end == std::string_view::npos) end = text_.size();
      line = text_.substr(pos_, end - pos_);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      pos_ = end < text_.size() ? end + 1 : end;
      ++lineNumber_;
      if (!skipEmpty || !Words(line).empty()) return true;
    }
    return false;
  }

  // The next line's first word, the position left where it was.
  std::string_view PeekWord() {
    const size_t pos = pos_;
    const int64_t lineNumber = lineNumber_;
    std::string_view line;
    std::string_view word;
    if (Line(line)) {
      const auto words = Words(line);
      if (!words.empty()) word = words[0];
    }
    pos_ = pos;
    lineNumber_ = lineNumber;
    return word;
  }

  bool Fail(const std::string& message) {
    error_ = "line " + std::to_string(lineNumber_) + ": " + message;
    return false;
  }

  // `count` values of `type`, as doubles into `out` (when given).
  bool Values(uint64_t count, std::string_view type, std::vector<double>* out) {
    const size_t size = TypeSize(type);
    if (size == 0) return Fail("unknown data type \"" + Shorten(type) + "\"");
    // Each value takes at least `size` bytes in binary, two (a digit and a
    // space) in ASCII, so no count beyond what is left is ever reserved.
    const uint64_t room = (text_.size() - pos_) / (binary_ ? size : 1);
    if (count > room) return Fail(std::to_string(count) + " values announced, more than the file holds");
    if (out != nullptr) out->reserve(out->size() + static_cast<size_t>(count));
    if (binary_) {
      for (uint64_t i = 0; i < count; ++i) {
        uint8_t raw[8];
        std::memcpy(raw, text_.data() + pos_, size);
        pos_ += size;
        for (size_t b = 0; b < size / 2; ++b) std::swap(raw[b], raw[size - 1 - b]);  // big-endian
        if (out != nullptr) out->push_back(Decode(raw, size, type));
      }
      if (pos_ < text_.size() && text_[pos_] == '\n') {
        ++pos_;
        ++lineNumber_;
      }
      return true;
    }
    for (uint64_t i = 0; i < count; ++i) {
      while (pos_ < text_.size() && IsSpace(text_[pos_])) {
        if (text_[pos_] == '\n') ++lineNumber_;
        ++pos_;
      }
      const size_t start = pos_;
      while (pos_ < text_.size() && !IsSpace(text_[pos_])) ++pos_;
      if (pos_ == start) return Fail("the data ends after " + std::to_string(i) + " of " + std::to_string(count) + " values");
      const char* first = text_.data() + start;
      const char* last = text_.data() + pos_;
      if (*first == '+') ++first;
      double value = 0.0;
      const auto result = std::from_chars(first, last, value);
      if (first == last || result.ec != std::errc() || result.ptr != last || !std::isfinite(value)) {
        std::string message = Shorten(std::string_view(text_.data() + start, pos_ - start));
        message.insert(0, 1, '"');
        message += "\" is not a finite decimal number";
        return Fail(message);
      }
      if (out != nullptr) out->push_back(value);
    }
    return true;
  }

  static double Decode(const uint8_t* raw, size_t size, std::string_view type) {
    if (IsFloating(type)) {
      if (size == 4) {
        float f;
        std::memcpy(&f, raw, 4);
        return f;
      }
      double d;
      std::memcpy(&d, raw, 8);
      return d;
    }
    uint64_t bits = 0;
    std::memcpy(&bits, raw, size);
    if (!IsSigned(type)) return static_cast<double>(bits);
    const int shift = static_cast<int>(64 - 8 * size);
    return static_cast<double>(static_cast<int64_t>(bits << shift) >> shift);
  }

  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

  // Cells: "OFFSETS type" and "CONNECTIVITY type" arrays (version 5), or
  // `size` int values (earlier versions). Read past.
  bool Cells(uint64_t rows, uint64_t size) {
    if (PeekWord() != "OFFSETS") return Values(size, "int", nullptr);
    for (const char* name : {"OFFSETS", "CONNECTIVITY"}) {
      std::string_view line;
      Line(line);
      const auto words = Words(line);
      if (words.size() != 2 || words[0] != name) return Fail(std::string("expected \"") + name + " TYPE\"");
      if (!Values(name[0] == 'O' ? rows : size, words[1], nullptr)) return false;
    }
    return true;
  }

  // One array of point or cell data: kept as an attribute when it is point
  // data of 1 to 4 components per point.
  bool DataArray(std::string_view name, uint64_t components, std::string_view type, MeshData& mesh) {
    const bool keep = pointData_ && components >= 1 && components <= 4;
    std::vector<double> values;
    if (!Values(components * count_, type, keep ? &values : nullptr)) return false;
    if (!keep) return true;
    VertexAttribute attribute{std::string(name), static_cast<int32_t>(components), {}};
    attribute.values.reserve(values.size());
    for (double value : values) attribute.values.push_back(static_cast<float>(value));
    for (const VertexAttribute& other : mesh.attributes) {
      if (other.name == attribute.name) return true;  // the first of a name is kept
    }
    mesh.attributes.push_back(std::move(attribute));
    return true;
  }

  std::string_view text_;
  std::string& error_;
  size_t pos_ = 0;
  int64_t lineNumber_ = 0;
  bool binary_ = false;
  bool pointData_ = false;
  uint64_t count_ = 0;  // points or cells of the current data section
};

bool VtkParser::Parse(MeshData& mesh) {
  // 1) header: signature, title, ASCII or BINARY, the dataset
  std::string_view line;
  if (!Line(line, false) || line.substr(0, 22) != "# vtk DataFile Version") {
    return Fail("not a VTK legacy file (no \"# vtk DataFile Version\" line)");
  }
  if (!Line(line, false)) return Fail("the file ends after its first line");
  if (!Line(line)) return Fail("the file ends before \"ASCII\" or \"BINARY\"");
  const std::vector<std::string_view> format = Words(line);
  if (format.size() != 1 || (format[0] != "ASCII" && format[0] != "BINARY")) return Fail("expected ASCII or BINARY");
  binary_ = format[0] == "BINARY";
  if (!Line(line)) return Fail("the file ends before its DATASET line");
  std::vector<std::string_view> words = Words(line);
  if (words.size() != 2 || words[0] != "DATASET") return Fail("expected \"DATASET TYPE\"");
  if (words[1] != "POLYDATA" && words[1] != "UNSTRUCTURED_GRID") {
    return Fail("dataset " + Shorten(words[1]) + ": only POLYDATA and UNSTRUCTURED_GRID hold points");
  }

  // 2) sections, each a keyword line and its data
  bool pointsSeen = false;
  std::vector<double> positions;
  while (Line(line)) {
    words = Words(line);
    const std::string_view keyword = words[0];
    uint64_t a = 0;
    uint64_t b = 0;
    if (keyword == "POINTS") {
      if (words.size() != 3 || !Count(words[1], a)) return Fail("expected \"POINTS COUNT TYPE\"");
      if (pointsSeen) return Fail("a second POINTS section");
      pointsSeen = true;
      if (a > 0x7FFFFFFF) return Fail("too many points");
      if (!Values(3 * a, words[2], &positions)) return false;
    } else if (keyword == "VERTICES" || keyword == "LINES" || keyword == "POLYGONS" || keyword == "TRIANGLE_STRIPS" ||
               keyword == "CELLS") {
      if (words.size() != 3 || !Count(words[1], a) || !Count(words[2], b)) return Fail("expected \"CELLS COUNT SIZE\"");
      if (!Cells(a, b)) return false;
    } else if (keyword == "CELL_TYPES") {
      if (words.size() != 2 || !Count(words[1], a)) return Fail("expected \"CELL_TYPES COUNT\"");
      if (!Values(a, "int", nullptr)) return false;
    } else if (keyword == "POINT_DATA" || keyword == "CELL_DATA") {
      if (words.size() != 2 || !Count(words[1], count_)) return Fail("expected \"" + std::string(keyword) + " COUNT\"");
      pointData_ = keyword == "POINT_DATA";
      if (pointData_ && count_ != positions.size() / 3) {
        return Fail("POINT_DATA " + std::to_string(count_) + " for " + std::to_string(positions.size() / 3) + " points");
      }
    } else if (keyword == "SCALARS") {
      if ((words.size() != 3 && words.size() != 4) || (words.size() == 4 && !Count(words[3], a))) {
        return Fail("expected \"SCALARS NAME TYPE [COMPONENTS]\"");
      }
      if (words.size() == 3) a = 1;
      std::string_view table;
      if (!Line(table) || Words(table)[0] != "LOOKUP_TABLE") return Fail("expected \"LOOKUP_TABLE NAME\"");
      if (!DataArray(words[1], a, words[2], mesh)) return false;
    } else if (keyword == "LOOKUP_TABLE") {
      if (words.size() != 3 || !Count(words[2], a)) return Fail("expected \"LOOKUP_TABLE NAME SIZE\"");
      if (!Values(4 * a, binary_ ? "unsigned_char" : "float", nullptr)) return false;
    } else if (keyword == "COLOR_SCALARS") {
      if (words.size() != 3 || !Count(words[2], a)) return Fail("expected \"COLOR_SCALARS NAME COMPONENTS\"");
      if (!DataArray(words[1], a, binary_ ? "unsigned_char" : "float", mesh)) return false;
    } else if (keyword == "VECTORS" || keyword == "NORMALS") {
      if (words.size() != 3) return Fail("expected \"" + std::string(keyword) + " NAME TYPE\"");
      if (!DataArray(words[1], 3, words[2], mesh)) return false;
    } else if (keyword == "TEXTURE_COORDINATES") {
      if (words.size() != 4 || !Count(words[2], a)) return Fail("expected \"TEXTURE_COORDINATES NAME DIMENSION TYPE\"");
      if (!DataArray(words[1], a, words[3], mesh)) return false;
    } else if (keyword == "TENSORS") {
      if (words.size() != 3) return Fail("expected \"TENSORS NAME TYPE\"");
      if (!DataArray(words[1], 9, words[2], mesh)) return false;
    } else if (keyword == "FIELD") {
      if (words.size() != 3 || !Count(words[2], a)) return Fail("expected \"FIELD NAME ARRAYS\"");
      for (uint64_t i = 0; i < a; ++i) {
        std::string_view header;
        if (!Line(header)) return Fail("the file ends inside FIELD " + Shorten(words[1]));
        std::vector<std::string_view> array = Words(header);
        if (array[0] == "METADATA") {
          while (Line(header, false) && !Words(header).empty()) {
          }
          --i;
          continue;
        }
        uint64_t components = 0;
        uint64_t tuples = 0;
        if (array.size() != 4 || !Count(array[1], components) || !Count(array[2], tuples)) {
          return Fail("expected \"NAME COMPONENTS TUPLES TYPE\"");
        }
        // An array of the data section's length is per point (or cell);
        // one of another length (the dataset's own, a time) is read past.
        if (tuples == count_ && pointsSeen) {
          if (!DataArray(array[0], components, array[3], mesh)) return false;
        } else if (!Values(components * tuples, array[3], nullptr)) {
          return false;
        }
      }
    } else if (keyword == "METADATA") {
      // INFORMATION and COMPONENT_NAMES lines, up to an empty line
      while (Line(line, false) && !Words(line).empty()) {
      }
    } else {
      return Fail("unknown section \"" + Shorten(keyword) + "\"");
    }
  }
  if (!pointsSeen) return Fail("the file has no POINTS section");
  if (!CheckFinitePoints(positions, error_)) return false;
  mesh.positions = std::move(positions);
  return true;
}

}  // namespace

bool ReadVtk(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error) {
  mesh.Clear();
  VtkParser parser(bytes, error);
  if (parser.Parse(mesh)) return true;
  mesh.Clear();
  return false;
}
