#include "node_values.h"

#include <atomic>
#include <climits>
#include <cstring>

#include "tool_threads.h"

namespace {

bool SameTriple(const double* a, const double* b) { return std::memcmp(a, b, 3 * sizeof(double)) == 0; }

}  // namespace

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

// Worked out block by block: the first node of each vertex, which nodes
// bring a new triple, where each block's new triples go, then the triples and
// indices.
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
