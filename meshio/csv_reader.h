#pragma once
// Reader of text point files (.csv, .xyz): a header line naming the columns,
// then one point per line.

#include <cstdint>
#include <span>
#include <string>

#include "mesh_data.h"

// Reads the points of a text file held in `bytes`: its first line that is
// not empty nor a comment ('#' first) names the columns, separated by
// commas when it holds one, else by spaces or tabs; columns x, y, z are the
// position, the others attributes named as in attribute_columns.h. Every
// later line (empty and '#' lines aside) holds one decimal number per
// column, separated the same way. Fills `mesh` (positions and attributes,
// no polygons) and returns true; false with "line N: ..." in `error`, and
// `mesh` empty, on a line of another count, a value that is not a finite
// decimal number, a header without x, y or z, or a coordinate beyond the
// float range.
bool ReadCsv(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error);
