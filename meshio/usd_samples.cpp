#include "usd_samples.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "node_values.h"
#include "tool_threads.h"

namespace {

// One entry per UsdAttribute, in its order.
constexpr std::array<UsdAttributeInfo, kUsdAttributeCount> kAttributes = {{
    {"float3[] extent", ""},
    {"int[] faceVertexCounts", ""},
    {"int[] faceVertexIndices", ""},
    {"point3f[] points", ""},
    {"normal3f[] normals", "vertex"},
    {"texCoord2f[] primvars:st", "vertex"},
    {"vector3f[] velocities", ""},
}};

// The longest texts: a shortest round-trip float ("-1.17549435e-38") and an int32.
constexpr size_t kFloatChars = 16;
constexpr size_t kIntChars = 11;
constexpr size_t kItemsPerBlock = 16384;

constexpr char kPackSignature[8] = {'G', 'L', 'O', 'U', 'S', 'D', '0', '1'};

// The header of a packed frame, written raw: the processes that exchange it
// run on one machine.
struct PackedHeader {
  char signature[8];
  int64_t frame;
  uint64_t has;  // bit a: attribute a has values
  uint64_t lengths[kUsdAttributeCount];
};
static_assert(sizeof(PackedHeader) == 24 + 8 * kUsdAttributeCount, "a packed frame's header has no padding");

char* PutFloat(char* at, float value) {
  if (std::isnan(value)) return Put(at, "nan");
  if (std::isinf(value)) return Put(at, value > 0 ? "inf" : "-inf");
  return std::to_chars(at, at + kFloatChars, value).ptr;
}

// Tuples of `width` floats, "(a, b, c)", separated by ", ".
char* PutTuple(char* at, const float* values, size_t width) {
  *at++ = '(';
  for (size_t c = 0; c < width; ++c) {
    if (c > 0) at = Put(at, ", ");
    at = PutFloat(at, values[c]);
  }
  *at++ = ')';
  return at;
}

// Formats `line`: its head, then `items` items in blocks on the tool's
// threads (each into a buffer of its own, at most `itemChars` bytes an item
// with its separator), handed to the sink in order, then its end.
template <class PutItem>
void FormatLine(int64_t frame, size_t items, size_t itemChars, PutItem&& putItem, const ByteSink& sink) {
  char head[48];
  char* at = Put(head, "            ");
  at = std::to_chars(at, head + sizeof head, frame).ptr;
  at = Put(at, ": [");
  sink(std::string_view(head, static_cast<size_t>(at - head)));
  const auto blocks = static_cast<int64_t>((items + kItemsPerBlock - 1) / kItemsPerBlock);
  const int64_t inFlight = 2 * static_cast<int64_t>(ToolThreads());
  std::vector<std::string> buffers(static_cast<size_t>(inFlight));
  PipelineInOrder(
      blocks, inFlight,
      [&](int64_t b) {
        std::string& text = buffers[static_cast<size_t>(b % inFlight)];
        const size_t first = static_cast<size_t>(b) * kItemsPerBlock;
        const size_t end = std::min(items, first + kItemsPerBlock);
        text.resize((end - first) * itemChars);
        char* out = text.data();
        for (size_t i = first; i < end; ++i) {
          if (i > 0) out = Put(out, ", ");
          out = putItem(out, i);
        }
        text.resize(static_cast<size_t>(out - text.data()));
      },
      [&](int64_t b) { sink(buffers[static_cast<size_t>(b % inFlight)]); });
  sink("],\n");
}

// Per-vertex values of per-node triples, as floats, `width` of the three
// kept; false with the first vertex whose nodes disagree.
bool PerPoint(const MeshView& mesh, std::span<const double> nodeValues, size_t width, std::vector<float>& out,
              size_t& badVertex) {
  std::vector<double> perVertex;
  if (!PerVertexValues(mesh, nodeValues, perVertex)) {
    // Found again, for the message: the first vertex whose nodes disagree.
    std::vector<int64_t> firstNode(mesh.VertexCount(), -1);
    size_t node = 0;
    for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
      for (int32_t k = 1; k <= mesh.polygons[i]; ++k, ++node) {
        const auto vertex = static_cast<size_t>(mesh.polygons[i + static_cast<size_t>(k)]);
        if (firstNode[vertex] < 0) {
          firstNode[vertex] = static_cast<int64_t>(node);
        } else if (std::memcmp(&nodeValues[3 * static_cast<size_t>(firstNode[vertex])], &nodeValues[3 * node],
                               3 * sizeof(double)) != 0) {
          badVertex = vertex;
          return false;
        }
      }
    }
    badVertex = 0;
    return false;
  }
  out.resize(mesh.VertexCount() * width);
  for (size_t v = 0; v < mesh.VertexCount(); ++v) {
    for (size_t c = 0; c < width; ++c) out[v * width + c] = static_cast<float>(perVertex[3 * v + c]);
  }
  return true;
}

}  // namespace

const UsdAttributeInfo& UsdAttributeOf(UsdAttribute attribute) { return kAttributes[static_cast<size_t>(attribute)]; }

