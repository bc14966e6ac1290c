#include "mesh_writers.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tool_threads.h"

namespace {

char* Put(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

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

// Where blocks of polygons start in the description: the entry of each
// block's first polygon and the number of nodes before it. The file is
// formatted block by block, several blocks at a time with threads.
constexpr size_t kPolygonsPerBlock = 16384;

struct PolygonBlocks {
  std::vector<size_t> entry;  // one more than the blocks: the end of the description
  std::vector<size_t> node;   // likewise: the node count
  size_t Count() const { return entry.size() - 1; }
};

PolygonBlocks FindPolygonBlocks(const MeshView& mesh) {
  PolygonBlocks blocks;
  size_t node = 0;
  size_t polygon = 0;
  size_t i = 0;
  for (; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1, ++polygon) {
    if (polygon % kPolygonsPerBlock == 0) {
      blocks.entry.push_back(i);
      blocks.node.push_back(node);
    }
    node += static_cast<size_t>(mesh.polygons[i]);
  }
  blocks.entry.push_back(i);
  blocks.node.push_back(node);
  return blocks;
}

// Calls visit(node, vertex) for the nodes of block b, in order.
template <class Visit>
void ForEachNodeOfBlock(const MeshView& mesh, const PolygonBlocks& blocks, size_t b, Visit&& visit) {
  size_t node = blocks.node[b];
  for (size_t i = blocks.entry[b]; i < blocks.entry[b + 1]; i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    for (int32_t k = 1; k <= mesh.polygons[i]; ++k, ++node) visit(node, static_cast<size_t>(mesh.polygons[i + static_cast<size_t>(k)]));
  }
}

// Per-node triples shared where the nodes of one vertex agree: `values` holds
// the distinct triples in order of first use, nodeIndex[n] the triple of node n.
// Walking the nodes in order, a node takes its vertex's first triple when it
// equals it, and a triple of its own otherwise. Worked out block by block:
// the first node of each vertex, which nodes bring a new triple, where each
// block's new triples go, then the triples and indices.
struct SharedNodeValues {
  std::vector<double> values;
  std::vector<int32_t> nodeIndex;
};

SharedNodeValues ShareNodeValues(const MeshView& mesh, const PolygonBlocks& blocks, std::span<const double> nodeValues) {
  const size_t nodes = blocks.node.back();
  const auto blockCount = static_cast<int64_t>(blocks.Count());
  // 1) the first node of every vertex (the least; the same whoever finds it)
  std::vector<int32_t> first(mesh.VertexCount(), INT32_MAX);
  ForEachToolPart(blockCount, [&](int64_t b) {
    ForEachNodeOfBlock(mesh, blocks, static_cast<size_t>(b), [&](size_t node, size_t vertex) {
      std::atomic_ref<int32_t> least(first[vertex]);
      int32_t seen = least.load(std::memory_order_relaxed);
      while (static_cast<int32_t>(node) < seen && !least.compare_exchange_weak(seen, static_cast<int32_t>(node))) {
      }
    });
  });
  // 2) the nodes that bring a new triple, counted per block
  std::vector<uint8_t> brings(nodes);
  std::vector<size_t> newBefore(blocks.Count() + 1, 0);
  ForEachToolPart(blockCount, [&](int64_t b) {
    size_t count = 0;
    ForEachNodeOfBlock(mesh, blocks, static_cast<size_t>(b), [&](size_t node, size_t vertex) {
      const auto firstNode = static_cast<size_t>(first[vertex]);
      brings[node] = firstNode == node || !SameTriple(&nodeValues[3 * firstNode], &nodeValues[3 * node]);
      count += brings[node];
    });
    newBefore[static_cast<size_t>(b) + 1] = count;
  });
  for (size_t b = 0; b < blocks.Count(); ++b) newBefore[b + 1] += newBefore[b];
  // 3) the new triples in order, then every node's index; a vertex's first
  // node brings its triple, whose index replaces the node number in `first`
  SharedNodeValues shared;
  shared.values.resize(3 * newBefore.back());
  shared.nodeIndex.resize(nodes);
  ForEachToolPart(blockCount, [&](int64_t b) {
    auto index = static_cast<int32_t>(newBefore[static_cast<size_t>(b)]);
    ForEachNodeOfBlock(mesh, blocks, static_cast<size_t>(b), [&](size_t node, size_t) {
      if (!brings[node]) return;
      std::memcpy(&shared.values[3 * static_cast<size_t>(index)], &nodeValues[3 * node], 3 * sizeof(double));
      shared.nodeIndex[node] = index++;
    });
  });
  ForEachToolPart(blockCount, [&](int64_t b) {
    ForEachNodeOfBlock(mesh, blocks, static_cast<size_t>(b), [&](size_t node, size_t vertex) {
      if (!brings[node]) shared.nodeIndex[node] = shared.nodeIndex[static_cast<size_t>(first[vertex])];
    });
  });
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
