#include "mesh_check.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <vector>

namespace {

// One polygon side from corner `corner` (vertex `from`) to the next corner.
struct HalfEdge {
  int32_t low = 0;   // lower vertex index of the undirected edge
  int32_t high = 0;  // higher vertex index
  bool forward = true;  // runs low -> high
  int64_t fromCorner = 0;
  int64_t toCorner = 0;
};

int64_t Find(std::vector<int64_t>& parent, int64_t x) {
  while (parent[static_cast<size_t>(x)] != x) {
    parent[static_cast<size_t>(x)] = parent[static_cast<size_t>(parent[static_cast<size_t>(x)])];
    x = parent[static_cast<size_t>(x)];
  }
  return x;
}

void Unite(std::vector<int64_t>& parent, int64_t a, int64_t b) {
  a = Find(parent, a);
  b = Find(parent, b);
  if (a != b) parent[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
}

}  // namespace

MeshCheck CheckMesh(const MeshView& mesh) {
  MeshCheck check;

  // 1) half-edges and the vertex of every polygon corner
  std::vector<HalfEdge> halfEdges;
  std::vector<int32_t> cornerVertex;
  halfEdges.reserve(mesh.polygons.size());
  cornerVertex.reserve(mesh.polygons.size());
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    const int32_t n = mesh.polygons[i];
    const auto first = static_cast<int64_t>(cornerVertex.size());
    const int32_t* indices = &mesh.polygons[i + 1];
    bool degenerate = false;
    for (int32_t a = 0; a < n; ++a) {
      for (int32_t b = a + 1; b < n; ++b) degenerate = degenerate || indices[a] == indices[b];
    }
    if (degenerate) ++check.degeneratePolygons;
    for (int32_t k = 0; k < n; ++k) {
      const int32_t from = indices[k];
      const int32_t to = indices[(k + 1) % n];
      cornerVertex.push_back(from);
      if (from == to) continue;
      halfEdges.push_back(HalfEdge{std::min(from, to), std::max(from, to), from < to, first + k, first + (k + 1) % n});
    }
  }
  std::sort(halfEdges.begin(), halfEdges.end(), [](const HalfEdge& a, const HalfEdge& b) {
    return a.low != b.low ? a.low < b.low : a.high < b.high;
  });

  // 2) classify each undirected edge; join the corners that meet across a
  // manifold edge, so that the corners of one vertex fan end up in one set
  std::vector<int64_t> parent(cornerVertex.size());
  std::iota(parent.begin(), parent.end(), int64_t{0});
  for (size_t i = 0; i < halfEdges.size();) {
    size_t j = i;
    int forward = 0;
    while (j < halfEdges.size() && halfEdges[j].low == halfEdges[i].low && halfEdges[j].high == halfEdges[i].high) {
      forward += halfEdges[j].forward ? 1 : 0;
      ++j;
    }
    const size_t uses = j - i;
    if (uses == 1) {
      ++check.boundaryEdges;
    } else if (uses > 2) {
      ++check.nonManifoldEdges;
    } else {
      if (forward != 1) ++check.misorientedEdges;
      const HalfEdge& a = halfEdges[i];
      const HalfEdge& b = halfEdges[i + 1];
      // The corner of vertex `low` in one polygon meets the corner of the same vertex in the other.
      Unite(parent, a.forward ? a.fromCorner : a.toCorner, b.forward ? b.fromCorner : b.toCorner);
      Unite(parent, a.forward ? a.toCorner : a.fromCorner, b.forward ? b.toCorner : b.fromCorner);
    }
    i = j;
  }

  // 3) a vertex is manifold when all its corners form one set
  std::vector<int64_t> rootOfVertex(mesh.VertexCount(), -1);
  std::vector<uint8_t> counted(mesh.VertexCount(), 0);
  for (size_t c = 0; c < cornerVertex.size(); ++c) {
    const auto vertex = static_cast<size_t>(cornerVertex[c]);
    const int64_t root = Find(parent, static_cast<int64_t>(c));
    if (rootOfVertex[vertex] < 0) {
      rootOfVertex[vertex] = root;
    } else if (rootOfVertex[vertex] != root && !counted[vertex]) {
      counted[vertex] = 1;
      ++check.nonManifoldVertices;
    }
  }

  // 4) triangles that coincide with a reversed copy of themselves
  std::vector<std::array<int32_t, 4>> triangles;  // sorted vertices, then the orientation parity
  for (size_t i = 0; i < mesh.polygons.size(); i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    if (mesh.polygons[i] != 3) continue;
    std::array<int32_t, 3> v = {mesh.polygons[i + 1], mesh.polygons[i + 2], mesh.polygons[i + 3]};
    // Parity of the sorting permutation tells the orientation of the triangle.
    int swaps = 0;
    for (int a = 0; a < 2; ++a) {
      for (int b = 0; b < 2 - a; ++b) {
        if (v[b] > v[b + 1]) {
          std::swap(v[b], v[b + 1]);
          ++swaps;
        }
      }
    }
    triangles.push_back({v[0], v[1], v[2], swaps % 2});
  }
  std::sort(triangles.begin(), triangles.end());
  for (size_t i = 0; i < triangles.size();) {
    size_t j = i;
    int64_t even = 0, odd = 0;
    while (j < triangles.size() && std::equal(triangles[j].begin(), triangles[j].begin() + 3, triangles[i].begin())) {
      (triangles[j][3] == 0 ? even : odd) += 1;
      ++j;
    }
    check.coincidentOppositePairs += std::min(even, odd);
    i = j;
  }

  check.closed = !cornerVertex.empty() && check.boundaryEdges == 0;
  check.manifold = check.nonManifoldEdges == 0 && check.nonManifoldVertices == 0 && check.degeneratePolygons == 0;
  check.oriented = check.misorientedEdges == 0;
  return check;
}

std::string DescribeCheck(const MeshCheck& check) {
  std::string text;
  if (check.boundaryEdges == 0 && !check.closed) return "empty";
  if (check.closed) {
    text = "closed";
  } else {
    text = "open (" + std::to_string(check.boundaryEdges) + " boundary edges)";
  }
  if (check.manifold) {
    text += ", 2-manifold";
  } else {
    text += ", not 2-manifold (" + std::to_string(check.nonManifoldEdges) + " non-manifold edges, " +
            std::to_string(check.nonManifoldVertices) + " non-manifold vertices, " +
            std::to_string(check.degeneratePolygons) + " degenerate polygons";
    if (check.coincidentOppositePairs > 0) {
      text += "; " + std::to_string(check.coincidentOppositePairs) +
              " coincident opposite triangle pairs in ambiguous cube faces";
    }
    text += ")";
  }
  text += check.oriented ? ", consistently oriented"
                         : ", not consistently oriented (" + std::to_string(check.misorientedEdges) + " edges)";
  return text;
}
