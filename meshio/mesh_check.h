#pragma once
// Topology check of a polygon mesh: closed, 2-manifold, consistently oriented.

#include <cstdint>
#include <string>

#include "mesh_data.h"

struct MeshCheck {
  int64_t boundaryEdges = 0;      // undirected edges used by one polygon
  int64_t nonManifoldEdges = 0;   // undirected edges used by more than two polygons
  int64_t misorientedEdges = 0;   // edges of two polygons that run the same way in both
  int64_t nonManifoldVertices = 0;  // vertices whose polygons form more than one fan
  int64_t degeneratePolygons = 0;   // polygons that use a vertex twice
  // Pairs of triangles over the same three vertices with opposite orientation.
  // The cube table can put such a pair in an ambiguous lattice face shared by
  // two cubes; each pair makes its three edges non-manifold.
  int64_t coincidentOppositePairs = 0;

  // At least one polygon and no boundary edge.
  bool closed = false;
  // Every edge has one or two polygons, every vertex one fan, no polygon uses a vertex twice.
  bool manifold = false;
  // Every edge shared by two polygons runs in opposite directions in them.
  bool oriented = false;
};

// Checks `mesh.polygons` (a well-formed description whose indices lie below
// the vertex count). Runs in O(E log E) for E polygon edges.
MeshCheck CheckMesh(const MeshView& mesh);

// One line such as "closed, 2-manifold, consistently oriented",
// "open (12 boundary edges), 2-manifold, consistently oriented" or "empty".
std::string DescribeCheck(const MeshCheck& check);
