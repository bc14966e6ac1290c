#include "picture.h"

#include <charconv>

void Picture::Reset(int32_t w, int32_t h, uint8_t red, uint8_t green, uint8_t blue) {
  width = w;
  height = h;
  const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
  rgb.resize(pixels * 3);
  for (size_t p = 0; p < pixels; ++p) {
    rgb[3 * p] = red;
    rgb[3 * p + 1] = green;
    rgb[3 * p + 2] = blue;
  }
  coverage.assign(pixels, 0);
}

bool ParsePictureSize(const std::string& text, int32_t& width, int32_t& height) {
  const char* at = text.data();
  const char* end = text.data() + text.size();
  auto side = [&](int32_t& value) {
    const auto [next, ec] = std::from_chars(at, end, value);
    if (ec != std::errc() || next == at || value < kMinPictureSide || value > kMaxPictureSide) return false;
    at = next;
    return true;
  };
  int32_t w = 0;
  if (!side(w)) return false;
  int32_t h = w;
  if (at != end) {
    if (*at != 'x' && *at != 'X') return false;
    ++at;
    if (!side(h) || at != end) return false;
  }
  width = w;
  height = h;
  return true;
}
