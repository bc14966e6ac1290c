#pragma once
// PNG files of pictures, through libpng.

#include <string>

#include "picture.h"

// The bytes of an 8-bit RGB PNG file of `picture` (no time stamp or other
// chunk that would change between runs: the same picture gives the same
// bytes). False with a message in `error` when libpng fails or the picture
// is empty.
bool EncodePng(const Picture& picture, std::string& bytes, std::string& error);
