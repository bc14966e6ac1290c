#pragma once
// Writer of binary little-endian PLY files, handed to a sink in pieces of at
// most kWriterChunk bytes formatted in one reused buffer.

#include <string>
#include <string_view>

#include "byte_sink.h"
#include "mesh_data.h"

// Element vertex (float x, y, z; float nx, ny, nz when every vertex's nodes
// share one normal; float s, t likewise for UVs), element face (list uchar
// int vertex_indices, or list int int when a polygon has more than 255
// vertices). A vertex that no polygon uses gets zero normal and UV. After
// the normals and UVs, each vertex attribute of the view (components 1 to 4,
// one entry per vertex) as float properties: its name for one component,
// "vx vy vz" for the velocity "v", NAME_x NAME_y NAME_z (NAME_w) for any
// other, which the reader takes back as the attribute NAME.
void WritePly(const MeshView& mesh, std::string_view comment, const ByteSink& sink);
std::string WritePly(const MeshView& mesh, std::string_view comment);
