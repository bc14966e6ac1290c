#include "vtk_xml_reader.h"

#include <expat.h>
#include <zlib.h>

#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#include "finite_points.h"

namespace {

std::string Shorten(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 40)) out += (c >= 32 && c < 127) ? c : '?';
  return text.size() > 40 ? out + "..." : out;
}

// Size of one value of a VTK XML type name, 0 for an unknown or non-numeric one.
size_t TypeSize(std::string_view type) {
  if (type == "Int8" || type == "UInt8" || type == "Char" || type == "UChar") return 1;
  if (type == "Int16" || type == "UInt16") return 2;
  if (type == "Int32" || type == "UInt32" || type == "Float32") return 4;
  if (type == "Int64" || type == "UInt64" || type == "Float64") return 8;
  return 0;
}

// One value of `type` (TypeSize bytes at `p`, in the file's byte order) as a double.
// The unsigned integer of `size` bytes at `p`.
uint64_t WordAt(const uint8_t* p, size_t size, bool bigEndian) {
  uint64_t u = 0;
  for (size_t i = 0; i < size; ++i) u = u << 8 | p[bigEndian ? i : size - 1 - i];
  return u;
}

double ValueAt(const uint8_t* p, std::string_view type, size_t size, bool bigEndian) {
  uint8_t b[8];
  for (size_t i = 0; i < size; ++i) b[i] = bigEndian ? p[size - 1 - i] : p[i];
  if (type == "Float32") {
    float v;
    std::memcpy(&v, b, 4);
    return v;
  }
  if (type == "Float64") {
    double v;
    std::memcpy(&v, b, 8);
    return v;
  }
  uint64_t u = 0;
  for (size_t i = size; i-- > 0;) u = u << 8 | b[i];
  const bool isSigned = type[0] == 'I' || type == "Char";
  if (!isSigned || size == 8) return isSigned ? static_cast<double>(static_cast<int64_t>(u)) : static_cast<double>(u);
  const uint64_t sign = uint64_t{1} << (8 * size - 1);
  return static_cast<double>(static_cast<int64_t>(u ^ sign) - static_cast<int64_t>(sign));
}

// Base64 read quantum by quantum, so that blocks each padded on their own
// (a header then its data) read as one run of bytes; whitespace is skipped.
class Base64Cursor {
 public:
  Base64Cursor(std::string_view text, size_t at) : text_(text), at_(at) {}
  // Appends `count` more bytes to `out`; false when the text ends first or
  // holds a character outside the alphabet.
  bool Take(size_t count, std::vector<uint8_t>& out) {
    while (count > 0) {
      if (held_ == 0 && !Quantum()) return false;
      const size_t n = count < held_ ? count : held_;
      out.insert(out.end(), bytes_ + (3 - held_), bytes_ + (3 - held_) + n);
      held_ -= n;
      count -= n;
    }
    return true;
  }
  // Bytes the rest of the text can give at most.
  size_t Room() const { return held_ + (at_ < text_.size() ? (text_.size() - at_) / 4 * 3 : 0); }

