#pragma once
// Writers of OBJ and binary PLY files. Each hands the file to a sink in
// pieces, or returns it whole; neither holds the whole file in memory (a
// mesh of 200,000 vertices never has its 20 MB file there). PLY: pieces of
// at most kWriterChunk bytes, formatted in one reused buffer. OBJ: pieces of
// up to 16384 lines (about 1 MB), formatted side by side on the tool's
// threads (tool_threads.h), two per thread in flight, and handed to the sink
// in order: the same bytes at any thread count.

#include <functional>
#include <string>
#include <string_view>

#include "mesh_data.h"

// Receives the bytes of a file in order.
using ByteSink = std::function<void(std::string_view)>;
constexpr size_t kWriterChunk = size_t{1} << 20;

// Wavefront OBJ: a comment line, "o NAME", one "v" line per vertex, then "vt"
// (u v) and "vn" lines when the mesh carries per-node UVs or normals (three
// values per node, see MeshData), and one "f" line per polygon. Equal values
// of the nodes of one vertex are written once. Coordinates are written in the
// shortest text that reads back to the same value: as a float when the value
// is exactly a float, as a double otherwise. Per-node arrays whose length is
// not three per node are left out.
void WriteObj(const MeshView& mesh, std::string_view objectName, std::string_view comment, const ByteSink& sink);
std::string WriteObj(const MeshView& mesh, std::string_view objectName, std::string_view comment);

// Binary little-endian PLY: element vertex (float x, y, z; float nx, ny, nz
// when every vertex's nodes share one normal; float s, t likewise for UVs),
// element face (list uchar int vertex_indices, or list int int when a polygon
// has more than 255 vertices). A vertex that no polygon uses gets zero normal
// and UV.
void WritePly(const MeshView& mesh, std::string_view comment, const ByteSink& sink);
std::string WritePly(const MeshView& mesh, std::string_view comment);
