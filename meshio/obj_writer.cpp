#include "obj_writer.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <vector>

#include "byte_sink.h"
#include "node_values.h"
#include "tool_threads.h"

namespace {

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

}  // namespace

void WriteObj(const MeshView& mesh, std::string_view objectName, std::string_view comment, const ByteSink& sink) {
  const bool withNormals = HasNodeValues(mesh, mesh.nodeNormals);
  const bool withUVs = HasNodeValues(mesh, mesh.nodeUVs);
  const PolygonBlocks blocks = FindPolygonBlocks(mesh);
  const SharedNodeValues normals = withNormals ? ShareNodeValues(mesh, blocks, mesh.nodeNormals) : SharedNodeValues();
  const SharedNodeValues uvs = withUVs ? ShareNodeValues(mesh, blocks, mesh.nodeUVs) : SharedNodeValues();

  // The file as a list of pieces: the head, then blocks of v, vt, vn and f
  // lines. Pieces are formatted side by side (each into a buffer of its own)
  // and handed to the sink in order.
  struct Piece {
    int kind;      // 0 head, 1 v, 2 vt, 3 vn, 4 f
    size_t first;  // the first line (for f, the block)
    size_t end;
  };
  std::vector<Piece> pieces{{0, 0, 0}};
  const auto addLines = [&pieces](int kind, size_t lines) {
    for (size_t first = 0; first < lines; first += kPolygonsPerBlock) {
      pieces.push_back(Piece{kind, first, std::min(lines, first + kPolygonsPerBlock)});
    }
  };
  addLines(1, mesh.VertexCount());
  addLines(2, uvs.values.size() / 3);
  addLines(3, normals.values.size() / 3);
  for (size_t b = 0; b < blocks.Count(); ++b) pieces.push_back(Piece{4, b, b + 1});

  const size_t nodeChars = 1 + kIndexChars + (withUVs ? 1 + kIndexChars : 0) + (withNormals ? 2 + kIndexChars : 0);
  const auto format = [&](const Piece& piece, std::string& text) {
    // Room for the longest text of every line, then cut to what was written.
    const auto valueLines = [&](std::string_view tag, std::span<const double> values, int count) {
      text.resize((piece.end - piece.first) * (tag.size() + 3 * (kNumberChars + 1) + 1));
      char* at = text.data();
      for (size_t line = piece.first; line < piece.end; ++line) {
        at = Put(at, tag);
        for (int c = 0; c < count; ++c) {
          if (c > 0) *at++ = ' ';
          at = PutNumber(at, values[3 * line + static_cast<size_t>(c)]);
        }
        *at++ = '\n';
      }
      text.resize(static_cast<size_t>(at - text.data()));
    };
    switch (piece.kind) {
      case 0:
        text = "# " + OneLine(comment) + "\no " + OneLine(objectName) + "\n";
        return;
      case 1: return valueLines("v ", mesh.positions, 3);
      case 2: return valueLines("vt ", uvs.values, 2);
      case 3: return valueLines("vn ", normals.values, 3);
      default: break;
    }
    const size_t b = piece.first;
    const size_t entries = blocks.entry[b + 1] - blocks.entry[b];
    text.resize(entries * (2 + nodeChars));
    char* at = text.data();
    size_t node = blocks.node[b];
    for (size_t i = blocks.entry[b]; i < blocks.entry[b + 1]; i += static_cast<size_t>(mesh.polygons[i]) + 1) {
      const int32_t corners = mesh.polygons[i];
      *at++ = 'f';
      for (int32_t k = 1; k <= corners; ++k, ++node) {
        *at++ = ' ';
        at = PutIndex(at, static_cast<int64_t>(mesh.polygons[i + static_cast<size_t>(k)]) + 1);
        if (withUVs) {
          *at++ = '/';
          at = PutIndex(at, static_cast<int64_t>(uvs.nodeIndex[node]) + 1);
        }
        if (withNormals) {
          at = Put(at, withUVs ? "/" : "//");
          at = PutIndex(at, static_cast<int64_t>(normals.nodeIndex[node]) + 1);
        }
      }
      *at++ = '\n';
    }
    text.resize(static_cast<size_t>(at - text.data()));
  };
  // A few pieces per thread in flight, each buffer reused by every
  // inFlight-th piece.
  const int64_t inFlight = 2 * static_cast<int64_t>(ToolThreads());
  std::vector<std::string> buffers(static_cast<size_t>(inFlight));
  PipelineInOrder(
      static_cast<int64_t>(pieces.size()), inFlight,
      [&](int64_t p) { format(pieces[static_cast<size_t>(p)], buffers[static_cast<size_t>(p % inFlight)]); },
      [&](int64_t p) {
        const std::string& text = buffers[static_cast<size_t>(p % inFlight)];
        if (!text.empty()) sink(text);
      });
}

std::string WriteObj(const MeshView& mesh, std::string_view objectName, std::string_view comment) {
  std::string bytes;
  WriteObj(mesh, objectName, comment, [&bytes](std::string_view piece) { bytes.append(piece); });
  return bytes;
}
