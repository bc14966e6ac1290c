#pragma once
// Reader of PLY files (ASCII, binary little-endian and binary big-endian).

#include <cstdint>
#include <span>
#include <string>

#include "mesh_data.h"

// Reads the vertex positions (properties x, y, z of element "vertex", of any
// numeric type) and the faces (list property "vertex_indices" or
// "vertex_index" of element "face", any integer types) of a PLY file held in
// `bytes`. Other elements and properties are skipped. Fills `mesh` (positions
// and polygons only) and returns true; on malformed input returns false with
// a one-line message in `error` and leaves `mesh` empty. Never reads outside
// `bytes`, whatever they hold.
bool ReadPly(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error);
