#pragma once
// FieldFunction: the implicit field of Space 1, the sum over the elements of one
// contribution each, minus the iso threshold. Positive inside the surface.
// Three blending models: InverseSquareField (0), PolynomialField (1),
// ExponentialField (2).

#include <cstdint>
#include <memory>

#include "field/element_table.h"
#include "scene/meta_element.h"

class FieldFunction {
 public:
  // Refers to `elements` (not owned; must outlive the object).
  FieldFunction(const MetaElement* elementArray, float threshold, int32_t count)
      : elements(elementArray), isoThreshold(threshold), elementCount(count) {}
  virtual ~FieldFunction() = default;
  FieldFunction(const FieldFunction&) = delete;
  FieldFunction& operator=(const FieldFunction&) = delete;

  // Sum over the elements, in array order, of each element's contribution at
  // (x, y, z), starting from -isoThreshold. No side effects.
  virtual float Evaluate(const float& x, const float& y, const float& z) const = 0;

  const MetaElement* const elements;
  const float isoThreshold;
  const int32_t elementCount;
};

// The three models take what they need of the elements once, when they are
// constructed (ElementTable: per-element constants and rotation matrices, and
// for the polynomial model a grid of buckets over the cull boxes), so the
// elements must not change while the field is in use. Evaluate gives the same
// float, bit for bit, as summing the definition over the whole array: the
// table only skips elements that add nothing and keeps the order of the rest.
// When the table's memory cannot be had, Evaluate works from the elements
// directly, with the same result.

// Model 0: radius^2 / d (radius^4 / d for cubes); no cut-off.
class InverseSquareField final : public FieldFunction {
 public:
  InverseSquareField(const MetaElement* elementArray, float threshold, int32_t count);
  float Evaluate(const float& x, const float& y, const float& z) const override;

 private:
  ElementTable table_;
};

// Model 1: 4 (1 - 2d)^2 for d < 0.5; elements outside their cull box add nothing.
class PolynomialField final : public FieldFunction {
 public:
  PolynomialField(const MetaElement* elementArray, float threshold, int32_t count);
  float Evaluate(const float& x, const float& y, const float& z) const override;

 private:
  ElementTable table_;
};

// Model 2: expf(-d) for d > 0; no cut-off.
class ExponentialField final : public FieldFunction {
 public:
  ExponentialField(const MetaElement* elementArray, float threshold, int32_t count);
  float Evaluate(const float& x, const float& y, const float& z) const override;

 private:
  ElementTable table_;
};

// The field of blending model `model` (0, 1 or 2, BlendingModel) over `count`
// elements at `elementArray`, iso threshold `threshold`; null for any other model.
std::unique_ptr<FieldFunction> MakeFieldFunction(int32_t model, const MetaElement* elementArray, float threshold,
                                                 int32_t count);
