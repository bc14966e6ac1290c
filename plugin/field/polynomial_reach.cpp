#include "field/polynomial_reach.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

// Where an element can add something under the polynomial model. The cull box
// bounds it for every element. An unrotated element adds only where its
// measure d < 0.5, and d is a sum of non-negative terms, each at least
// l_a^2 (sphere; cylinder x and z) or l_a^4 (cube; cylinder y) for the local
// coordinate l_a = (centre_a - q_a) * axisFactor_a. So it adds nothing where
// |centre_a - q_a| >= s_a / |axisFactor_a| on any axis, s_a = sqrt(0.5) or
// 0.5^(1/4). For a sphere, d is at least the sum of the l_a^2, so nothing
// either outside the ellipsoid sum_a ((centre_a - q_a) * axisFactor_a)^2 < 0.5.
// Both bounds are taken kReachMargin wider than exact. Every float rounding
// between q and d (the subtraction, the product with the factor, the square
// or the three products of a fourth power, two sums) is within a relative
// 2^-24 and all quantities are non-negative in magnitude, so the computed
// term is at least (1 - 2^-24)^11 > 1 - 1e-6 times the exact one (the
// fourth power raises the first two roundings to the fourth): outside the
// widened bounds d >= 0.5 (1 + 1e-4)(1 - 1e-6) > 0.5, and the element adds
// nothing. The sum d is at least each of its terms, since float addition of
// non-negative values never decreases. The margin argument needs normal
// floats, so the narrowing is left out where the bound 1 / |axisFactor|
// leaves [kMinReach, kMaxReach].
constexpr double kMinReach = 1e-30;
constexpr double kMaxReach = 1e30;
constexpr double kSquareSupport = 0.70710678118654752;   // sqrt(0.5): l^2 < 0.5
constexpr double kFourthSupport = 0.84089641525371454;   // 0.5^(1/4): l^4 < 0.5

bool IsFinite3(const Float3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// The float at or below v (at or above with `up`), so that the float bound
// contains the exact one.
float RoundOutward(double v, bool up) {
  float f = static_cast<float>(v);
  if (up && static_cast<double>(f) < v) f = NextFloatToward(f, true);
  if (!up && static_cast<double>(f) > v) f = NextFloatToward(f, false);
  return f;
}

}  // namespace

float NextFloatToward(float f, bool up) {
  if (f == 0.0f) return up ? std::numeric_limits<float>::denorm_min() : -std::numeric_limits<float>::denorm_min();
  if (std::isinf(f) && (f > 0.0f) == up) return f;
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  // One step of the bits, up in magnitude when moving away from zero.
  bits = (f > 0.0f) == up ? bits + 1u : bits - 1u;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

bool MakePolynomialReach(const ElementRecord& r, PolynomialReach& reach) {
  if (!IsFinite3(r.centre)) return false;
  const float low[3] = {r.boxLow.x, r.boxLow.y, r.boxLow.z};
  const float high[3] = {r.boxHigh.x, r.boxHigh.y, r.boxHigh.z};
  const float centre[3] = {r.centre.x, r.centre.y, r.centre.z};
  const float factor[3] = {r.axisFactor.x, r.axisFactor.y, r.axisFactor.z};
  const uint32_t shape = r.kind & kShapeMask;
  const bool rotated = (r.kind & kRotatedKind) != 0;
  bool narrowed = true;
  for (int a = 0; a < 3; ++a) {
    if (std::isnan(low[a]) || std::isnan(high[a])) return false;
    if (std::isinf(factor[a])) return false;
    reach.low[a] = low[a];
    reach.high[a] = high[a];
    reach.centre[a] = centre[a];
    reach.factor[a] = std::fabs(static_cast<double>(factor[a]));
    const double support = shape == 0 || (shape == 2 && a != 1) ? kSquareSupport : kFourthSupport;
    const double extent = support * (1.0 + kReachMargin) / reach.factor[a];
    // A zero or NaN factor bounds nothing; a rotated element's axes are not these.
    if (rotated || !(extent >= kMinReach && extent <= kMaxReach)) {
      narrowed = false;
      continue;
    }
    reach.low[a] = std::max(reach.low[a], RoundOutward(centre[a] - extent, false));
    reach.high[a] = std::min(reach.high[a], RoundOutward(centre[a] + extent, true));
  }
  reach.ellipsoid = narrowed && shape == 0;
  return true;
}

bool PlainSphereBound(const ElementRecord& r, float (&low)[3], float (&high)[3]) {
  if (!IsFinite3(r.centre)) return false;
  const float boxLow[3] = {r.boxLow.x, r.boxLow.y, r.boxLow.z};
  const float boxHigh[3] = {r.boxHigh.x, r.boxHigh.y, r.boxHigh.z};
  const float centre[3] = {r.centre.x, r.centre.y, r.centre.z};
  const float factor[3] = {r.axisFactor.x, r.axisFactor.y, r.axisFactor.z};
  for (int a = 0; a < 3; ++a) {
    if (std::isnan(boxLow[a]) || std::isnan(boxHigh[a]) || std::isinf(factor[a])) return false;
  }
  for (int a = 0; a < 3; ++a) {
    const double extent = kSquareSupport * (1.0 + kReachMargin) / std::fabs(static_cast<double>(factor[a]));
    if (!(extent >= kMinReach && extent <= kMaxReach)) return false;
    // The cast to float moves an end by at most 2^-24 of its magnitude,
    // far less than the margin: the float ends lie outside the exact ones.
    const double c = centre[a];
    const double margin = (std::fabs(c) + extent) * 1e-6;
    low[a] = std::max(boxLow[a], static_cast<float>(c - extent - margin));
    high[a] = std::min(boxHigh[a], static_cast<float>(c + extent + margin));
  }
  return true;
}
