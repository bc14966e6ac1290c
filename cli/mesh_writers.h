#pragma once
// Writers of OBJ and binary PLY files. Both build the whole file in memory;
// the caller stores it (see atomic_file.h).

#include <string>
#include <string_view>

#include "mesh_data.h"

// Wavefront OBJ: a comment line, "o NAME", one "v" line per vertex, then "vt"
// (u v) and "vn" lines when the mesh carries per-node UVs or normals (three
// values per node, see MeshData), and one "f" line per polygon. Equal values
// of the nodes of one vertex are written once. Coordinates are written in the
// shortest text that reads back to the same value: as a float when the value
// is exactly a float, as a double otherwise. Per-node arrays whose length is
// not three per node are left out.
std::string WriteObj(const MeshData& mesh, std::string_view objectName, std::string_view comment);

// Binary little-endian PLY: element vertex (float x, y, z; float nx, ny, nz
// when every vertex's nodes share one normal; float s, t likewise for UVs),
// element face (list uchar int vertex_indices, or list int int when a polygon
// has more than 255 vertices). A vertex that no polygon uses gets zero normal
// and UV.
std::string WritePly(const MeshData& mesh, std::string_view comment);
