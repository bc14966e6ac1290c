#include "digit_font.h"

#include <algorithm>
#include <string>

namespace {

constexpr int32_t kGlyphWidth = 5;
constexpr int32_t kGlyphHeight = 7;
constexpr int32_t kAdvance = kGlyphWidth + 1;

// One glyph per entry: seven rows, top first; bit 4 of a row is its
// leftmost pixel. Entries 0-9 are the digits, 10 the minus sign.
constexpr uint8_t kGlyphs[11][kGlyphHeight] = {
    {0x0e, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0e},  // 0
    {0x04, 0x0c, 0x04, 0x04, 0x04, 0x04, 0x0e},  // 1
    {0x0e, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1f},  // 2
    {0x1f, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0e},  // 3
    {0x02, 0x06, 0x0a, 0x12, 0x1f, 0x02, 0x02},  // 4
    {0x1f, 0x10, 0x1e, 0x01, 0x01, 0x11, 0x0e},  // 5
    {0x06, 0x08, 0x10, 0x1e, 0x11, 0x11, 0x0e},  // 6
    {0x1f, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},  // 7
    {0x0e, 0x11, 0x11, 0x0e, 0x11, 0x11, 0x0e},  // 8
    {0x0e, 0x11, 0x11, 0x0f, 0x01, 0x02, 0x0c},  // 9
    {0x00, 0x00, 0x00, 0x1f, 0x00, 0x00, 0x00},  // -
};

void Fill(Picture& picture, int32_t x, int32_t y, int32_t size, const uint8_t colour[3]) {
  for (int32_t py = y; py < y + size; ++py) {
    if (py < 0 || py >= picture.height) continue;
    for (int32_t px = x; px < x + size; ++px) {
      if (px < 0 || px >= picture.width) continue;
      uint8_t* out = &picture.rgb[3 * (static_cast<size_t>(py) * static_cast<size_t>(picture.width) + static_cast<size_t>(px))];
      out[0] = colour[0];
      out[1] = colour[1];
      out[2] = colour[2];
    }
  }
}

}  // namespace

int32_t DrawNumber(Picture& picture, int32_t x, int32_t y, int64_t number, int32_t scale, const uint8_t colour[3],
                   const uint8_t halo[3]) {
  const std::string text = std::to_string(number);
  // 1) the halo: every lit font pixel grown by one font pixel, 2) the glyphs
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t n = 0; n < text.size(); ++n) {
      const uint8_t* glyph = kGlyphs[text[n] == '-' ? 10 : text[n] - '0'];
      const int32_t left = x + static_cast<int32_t>(n) * kAdvance * scale;
      for (int32_t row = 0; row < kGlyphHeight; ++row) {
        for (int32_t column = 0; column < kGlyphWidth; ++column) {
          if (!(glyph[row] & (0x10 >> column))) continue;
          const int32_t px = left + column * scale;
          const int32_t py = y + row * scale;
          if (pass == 0) {
            Fill(picture, px - scale, py - scale, 3 * scale, halo);
          } else {
            Fill(picture, px, py, scale, colour);
          }
        }
      }
    }
  }
  return static_cast<int32_t>(text.size()) * kAdvance * scale - scale;
}

void LabelFrame(Picture& picture, int64_t frame) {
  constexpr uint8_t kInk[3] = {24, 26, 30};
  constexpr uint8_t kHalo[3] = {236, 238, 242};
  const int32_t scale = std::max(1, picture.height / 256);
  DrawNumber(picture, 3 * scale + 2, 3 * scale + 2, frame, scale, kInk, kHalo);
}
