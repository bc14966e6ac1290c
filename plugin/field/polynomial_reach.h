#pragma once
// PolynomialReach: a region outside which an element adds nothing to the
// polynomial model's field, for the grid of candidate elements.

#include "field/element_record.h"

// Where an element can add something under the polynomial model: its cull
// box, narrowed for an unrotated element to where its measure d can be below
// 0.5 (a box, and for a sphere also an ellipsoid), with a margin that covers
// every float rounding between the query point and d. A point outside it gets
// nothing from the element, whatever the arithmetic.
struct PolynomialReach {
  float low[3];    // inclusive box, per axis
  float high[3];
  bool ellipsoid;  // also nothing where sum_a ((q_a - centre_a) * factor_a)^2 >= kEllipsoidBound
  double centre[3];
  double factor[3];  // |axisFactor|
};

// Relative widening of the support bounds beyond the exact ones.
constexpr double kReachMargin = 1e-4;
constexpr double kEllipsoidBound = 0.5 * (1.0 + kReachMargin);

// False when the element adds nothing anywhere: a NaN in its cull box (which
// then fails every test), a centre off the finite range or an infinite axis
// factor (both make d infinite or NaN wherever the box test passes).
bool MakePolynomialReach(const ElementRecord& record, PolynomialReach& reach);

// For a record of an unrotated sphere (its kind's shape and rotation bits
// clear): whether MakePolynomialReach gives it an ellipsoid reach, the same
// tests on the same values, and then a box holding that reach (rounded out
// more loosely, for binning), without the reach's own outward rounding.
bool PlainSphereBound(const ElementRecord& record, float (&low)[3], float (&high)[3]);

// std::nextafter(f, up ? INFINITY : -INFINITY) for any f but a NaN, without
// the library call (the reaches' bounds are rounded outward with it).
float NextFloatToward(float f, bool up);
