#pragma once
// MeshData: a polygon mesh as the command-line host reads and writes it, and
// MeshView, the same layout over arrays held elsewhere (the host's).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A named per-vertex attribute: `components` floats per vertex (1 for a
// scalar, 3 for a vector), vertex i's at values[i * components + c]. The
// readers name the usual ones as the particle formats do: "v" the velocity,
// "N" the normal; others keep the file's name.
struct VertexAttribute {
  std::string name;
  int32_t components = 1;
  std::vector<float> values;

  size_t Count() const { return components > 0 ? values.size() / static_cast<size_t>(components) : 0; }
};

// The same, over values held elsewhere (the name is its own).
struct AttributeView {
  std::string name;
  int32_t components = 1;
  std::span<const float> values;
};

struct MeshData {
  // x, y, z of vertex i at positions[3i], [3i + 1], [3i + 2].
  std::vector<double> positions;
  // The host's polygon description: per polygon its vertex count n, then n
  // vertex indices into `positions`.
  std::vector<int32_t> polygons;
  // Empty, or three values per polygon node (x, y, z of a normal; u, v, w of a
  // texture coordinate), polygons in order and the nodes of each in order.
  std::vector<double> nodeNormals;
  std::vector<double> nodeUVs;
  // Per-vertex attributes, in the file's order, each with one entry per vertex.
  std::vector<VertexAttribute> attributes;

  size_t VertexCount() const { return positions.size() / 3; }
  // The attribute named `name`, or null.
  const VertexAttribute* FindAttribute(std::string_view name) const;
  // Number of polygons, triangles and quads of `polygons`; assumes a well-formed
  // description.
  size_t PolygonCount() const;
  size_t NodeCount() const;
  size_t CountPolygonsOfSize(int32_t n) const;
  void Clear();
};

// A mesh in MeshData's layout whose arrays belong to someone else: the
// writers and the check read it, so the host's arrays are written out
// without a copy. Valid while those arrays are neither changed nor freed.
struct MeshView {
  std::span<const double> positions;
  std::span<const int32_t> polygons;
  std::span<const double> nodeNormals;
  std::span<const double> nodeUVs;
  // Per-vertex attributes, each with one entry per vertex (the writers that
  // have a place for them write them in this order).
  std::vector<AttributeView> attributes;

  MeshView() = default;
  MeshView(const MeshData& mesh);  // NOLINT: a MeshData is a mesh to read

  size_t VertexCount() const { return positions.size() / 3; }
  size_t PolygonCount() const;
  size_t NodeCount() const;
  size_t CountPolygonsOfSize(int32_t n) const;
};
