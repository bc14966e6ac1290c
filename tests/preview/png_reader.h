#pragma once
// Reads a PNG file back with libpng, for the preview tests.

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "picture.h"

// The 8-bit RGB picture in `path` (coverage left empty); false when libpng
// cannot read it as one.
inline bool ReadPng(const std::string& path, Picture& picture) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  picture.width = static_cast<int32_t>(image.width);
  picture.height = static_cast<int32_t>(image.height);
  picture.rgb.assign(PNG_IMAGE_SIZE(image), 0);
  picture.coverage.clear();
  const bool ok = png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return ok;
}
