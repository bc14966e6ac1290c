#pragma once
// Reader of Wavefront OBJ files.

#include <cstdint>
#include <span>
#include <string>

#include "mesh_data.h"

// Reads the vertex positions ("v" lines: x, y, z, then an optional w or an
// r g b colour, each a finite decimal number, else an error naming the line)
// and faces ("f" lines, any polygon
// size of 3 or more, relative indices allowed) of an OBJ file held in
// `bytes`. Texture coordinates, normals, groups and materials are ignored; a
// "mtllib" line opens no file. Fills `mesh` (positions and polygons) and
// returns true; on malformed input returns false with a one-line message in
// `error` and leaves `mesh` empty.
bool ReadObj(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error);
