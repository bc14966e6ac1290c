#pragma once
// File names as the tool checks them.

#include <string>
#include <string_view>

// The extension of `path` ("scene.PLY" gives ".ply"), lower-cased; empty
// when the name has none.
std::string LowerExtension(std::string_view path);

// Makes the folder `path` will be written in, when it is missing; false with
// "cannot make the folder FOLDER (reason)" in `error` when it cannot be made.
bool MakeParentFolder(const std::string& path, std::string& error);
