#pragma once
// Small numeric types and rules shared by every subsystem: three-component
// records, tolerant float comparison, rounding of doubles to int32 and the
// UV-space scaling of normals.

#include <cmath>
#include <cstdint>

// Three floats (x, y, z) and three int32 (x, y, z), plain records.
struct Float3 {
  float x;
  float y;
  float z;
};

struct Int3 {
  int32_t x;
  int32_t y;
  int32_t z;
};

// True when b - 0.00001 < a < b + 0.00001, both bounds strict, in single precision.
inline bool NearlyEqual(float a, float b) {
  constexpr float kTolerance = 0.00001f;
  return b - kTolerance < a && a < b + kTolerance;
}

// Rounds to the nearest int32, halves away from zero: x + 0.5 truncated when
// x > -0.00001f (widened to double), else x - 0.5 truncated. Values beyond the
// int32 range clamp to it and NaN gives 0, where a bare conversion would be
// undefined.
inline int32_t RoundToInt(double x) {
  const double shifted = x > static_cast<double>(-0.00001f) ? x + 0.5 : x - 0.5;
  if (!(shifted == shifted)) return 0;
  if (shifted >= 2147483647.0) return INT32_MAX;
  if (shifted <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(shifted);
}

// Float to int32 truncated toward zero, clamped like RoundToInt.
inline int32_t ClampToInt(float x) {
  if (!(x == x)) return 0;
  if (x >= 2147483647.0f) return INT32_MAX;
  if (x <= -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(x);
}

// The normal scaling of UV space: divides the vector by its largest component
// magnitude, so that the dominant component becomes +1 or -1. The magnitudes
// are compared x, then y, then z, a later one winning only when strictly
// larger (NaN never does); a vector whose largest magnitude is not above zero
// (a zero vector, or NaN in x) is left as it is.
inline void ScaleToDominantUnit(float& x, float& y, float& z) {
  float largest = std::fabs(x);
  if (std::fabs(y) > largest) largest = std::fabs(y);
  if (std::fabs(z) > largest) largest = std::fabs(z);
  if (!(largest > 0.0f)) return;
  x = x / largest;
  y = y / largest;
  z = z / largest;
}
