#pragma once
// Reader of PLY files (ASCII, binary little-endian and binary big-endian).

#include <cstdint>
#include <span>
#include <string>

#include "mesh_data.h"

// Reads the vertex positions (properties x, y, z of the one element "vertex",
// of any numeric type), every other scalar vertex property as an attribute
// (vx vy vz or velocity_x velocity_y velocity_z as the vector "v", nx ny nz
// as "N", NAME_x NAME_y NAME_z as the vector NAME, the rest under their own
// names, as floats) and the faces (list
// property "vertex_indices" or "vertex_index" of element "face", any integer
// types) of a PLY file held in `bytes`. Other elements and list properties
// are skipped. ASCII bodies are read line by line: every row of an element
// on a line of its own with exactly the values its properties ask for, no
// values after the last row. Fills `mesh` (positions, polygons, attributes)
// and returns true; on malformed input, or a coordinate that is not a finite
// float, returns false with a one-line message in `error` (the line, in
// ASCII) and leaves `mesh` empty. Never reads outside `bytes`, whatever they
// hold.
bool ReadPly(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error);
