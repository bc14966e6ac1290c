#pragma once
// FieldFunction: the implicit field of Space 1, the sum over the elements of one
// contribution each, minus the iso threshold. Positive inside the surface.
// Three blending models: InverseSquareField (0), PolynomialField (1),
// ExponentialField (2).

#include <cstdint>

#include "scene/meta_element.h"

class FieldFunction {
 public:
  // Refers to `elements` (not owned; must outlive the object).
  FieldFunction(const MetaElement* elementArray, float threshold, int32_t count)
      : elements(elementArray), isoThreshold(threshold), elementCount(count) {}
  virtual ~FieldFunction() = default;

  // Sum over the elements, in array order, of each element's contribution at
  // (x, y, z), starting from -isoThreshold. No side effects.
  virtual float Evaluate(const float& x, const float& y, const float& z) const = 0;

  const MetaElement* elements;
  float isoThreshold;
  int32_t elementCount;
};

// Model 0: radius^2 / d (radius^4 / d for cubes); no cut-off.
class InverseSquareField final : public FieldFunction {
 public:
  using FieldFunction::FieldFunction;
  float Evaluate(const float& x, const float& y, const float& z) const override;
};

// Model 1: 4 (1 - 2d)^2 for d < 0.5; elements outside their cull box add nothing.
class PolynomialField final : public FieldFunction {
 public:
  using FieldFunction::FieldFunction;
  float Evaluate(const float& x, const float& y, const float& z) const override;
};

// Model 2: expf(-d) for d > 0; no cut-off.
class ExponentialField final : public FieldFunction {
 public:
  using FieldFunction::FieldFunction;
  float Evaluate(const float& x, const float& y, const float& z) const override;
};
