#pragma once
// Writer of Wavefront OBJ files. The file goes to a sink in pieces of up to
// 16384 lines (about 1 MB), formatted side by side on the tool's threads
// (tool_threads.h), two per thread in flight, and handed over in order: the
// same bytes at any thread count, and never the whole file in memory.

#include <string>
#include <string_view>

#include "byte_sink.h"
#include "mesh_data.h"

// A comment line, "o NAME", one "v" line per vertex, then "vt" (u v) and "vn"
// lines when the mesh carries per-node UVs or normals (three values per node,
// see MeshData), and one "f" line per polygon. Equal values of the nodes of
// one vertex are written once. Coordinates are written in the shortest text
// that reads back to the same value: as a float when the value is exactly a
// float, as a double otherwise. Per-node arrays whose length is not three
// per node are left out.
void WriteObj(const MeshView& mesh, std::string_view objectName, std::string_view comment, const ByteSink& sink);
std::string WriteObj(const MeshView& mesh, std::string_view objectName, std::string_view comment);