 private:
  static int Digit(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  }
  bool Quantum() {
    int digits[4];
    int n = 0;
    int pad = 0;
    while (n < 4 && at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
      if (c == '=' && n >= 2) {
        digits[n++] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return false;
      digits[n] = Digit(c);
      if (digits[n++] < 0) return false;
    }
    if (n < 4) return false;
    const uint32_t v = static_cast<uint32_t>(digits[0]) << 18 | static_cast<uint32_t>(digits[1]) << 12 |
                       static_cast<uint32_t>(digits[2]) << 6 | static_cast<uint32_t>(digits[3]);
    held_ = static_cast<size_t>(3 - pad);
    // The held bytes are the last `held_` of bytes_.
    const uint8_t all[3] = {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    for (size_t i = 0; i < held_; ++i) bytes_[3 - held_ + i] = all[i];
    return true;
  }

  std::string_view text_;
  size_t at_;
  uint8_t bytes_[3] = {0, 0, 0};
  size_t held_ = 0;
};

// Where an array's binary block comes from: raw bytes or base64 text.
class BlockSource {
 public:
  BlockSource(std::span<const uint8_t> raw, size_t at) : raw_(raw), at_(at), base64_("", 0), isBase64_(false) {}
  BlockSource(std::string_view text, size_t at) : base64_(text, at), isBase64_(true) {}
  bool Take(size_t count, std::vector<uint8_t>& out) {
    if (isBase64_) return base64_.Take(count, out);
    if (at_ > raw_.size() || count > raw_.size() - at_) return false;
    out.insert(out.end(), raw_.begin() + static_cast<std::ptrdiff_t>(at_),
               raw_.begin() + static_cast<std::ptrdiff_t>(at_ + count));
    at_ += count;
    return true;
  }
  size_t Room() const { return isBase64_ ? base64_.Room() : (at_ <= raw_.size() ? raw_.size() - at_ : 0); }

 private:
  std::span<const uint8_t> raw_;
  size_t at_ = 0;
  Base64Cursor base64_;
  bool isBase64_;
};

struct DataArray {
  std::string name;
  std::string type;
  uint64_t components = 1;
  std::string format;  // ascii, binary, appended
  uint64_t offset = 0;
  std::string text;  // inline content
  bool points = false;
  size_t piece = 0;
};

struct Document {
  std::string type;
  bool bigEndian = false;
  size_t headerSize = 4;
  bool compressed = false;
  std::vector<uint64_t> pieces;  // NumberOfPoints of each
  std::vector<DataArray> arrays;
  bool appended = false;
  bool appendedBase64 = false;
};

// The expat handlers: the elements a points reader needs, the rest passed over.
struct XmlState {
  XML_Parser parser = nullptr;
  Document doc;
  std::vector<std::string> path;
  DataArray* current = nullptr;  // the DataArray being read, whose own text is its values
  size_t currentDepth = 0;        // its depth in `path` (child elements' text is not its values)
  std::string error;

  void Fail(const std::string& message) {
    if (error.empty()) {
      error = "line " + std::to_string(XML_GetCurrentLineNumber(parser)) + ": " + message;
      XML_StopParser(parser, XML_FALSE);
    }
  }
};

const char* Attribute(const XML_Char** attributes, const char* name) {
  for (size_t i = 0; attributes[i] != nullptr; i += 2) {
    if (std::strcmp(attributes[i], name) == 0) return attributes[i + 1];
  }
  return nullptr;
}

bool Count(const char* text, uint64_t& value) {
  const std::string_view word(text);
  const auto result = std::from_chars(word.data(), word.data() + word.size(), value);
  return result.ec == std::errc() && result.ptr == word.data() + word.size();
}

void StartElement(void* data, const XML_Char* name, const XML_Char** attributes) {
  auto& s = *static_cast<XmlState*>(data);
  const std::string element(name);
  const size_t depth = s.path.size();
  const std::string parent = depth > 0 ? s.path.back() : "";
  s.path.push_back(element);
  Document& d = s.doc;
  if (depth == 0) {
    if (element != "VTKFile") return s.Fail("not a VTK XML file (no VTKFile element)");
    const char* type = Attribute(attributes, "type");
    d.type = type != nullptr ? type : "";
    if (d.type != "UnstructuredGrid" && d.type != "PolyData") {
      return s.Fail("VTKFile type \"" + Shorten(d.type) + "\": only UnstructuredGrid and PolyData hold points");
    }
    const char* order = Attribute(attributes, "byte_order");
    d.bigEndian = order != nullptr && std::strcmp(order, "BigEndian") == 0;
    const char* header = Attribute(attributes, "header_type");
    if (header != nullptr && std::strcmp(header, "UInt64") == 0) {
      d.headerSize = 8;
    } else if (header != nullptr && std::strcmp(header, "UInt32") != 0) {
      return s.Fail("header_type \"" + Shorten(header) + "\": expected UInt32 or UInt64");
    }
    const char* compressor = Attribute(attributes, "compressor");
    if (compressor != nullptr && compressor[0] != '\0') {
      if (std::strcmp(compressor, "vtkZLibDataCompressor") != 0) {
        return s.Fail("compressor \"" + Shorten(compressor) + "\": only vtkZLibDataCompressor is read");
      }
      d.compressed = true;
    }
    return;
  }
  if (depth == 1 && element == "AppendedData") {
    const char* encoding = Attribute(attributes, "encoding");
    d.appended = true;
    d.appendedBase64 = encoding == nullptr || std::strcmp(encoding, "raw") != 0;
    return;
  }
  if (depth == 2 && parent == d.type && element == "Piece") {
    uint64_t points = 0;
    const char* count = Attribute(attributes, "NumberOfPoints");
    if (count == nullptr || !Count(count, points)) return s.Fail("a Piece without a NumberOfPoints count");
    if (points > 0x7FFFFFFF) return s.Fail("too many points");
    d.pieces.push_back(points);
    return;
  }
  if (depth == 4 && element == "DataArray" && (parent == "Points" || parent == "PointData") &&
      s.path[2] == "Piece" && s.path[1] == d.type && !d.pieces.empty()) {
    DataArray array;
    array.points = parent == "Points";
    array.piece = d.pieces.size() - 1;
    const char* text = Attribute(attributes, "Name");
    array.name = text != nullptr ? text : "";
    text = Attribute(attributes, "type");
    array.type = text != nullptr ? text : "";
    text = Attribute(attributes, "NumberOfComponents");
    if (text != nullptr && !Count(text, array.components)) return s.Fail("DataArray " + Shorten(array.name) + ": bad NumberOfComponents");
    text = Attribute(attributes, "format");
    array.format = text != nullptr ? text : "ascii";
    if (array.format != "ascii" && array.format != "binary" && array.format != "appended") {
      return s.Fail("DataArray " + Shorten(array.name) + ": format \"" + Shorten(array.format) + "\"");
    }
    text = Attribute(attributes, "offset");
    if (array.format == "appended" && (text == nullptr || !Count(text, array.offset))) {
      return s.Fail("DataArray " + Shorten(array.name) + ": appended without an offset");
    }
    d.arrays.push_back(std::move(array));
    s.current = &d.arrays.back();
    s.currentDepth = s.path.size();
  }
}

void EndElement(void* data, const XML_Char*) {
  auto& s = *static_cast<XmlState*>(data);
  if (s.path.size() == s.currentDepth) s.current = nullptr;
  s.path.pop_back();
}

void Characters(void* data, const XML_Char* text, int length) {
  auto& s = *static_cast<XmlState*>(data);
  if (s.current != nullptr && s.path.size() == s.currentDepth && s.current->format != "appended") {
    s.current->text.append(text, static_cast<size_t>(length));
  }
}

// Decodes one array's `values` (count values) into doubles.
class ArrayDecoder {
 public:
  ArrayDecoder(const Document& doc, std::span<const uint8_t> appended, std::string& error)
      : doc_(doc), appended_(appended), error_(error) {}

  bool Decode(const DataArray& array, uint64_t count, std::vector<double>& out) {
    const size_t size = TypeSize(array.type);
    if (size == 0) return Fail(array, "unknown data type \"" + Shorten(array.type) + "\"");
    out.clear();
    if (array.format == "ascii") return Ascii(array, count, out);
    std::vector<uint8_t> bytes;
    if (array.format == "binary") {
      BlockSource source(std::string_view(array.text), 0);
      if (!Block(array, source, count * size, bytes)) return false;
    } else {
      if (!doc_.appended) return Fail(array, "appended, but the file has no AppendedData");
      const std::string_view text(reinterpret_cast<const char*>(appended_.data()), appended_.size());
      BlockSource source = doc_.appendedBase64 ? BlockSource(text, array.offset) : BlockSource(appended_, array.offset);
      if (array.offset > appended_.size()) return Fail(array, "offset beyond the appended data");
      if (!Block(array, source, count * size, bytes)) return false;
    }
    out.resize(count);
    for (uint64_t i = 0; i < count; ++i) out[i] = ValueAt(bytes.data() + i * size, array.type, size, doc_.bigEndian);
    return true;
  }

 private:
  bool Fail(const DataArray& array, const std::string& message) {
    error_ = "DataArray " + Shorten(array.name.empty() ? array.type : array.name) + ": " + message;
    return false;
  }

  bool Ascii(const DataArray& array, uint64_t count, std::vector<double>& out) {
    const std::string& text = array.text;
    if (count > text.size()) return Fail(array, std::to_string(count) + " values announced, more than the file holds");
    out.reserve(count);
    size_t at = 0;
    const bool single = array.type == "Float32";
    while (true) {
      while (at < text.size() && (text[at] == ' ' || text[at] == '\n' || text[at] == '\r' || text[at] == '\t')) ++at;
      if (at == text.size()) break;
      size_t end = at;
      while (end < text.size() && text[end] != ' ' && text[end] != '\n' && text[end] != '\r' && text[end] != '\t') ++end;
      double value = 0.0;
      const auto result = std::from_chars(text.data() + at, text.data() + end, value);
      if (result.ec != std::errc() || result.ptr != text.data() + end) {
        std::string quoted = Shorten(std::string_view(text).substr(at, end - at));
        quoted.insert(0, 1, '"');
        quoted += "\" is not a number";
        return Fail(array, quoted);
      }
      if (out.size() == count) return Fail(array, "more than the " + std::to_string(count) + " values announced");
      out.push_back(single ? static_cast<double>(static_cast<float>(value)) : value);
      at = end;
    }
    if (out.size() != count) {
      return Fail(array, std::to_string(out.size()) + " of the " + std::to_string(count) + " values announced");
    }
    return true;
  }

  bool Header(BlockSource& source, size_t words, std::vector<uint64_t>& header) {
    std::vector<uint8_t> bytes;
    if (!source.Take(words * doc_.headerSize, bytes)) return false;
    for (size_t w = 0; w < words; ++w) {
      // As an integer: a word near 2^64 has no exact double (nor one that converts back).
      header.push_back(WordAt(bytes.data() + w * doc_.headerSize, doc_.headerSize, doc_.bigEndian));
    }
    return true;
  }

  // The `expected` bytes of a binary block: a header (its byte count, or
  // for zlib its blocks), then the data.
  bool Block(const DataArray& array, BlockSource& source, uint64_t expected, std::vector<uint8_t>& out) {
    std::vector<uint64_t> header;
    if (!doc_.compressed) {
      if (!Header(source, 1, header)) return Fail(array, "the data ends inside its header");
      if (header[0] != expected) {
        return Fail(array, std::to_string(header[0]) + " bytes where " + std::to_string(expected) + " were announced");
      }
      if (expected > source.Room() || !source.Take(expected, out)) return Fail(array, "the data ends early");
      return true;
    }
    if (!Header(source, 3, header)) return Fail(array, "the data ends inside its header");
    const uint64_t blocks = header[0];
    const uint64_t blockSize = header[1];
    const uint64_t lastSize = header[2] == 0 ? blockSize : header[2];
    if (blocks > source.Room() / doc_.headerSize + 1 || (blocks > 0 && blockSize == 0)) {
      return Fail(array, "a zlib header of " + std::to_string(blocks) + " blocks the data cannot hold");
    }
    const uint64_t total = blocks == 0 ? 0 : (blocks - 1) * blockSize + lastSize;
    if (total != expected || lastSize > blockSize) {
      return Fail(array, std::to_string(total) + " bytes where " + std::to_string(expected) + " were announced");
    }
    if (!Header(source, static_cast<size_t>(blocks), header)) return Fail(array, "the data ends inside its header");
    out.resize(static_cast<size_t>(total));
    std::vector<uint8_t> packed;
    for (uint64_t b = 0; b < blocks; ++b) {
      packed.clear();
      const uint64_t size = header[3 + b];
      if (size > source.Room() || !source.Take(static_cast<size_t>(size), packed)) {
        return Fail(array, "the data ends inside zlib block " + std::to_string(b + 1));
      }
      const uint64_t want = b + 1 == blocks ? lastSize : blockSize;
      uLongf got = static_cast<uLongf>(want);
      if (uncompress(out.data() + b * blockSize, &got, packed.data(), static_cast<uLong>(size)) != Z_OK || got != want) {
        return Fail(array, "zlib block " + std::to_string(b + 1) + " does not inflate to its " + std::to_string(want) +
                               " bytes");
      }
    }
    return true;
  }

  const Document& doc_;
  std::span<const uint8_t> appended_;
  std::string& error_;
};

bool Parse(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error) {
  // 1) the XML up to the appended data, whose raw bytes are no XML: the
  // elements still open there are closed for the parser
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  size_t xmlEnd = text.size();
  std::span<const uint8_t> appended;
  const size_t tag = text.find("<AppendedData");
  if (tag != std::string_view::npos) {
    const size_t close = text.find('>', tag);
    const size_t mark = close == std::string_view::npos ? close : text.find('_', close);
    if (mark == std::string_view::npos) {
      error = "the AppendedData element has no \"_\" before its data";
      return false;
    }
    xmlEnd = close + 1;
    appended = bytes.subspan(mark + 1);
  }
  XmlState state;
  state.parser = XML_ParserCreate(nullptr);
  if (state.parser == nullptr) {
    error = "out of memory";
    return false;
  }
  XML_SetUserData(state.parser, &state);
  XML_SetElementHandler(state.parser, StartElement, EndElement);
  XML_SetCharacterDataHandler(state.parser, Characters);
  const std::string closing = tag != std::string_view::npos ? "</AppendedData></VTKFile>" : "";
  bool parsed = true;
  constexpr size_t kChunk = size_t{1} << 30;
  for (size_t at = 0; parsed && at < xmlEnd; at += kChunk) {
    const size_t n = xmlEnd - at < kChunk ? xmlEnd - at : kChunk;
    parsed = XML_Parse(state.parser, text.data() + at, static_cast<int>(n), XML_FALSE) == XML_STATUS_OK;
  }
  parsed = parsed &&
           XML_Parse(state.parser, closing.data(), static_cast<int>(closing.size()), XML_TRUE) == XML_STATUS_OK;
  if (!parsed && state.error.empty()) {
    state.error = "line " + std::to_string(XML_GetCurrentLineNumber(state.parser)) + ", column " +
                  std::to_string(XML_GetCurrentColumnNumber(state.parser)) + ": " +
                  XML_ErrorString(XML_GetErrorCode(state.parser));
  }
  XML_ParserFree(state.parser);
  if (!state.error.empty()) {
    error = state.error;
    return false;
  }
  const Document& doc = state.doc;
  if (doc.pieces.empty()) {
    error = "no Piece of points";
    return false;
  }

  // 2) per piece its points, then the point data every piece has alike
  ArrayDecoder decoder(doc, appended, error);
  std::vector<double> values;
  uint64_t total = 0;
  for (uint64_t points : doc.pieces) total += points;
  if (total > 0x7FFFFFFF) {
    error = "too many points";
    return false;
  }
  for (size_t piece = 0; piece < doc.pieces.size(); ++piece) {
    const DataArray* found = nullptr;
    for (const DataArray& array : doc.arrays) {
      if (array.piece == piece && array.points && found == nullptr) found = &array;
    }
    if (found == nullptr) {
      if (doc.pieces[piece] == 0) continue;
      error = "piece " + std::to_string(piece + 1) + " has no Points array";
      return false;
    }
    if (found->components != 3) {
      error = "Points: " + std::to_string(found->components) + " components, expected 3";
      return false;
    }
    if (!decoder.Decode(*found, 3 * doc.pieces[piece], values)) return false;
    mesh.positions.insert(mesh.positions.end(), values.begin(), values.end());
  }
  for (const DataArray& first : doc.arrays) {
    if (first.piece != 0 || first.points || first.components < 1 || first.components > 4 || TypeSize(first.type) == 0) {
      continue;
    }
    bool repeated = false;
    for (const VertexAttribute& kept : mesh.attributes) repeated = repeated || kept.name == first.name;
    if (repeated) continue;
    VertexAttribute attribute{first.name, static_cast<int32_t>(first.components), {}};
    bool everywhere = true;
    for (size_t piece = 0; piece < doc.pieces.size() && everywhere; ++piece) {
      const DataArray* same = nullptr;
      for (const DataArray& array : doc.arrays) {
        if (same == nullptr && array.piece == piece && !array.points && array.name == first.name) same = &array;
      }
      everywhere = same != nullptr && same->components == first.components && TypeSize(same->type) != 0;
      if (!everywhere) break;
      if (!decoder.Decode(*same, first.components * doc.pieces[piece], values)) return false;
      for (double v : values) attribute.values.push_back(static_cast<float>(v));
    }
    if (everywhere) mesh.attributes.push_back(std::move(attribute));
  }
  return CheckFinitePoints(mesh.positions, error);
}

}  // namespace

bool ReadVtkXml(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error) {
  mesh.Clear();
  if (!Parse(bytes, mesh, error)) {
    mesh.Clear();
    return false;
  }
  return true;
}
