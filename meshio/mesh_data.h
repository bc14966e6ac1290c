#pragma once
// MeshData: a polygon mesh as the command-line host reads and writes it, and
// MeshView, the same layout over arrays held elsewhere (the host's).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

  size_t VertexCount() const { return positions.size() / 3; }
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

  MeshView() = default;
  MeshView(const MeshData& mesh)  // NOLINT: a MeshData is a mesh to read
      : positions(mesh.positions), polygons(mesh.polygons), nodeNormals(mesh.nodeNormals), nodeUVs(mesh.nodeUVs) {}

  size_t VertexCount() const { return positions.size() / 3; }
  size_t PolygonCount() const;
  size_t NodeCount() const;
  size_t CountPolygonsOfSize(int32_t n) const;
};
