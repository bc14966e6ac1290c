#pragma once
// The per-point terms of the voxel-grid splat, shared by every splat path
// (splat_paths.cpp): the distance measure's per-axis terms, each blending
// model's kernel and normal factor, and the host's transformation of an offset
// written out as plain arithmetic. Every function forms its value with exactly
// the operations, in the order, of the plain per-point recipe, so that the
// paths agree bit for bit.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "xsi_math.h"

constexpr float kNearZero = 0.00001f;  // nearest float to 1e-5

// Per-axis terms of the distance measure. Sphere x^2 + y^2 + z^2, Cube
// x^4 + y^4 + z^4, Cylinder x^2 + y^4 + z^2 (y along the axis); fourth powers
// as three successive multiplications. The sum is formed (x + y) + z.
template <int Shape>
inline float TermX(float x) {
  return Shape == 1 ? x * x * x * x : x * x;
}
template <int Shape>
inline float TermY(float y) {
  return Shape == 0 ? y * y : y * y * y * y;
}
template <int Shape>
inline float TermZ(float z) {
  return Shape == 1 ? z * z * z * z : z * z;
}

// value when keep, else +0; written with a bit mask so that the splat loops
// need no branch and vectorize (the compiler will not turn a branch around
// floating-point arithmetic into a select).
inline float KeepIf(bool keep, float value) {
  const uint32_t mask = 0u - static_cast<uint32_t>(keep);
  return std::bit_cast<float>(std::bit_cast<uint32_t>(value) & mask);
}

// The measure of the model 1 normal factor's cut-off test: d^1.5.
inline float NormalMeasure(float d) { return d * std::sqrt(d); }

// Kernel (before the weight) and normal factor of one lattice point at measure d.
//  Model 0, inverse square: radius^2 / d for spheres and cylinders and
//    (radius^2)^2 / d for cubes, with a measure below 1e-5 replaced by radius
//    (radius^2 for cubes, unlike the field function, whose cube guard uses
//    radius). Normal factor radius / d'^2, d' the replaced measure, replaced
//    by radius again if still below 1e-5.
//  Model 1, polynomial 16 (d^2 + 0.25 - d) = 4 (1 - 2d)^2 below d = 0.5;
//    its normal factor takes s = d^1.5 in place of d, so it reaches a little
//    further (to d = 0.63) than the kernel.
//  Model 2, exponential e^-d for d > 0 while it stays below 1.
template <int Model, int Shape>
inline float Kernel(float& d, float radius) {
  if constexpr (Model == 0) {
    d = d < kNearZero ? (Shape == 1 ? radius * radius : radius) : d;
    return Shape == 1 ? ((radius * radius) * (radius * radius)) / d : (radius * radius) / d;
  } else if constexpr (Model == 1) {
    return KeepIf(d < 0.5f, (d * d + (0.25f - d)) * 16.0f);
  } else {
    if (!(d > 0.0f)) return 0.0f;
    const float t = std::exp(-d);
    return t < 1.0f ? t : 0.0f;
  }
}

// d is the measure as Kernel left it.
template <int Model>
inline float NormalFactor(float d, float radius) {
  if constexpr (Model == 0) {
    d = d < kNearZero ? radius : d;
    return radius / (d * d);
  } else if constexpr (Model == 1) {
    const float s = NormalMeasure(d);
    return KeepIf(s < 0.5f, (s * s + (0.25f - s)) * 16.0f);
  } else {
    if (!(d > 0.0f)) return 0.0f;
    const float t = std::exp(-d);
    return t > 0.0f && t < 1.0f ? t : 0.0f;
  }
}

// A host transformation as plain numbers: scaling, rotation matrix (row
// convention, m[row][column]) and translation.
struct Transform {
  double s[3];
  double m[3][3];
  double t[3];
};
static_assert(sizeof(Transform) == 15 * sizeof(double), "a transformation is 15 doubles");
constexpr size_t kRotationDoubles = 2 * sizeof(Transform) / sizeof(double);

inline void StoreTransform(const XSI::MATH::CTransformation& from, double* to) {
  Transform t{};
  const XSI::MATH::CVector3 s = from.GetScaling();
  const XSI::MATH::CVector3 p = from.GetTranslation();
  const XSI::MATH::CRotation& r = from.Rotation();
  t.s[0] = s.GetX();
  t.s[1] = s.GetY();
  t.s[2] = s.GetZ();
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) t.m[row][column] = r.Get(row, column);
  }
  t.t[0] = p.GetX();
  t.t[1] = p.GetY();
  t.t[2] = p.GetZ();
  std::memcpy(to, &t, sizeof t);
}

// The element's rotation and the inverse used for its gradient, as stored by
// PlanElement.
struct ElementRotation {
  Transform forward;
  Transform inverse;
};

// The part of v = ((v * S) * R) + T that depends on x and y only, per output
// axis: x*s0*m0c + y*s1*m1c. CVector3::MulByTransformationInPlace sums
// ((x' m0c + y' m1c) + z' m2c) + tc left to right, so this partial sum is the
// same number whichever z follows.
struct RowPartial {
  double c[3];
};

inline RowPartial PartialXY(const Transform& t, float x, float y) {
  const double sx = static_cast<double>(x) * t.s[0];
  const double sy = static_cast<double>(y) * t.s[1];
  return RowPartial{{sx * t.m[0][0] + sy * t.m[1][0], sx * t.m[0][1] + sy * t.m[1][1], sx * t.m[0][2] + sy * t.m[1][2]}};
}

// Completes the transformation of (x, y, z) from its row partial sums; the
// components are rounded to float as the sampler reads them back.
inline void CompleteZ(const Transform& t, const RowPartial& row, float z, float& x, float& y, float& zOut) {
  const double sz = static_cast<double>(z) * t.s[2];
  x = static_cast<float>(row.c[0] + sz * t.m[2][0] + t.t[0]);
  y = static_cast<float>(row.c[1] + sz * t.m[2][1] + t.t[1]);
  zOut = static_cast<float>(row.c[2] + sz * t.m[2][2] + t.t[2]);
}

// The whole transformation of (x, y, z), as MulByTransformationInPlace forms it.
inline void Apply(const Transform& t, float& x, float& y, float& z) {
  const RowPartial row = PartialXY(t, x, y);
  CompleteZ(t, row, z, x, y, z);
}

// The least float d >= 0 at which the model 1 normal factor is zero, that is
// NormalMeasure(d) < 0.5 fails: a little above 0.5^(2/3) = 0.62996. The test
// is monotone in d (a correctly rounded square root and product of
// non-negative numbers), so it fails exactly from here on.
inline float NormalCutoff() {
  // Bisection over the bit patterns of positive floats, which order as the
  // floats do: the test holds at 0.5 (0.35) and fails at 0.64 (0.512).
  uint32_t holds = std::bit_cast<uint32_t>(0.5f);
  uint32_t fails = std::bit_cast<uint32_t>(0.64f);
  while (fails - holds > 1) {
    const uint32_t middle = holds + (fails - holds) / 2;
    if (NormalMeasure(std::bit_cast<float>(middle)) < 0.5f) {
      holds = middle;
    } else {
      fails = middle;
    }
  }
  return std::bit_cast<float>(fails);
}

// The measure from which a model 1 point adds nothing: a zero kernel from
// 0.5 on and, with normals, a zero normal factor from NormalCutoff() on
// (measures are sums of squares and fourth powers, never negative).
inline float ModelOneReach(bool normals) {
  static const float withNormals = std::max(0.5f, NormalCutoff());
  return normals ? withNormals : 0.5f;
}
