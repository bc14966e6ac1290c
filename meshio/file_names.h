#pragma once
// File names as the tool checks them.

#include <string>
#include <string_view>

// A file name with a NUL character inside is another file to the system,
// which reads the name up to its first NUL; such names are refused wherever
// a name enters. This is the message, after the key or option named.
inline constexpr std::string_view kNulInFileName = "the file name holds a NUL character";

// True when `name` holds a NUL character.
bool HoldsNul(std::string_view name);

// False with "WHAT: the file name holds a NUL character" in `error` when
// `name` holds one.
bool CheckFileName(std::string_view what, std::string_view name, std::string& error);

// The extension of `path` ("scene.PLY" gives ".ply"), lower-cased; empty
// when the name has none.
std::string LowerExtension(std::string_view path);

// Makes the folder `path` will be written in, when it is missing; false with
// "cannot make the folder FOLDER (reason)" in `error` when it cannot be made.
bool MakeParentFolder(const std::string& path, std::string& error);
