#pragma once
// Picture: an 8-bit RGB image as the previews make it, with the pixels where
// a surface is seen.

#include <cstdint>
#include <string>
#include <vector>

struct Picture {
  int32_t width = 0;
  int32_t height = 0;
  // Red, green, blue of pixel (x, y) at rgb[3 * (y * width + x)] and the two
  // bytes after it; row 0 is the top.
  std::vector<uint8_t> rgb;
  // 1 where a surface is seen at pixel (x, y), at coverage[y * width + x]; 0
  // on the background and the ground.
  std::vector<uint8_t> coverage;

  // width x height pixels of one colour, no coverage.
  void Reset(int32_t w, int32_t h, uint8_t red, uint8_t green, uint8_t blue);
};

// Smallest and largest picture side the previews accept, in pixels.
constexpr int32_t kMinPictureSide = 16;
constexpr int32_t kMaxPictureSide = 8192;

// "W" (a square) or "WxH", each side from kMinPictureSide to kMaxPictureSide;
// false for anything else.
bool ParsePictureSize(const std::string& text, int32_t& width, int32_t& height);
