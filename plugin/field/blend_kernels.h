#pragma once
// The three blending models' contribution of one element at measure d (see
// FieldFunction), as functors that add it to a sum: the field sums them, the
// attribute transfer weighs by them.

#include <cmath>

#include "field/element_record.h"

// Below this measure the inverse-square model would divide by (almost) zero.
constexpr float kInverseSquareGuard = 0.00001f;
// The polynomial model's support ends at measure 0.5.
constexpr float kPolynomialSupport = 0.5f;

// Each model's contribution of one element with measure d, added to `sum`.
// An element that contributes nothing leaves `sum` untouched (not even + 0).
struct AddInverseSquare {
  void operator()(float& sum, const ElementRecord& r, float d) const {
    // Near the centre the measure is replaced by the radius itself (not a
    // power of it), which caps the contribution at radius (radius^3 for cubes).
    if (d < kInverseSquareGuard) d = r.radius;
    sum += r.numerator / d * r.weight;
  }
};

struct AddPolynomial {
  void operator()(float& sum, const ElementRecord& r, float d) const {
    // d*d + (0.25 - d) = (1 - 2d)^2 / 4: 4 at the centre, 0 with zero slope at d = 0.5.
    if (d < kPolynomialSupport) sum += (d * d + (0.25f - d)) * 16.0f * r.weight;
  }
};

struct AddExponential {
  void operator()(float& sum, const ElementRecord& r, float d) const {
    // Nothing at the exact centre, nor where expf(-d) rounds to 1.
    if (d <= 0.0f) return;
    const float t = std::exp(-d);
    if (t < 1.0f) sum += t * r.weight;
  }
};

