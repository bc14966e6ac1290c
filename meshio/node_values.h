#pragma once
// The per-node values of a mesh (normals, UVs: three values per polygon
// node, see MeshData) as the writers lay them out: shared among the nodes of
// a vertex where they agree (OBJ), or one triple per vertex (PLY).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "mesh_data.h"

// Polygons per block: the files are formatted block by block, several blocks
// at a time on the tool's threads.
constexpr size_t kPolygonsPerBlock = 16384;

// Where blocks of polygons start in the description: the entry of each
// block's first polygon and the number of nodes before it.
struct PolygonBlocks {
  std::vector<size_t> entry;  // one more than the blocks: the end of the description
  std::vector<size_t> node;   // likewise: the node count
  size_t Count() const { return entry.size() - 1; }
};

PolygonBlocks FindPolygonBlocks(const MeshView& mesh);

// Calls visit(node, vertex) for the nodes of block b, in order.
template <class Visit>
void ForEachNodeOfBlock(const MeshView& mesh, const PolygonBlocks& blocks, size_t b, Visit&& visit) {
  size_t node = blocks.node[b];
  for (size_t i = blocks.entry[b]; i < blocks.entry[b + 1]; i += static_cast<size_t>(mesh.polygons[i]) + 1) {
    for (int32_t k = 1; k <= mesh.polygons[i]; ++k, ++node) {
      visit(node, static_cast<size_t>(mesh.polygons[i + static_cast<size_t>(k)]));
    }
  }
}

// Per-node triples shared where the nodes of one vertex agree: `values` holds
// the distinct triples in order of first use, nodeIndex[n] the triple of node n.
// Walking the nodes in order, a node takes its vertex's first triple when it
// equals it, and a triple of its own otherwise. The same at any thread count.
struct SharedNodeValues {
  std::vector<double> values;
  std::vector<int32_t> nodeIndex;
};
SharedNodeValues ShareNodeValues(const MeshView& mesh, const PolygonBlocks& blocks, std::span<const double> nodeValues);

// One triple per vertex (zero for a vertex no polygon uses) when all nodes of
// each vertex agree; false otherwise.
bool PerVertexValues(const MeshView& mesh, std::span<const double> nodeValues, std::vector<double>& perVertex);

// True when `nodeValues` holds three values per node of the mesh.
bool HasNodeValues(const MeshView& mesh, std::span<const double> nodeValues);
