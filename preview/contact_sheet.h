#pragma once
// Contact sheets: a sequence of mesh files drawn side by side through one
// camera, each cell labelled with its frame number.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "picture.h"

struct SheetLayout {
  int32_t cellWidth = 256;   // pixels per cell
  int32_t cellHeight = 256;
  int32_t columns = 0;       // 0: about 3 columns for 2 rows
};

// The frame number in a file name: the last run of digits in the name
// without its extension, negative when a '-' precedes it right after a
// non-alphanumeric character or at the start ("drip.-003.ply" is -3).
// Nothing when the name has no digits or the number has over 18.
std::optional<int64_t> FrameNumberOfFile(const std::string& path);

// Reads the OBJ or PLY files (twice, one at a time: once for the union of
// their bounds, which the camera frames, once to draw them), ordered by
// frame number when every name has one and as given otherwise, and lays
// them out left to right, top to bottom, 2 pixels apart. Each cell is
// labelled with its file's frame number, or its position from 1. False with
// "FILE: problem" in `error` for a file that is not .obj or .ply or cannot
// be read.
bool MakeContactSheet(const std::vector<std::string>& files, const SheetLayout& layout, Picture& sheet,
                      std::string& error);