bool UsdFrameSamples::Take(int64_t frame, const MeshView& mesh, std::span<const float> velocities,
                           std::string& error) {
  frame_ = frame;
  has_.fill(false);
  const std::string where = "frame " + std::to_string(frame) + ": ";
  const size_t vertices = mesh.VertexCount();

  // 1) the geometry
  points_.resize(3 * vertices);
  for (size_t i = 0; i < points_.size(); ++i) points_[i] = static_cast<float>(mesh.positions[i]);
  counts_.clear();
  indices_.clear();
  counts_.reserve(mesh.PolygonCount());
  indices_.reserve(mesh.polygons.size());
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    counts_.push_back(mesh.polygons[i]);
    indices_.insert(indices_.end(), mesh.polygons.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                    mesh.polygons.begin() + static_cast<std::ptrdiff_t>(i) + 1 + mesh.polygons[i]);
  }
  for (const UsdAttribute a : {UsdAttribute::Extent, UsdAttribute::FaceVertexCounts,
                               UsdAttribute::FaceVertexIndices, UsdAttribute::Points}) {
    has_[static_cast<size_t>(a)] = true;
  }

  // 2) one normal and one UV per point
  size_t badVertex = 0;
  normals_.clear();
  uvs_.clear();
  if (HasNodeValues(mesh, mesh.nodeNormals)) {
    if (!PerPoint(mesh, mesh.nodeNormals, 3, normals_, badVertex)) {
      error = where + "the normals of vertex " + std::to_string(badVertex) +
              " differ between its polygons, and a USD layer holds one normal per point";
      return false;
    }
    has_[static_cast<size_t>(UsdAttribute::Normals)] = true;
  }
  if (HasNodeValues(mesh, mesh.nodeUVs)) {
    if (!PerPoint(mesh, mesh.nodeUVs, 2, uvs_, badVertex)) {
      error = where + "the UVs of vertex " + std::to_string(badVertex) +
              " differ between its polygons, and a USD layer holds one UV per point";
      return false;
    }
    has_[static_cast<size_t>(UsdAttribute::St)] = true;
  }

  // 3) velocities, when given
  velocities_.clear();
  if (!velocities.empty()) {
    if (velocities.size() != 3 * vertices) {
      error = where + std::to_string(velocities.size()) + " velocity values for " + std::to_string(vertices) +
              " points (expected three per point)";
      return false;
    }
    velocities_.assign(velocities.begin(), velocities.end());
    has_[static_cast<size_t>(UsdAttribute::Velocities)] = true;
  }
  return true;
}

void UsdFrameSamples::Format(UsdAttribute attribute, const ByteSink& sink) const {
  const auto tuples = [&](const std::vector<float>& values, size_t width) {
    FormatLine(
        frame_, values.size() / width, width * (kFloatChars + 2) + 4,
        [&](char* at, size_t i) { return PutTuple(at, &values[i * width], width); }, sink);
  };
  const auto integers = [&](const std::vector<int32_t>& values) {
    FormatLine(
        frame_, values.size(), kIntChars + 2,
        [&](char* at, size_t i) { return std::to_chars(at, at + kIntChars, values[i]).ptr; }, sink);
  };
  switch (attribute) {
    case UsdAttribute::Extent: {
      // The box of the points (NaN coordinates do not widen it); an empty
      // frame's is the origin, as readers want two corners.
      std::vector<float> box(6, 0.0f);
      if (!points_.empty()) {
        box = {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity(),
               std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
               -std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};
        for (size_t i = 0; i < points_.size(); ++i) {
          box[i % 3] = std::min(box[i % 3], points_[i]);
          box[3 + i % 3] = std::max(box[3 + i % 3], points_[i]);
        }
      }
      return tuples(box, 3);
    }
    case UsdAttribute::FaceVertexCounts: return integers(counts_);
    case UsdAttribute::FaceVertexIndices: return integers(indices_);
    case UsdAttribute::Points: return tuples(points_, 3);
    case UsdAttribute::Normals: return tuples(normals_, 3);
    case UsdAttribute::St: return tuples(uvs_, 2);
    case UsdAttribute::Velocities: return tuples(velocities_, 3);
  }
}

std::string UsdFrameSamples::Pack() const {
  PackedHeader header{};
  std::memcpy(header.signature, kPackSignature, sizeof kPackSignature);
  header.frame = frame_;
  std::string lines;
  for (size_t a = 0; a < kUsdAttributeCount; ++a) {
    if (has_[a]) header.has |= uint64_t{1} << a;
    const size_t before = lines.size();
    Format(static_cast<UsdAttribute>(a), [&lines](std::string_view piece) { lines.append(piece); });
    header.lengths[a] = lines.size() - before;
  }
  std::string packed(reinterpret_cast<const char*>(&header), sizeof header);
  return packed + lines;
}

bool UnpackUsdFrame(std::string_view packed, UnpackedUsdFrame& frame, std::string& error) {
  PackedHeader header{};
  if (packed.size() < sizeof header) {
    error = "a packed USD frame of " + std::to_string(packed.size()) + " bytes is shorter than its header";
    return false;
  }
  std::memcpy(&header, packed.data(), sizeof header);
  if (std::memcmp(header.signature, kPackSignature, sizeof kPackSignature) != 0) {
    error = "not a packed USD frame (wrong signature)";
    return false;
  }
  size_t at = sizeof header;
  for (size_t a = 0; a < kUsdAttributeCount; ++a) {
    if (header.lengths[a] > packed.size() - at) {
      error = "a packed USD frame is shorter than its lengths say";
      return false;
    }
    frame.lines[a] = packed.substr(at, header.lengths[a]);
    frame.has[a] = (header.has >> a) & 1;
    at += header.lengths[a];
  }
  if (at != packed.size()) {
    error = "a packed USD frame is longer than its lengths say";
    return false;
  }
  frame.frame = header.frame;
  return true;
}
