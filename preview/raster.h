#pragma once
// The rasteriser's arithmetic (mesh_renderer.cpp): fixed-point screen
// positions and edge functions, nearest-surface keys, the box blur of the
// shadow map, the sRGB table, and the split of a job into two halves on the
// tool's threads.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "tool_threads.h"

namespace raster {

// Screen positions are fixed point with 4 fraction bits: edge functions are
// then exact integers, so neighbouring triangles share their edges without
// cracks or double coverage (top-left rule).
constexpr int32_t kSubpixelBits = 4;
constexpr int32_t kSubpixel = 1 << kSubpixelBits;
// Vertices projected farther than this from the picture (in pixels) drop
// their triangles: their fixed-point products would not fit.
constexpr float kGuardBand = 1048576.0f;

struct Vec3f {
  float x, y, z;
};
inline Vec3f Sub(Vec3f a, Vec3f b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline float Dot(Vec3f a, Vec3f b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3f Cross(Vec3f a, Vec3f b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline Vec3f Normalized(Vec3f v) {
  const float length = std::sqrt(Dot(v, v));
  if (!(length > 0.0f)) return {0.0f, 0.0f, 0.0f};
  const float inverse = 1.0f / length;
  return {v.x * inverse, v.y * inverse, v.z * inverse};
}
inline Vec3f Of(const float v[3]) { return {v[0], v[1], v[2]}; }

// A guard-band coordinate in 1/16 pixel, rounded to nearest (halves away
// from zero), without a library call.
inline int32_t RoundToFixed(float x) {
  const float scaled = x * static_cast<float>(kSubpixel);
  return static_cast<int32_t>(scaled >= 0.0f ? scaled + 0.5f : scaled - 0.5f);
}

// floor() for values well inside the int32 range, without the library call
// that std::floor is on the baseline x86-64 instruction set.
inline int32_t FloorToInt(float x) {
  const auto t = static_cast<int32_t>(x);
  return static_cast<float>(t) > x ? t - 1 : t;
}

// Of the cells 0 .. count - 1 along one side of the shadow map, whose
// centres are at i + 0.5: the first with its centre at or after x
// (-floor(0.5 - x)), else count; the last with its centre at or before x
// (floor(x - 0.5)), else -1. For a guard-band coordinate.
inline int16_t FirstCentreAtOrAfter(float x, int32_t count) {
  return static_cast<int16_t>(std::clamp(-FloorToInt(0.5f - x), 0, count));
}
inline int16_t LastCentreAtOrBefore(float x, int32_t count) {
  return static_cast<int16_t>(std::clamp(FloorToInt(x - 0.5f), -1, count - 1));
}

// Linear light 0..1 to an 8-bit sRGB-like value (gamma 1 / 2.2), by table.
class GammaTable {
 public:
  GammaTable() {
    for (size_t i = 0; i < table_.size(); ++i) {
      const double linear = static_cast<double>(i) / static_cast<double>(table_.size() - 1);
      table_[i] = static_cast<uint8_t>(std::lround(255.0 * std::pow(linear, 1.0 / 2.2)));
    }
  }
  uint8_t operator()(float linear) const {
    const float scaled = linear * static_cast<float>(table_.size() - 1);
    if (!(scaled > 0.0f)) return table_[0];
    if (scaled >= static_cast<float>(table_.size() - 1)) return table_.back();
    return table_[static_cast<size_t>(scaled + 0.5f)];
  }

 private:
  std::array<uint8_t, 4096> table_{};
};

inline const GammaTable& Gamma() {
  static const GammaTable table;
  return table;
}

// A pixel's nearest surface is one key: the bits of its 1 / depth (a
// positive float, whose bits order as its values do) in the high half, and
// kNoOwner minus its triangle in the low half, so that one unsigned
// comparison keeps the nearer surface, and the earlier triangle on a tie. A
// pixel with no surface holds 0.
constexpr uint32_t kNoOwner = 0xffffffffu;
inline float DepthOf(uint64_t key) { return std::bit_cast<float>(static_cast<uint32_t>(key >> 32)); }

// Twice the signed area of (a, b, p) in fixed point.
inline int64_t Edge(int32_t ax, int32_t ay, int32_t bx, int32_t by, int64_t px, int64_t py) {
  return static_cast<int64_t>(bx - ax) * (py - ay) - static_cast<int64_t>(by - ay) * (px - ax);
}

// Edge a -> b with the interior on its positive side (y down): a top edge
// (horizontal, interior below) or a left edge owns the pixels exactly on it.
inline bool IsTopLeft(int32_t ax, int32_t ay, int32_t bx, int32_t by) {
  return (ay == by && bx > ax) || by < ay;
}

// In-place box blur of a w x h map along rows (stride 1) or columns (stride
// w), radius r, edges clamped; `line` is scratch of max(w, h) floats.
inline void BoxBlur(std::vector<float>& map, int32_t w, int32_t h, int32_t r, bool rows, std::vector<float>& line) {
  const int32_t count = rows ? h : w;
  const int32_t length = rows ? w : h;
  const size_t stride = rows ? 1 : static_cast<size_t>(w);
  const float scale = 1.0f / static_cast<float>(2 * r + 1);
  for (int32_t n = 0; n < count; ++n) {
    float* base = map.data() + (rows ? static_cast<size_t>(n) * static_cast<size_t>(w) : static_cast<size_t>(n));
    for (int32_t i = 0; i < length; ++i) line[static_cast<size_t>(i)] = base[static_cast<size_t>(i) * stride];
    auto at = [&](int32_t i) { return line[static_cast<size_t>(std::clamp(i, 0, length - 1))]; };
    float sum = 0.0f;
    for (int32_t i = -r; i <= r; ++i) sum += at(i);
    for (int32_t i = 0; i < length; ++i) {
      base[static_cast<size_t>(i) * stride] = sum * scale;
      sum += at(i + r + 1) - at(i - r);
    }
  }
}

// Runs work(0) and work(1), the two halves of a job, side by side on the
// tool's threads (one after the other with one thread). The halves write
// disjoint data and the split is fixed, so the result is the same bits
// either way.
template <class Work>
void BothHalves(Work&& work) {
  ForEachToolPart(2, [&work](int64_t half) { work(static_cast<int>(half)); });
}

// The first and last + 1 of `count` items in half `half` (0 or 1).
inline std::pair<size_t, size_t> HalfOf(size_t count, int half) {
  return half == 0 ? std::pair<size_t, size_t>{0, count / 2} : std::pair<size_t, size_t>{count / 2, count};
}

}  // namespace raster
