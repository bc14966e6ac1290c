#pragma once
// The field's definition evaluated the plain way, as a reference for the fast
// fields: every element in array order, the cull box recomputed per query, and
// one host transformation per call re-aimed at every rotated element and
// applied with MulByTransformationInPlace (scaling 1 and translation 0
// included).

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "field/field_function.h"
#include "base/numeric.h"
#include "scene/meta_element.h"
#include "xsi_math.h"

namespace oracle {

inline bool DistanceMeasure(const MetaElement& e, float x, float y, float z, XSI::MATH::CTransformation& rotation,
                            float& d) {
  XSI::MATH::CVector3 offset(static_cast<double>(e.centre.x - x), static_cast<double>(e.centre.y - y),
                             static_cast<double>(e.centre.z - z));
  const Float3& a = e.inverseAngles;
  if (!(NearlyEqual(a.x, 0.0f) && NearlyEqual(a.y, 0.0f) && NearlyEqual(a.z, 0.0f))) {
    rotation.SetRotationFromXYZAnglesValues(static_cast<double>(a.x), static_cast<double>(a.y),
                                            static_cast<double>(a.z));
    offset.MulByTransformationInPlace(rotation);
  }
  const float lx = static_cast<float>(offset.GetX() * static_cast<double>(e.axisFactor.x));
  const float ly = static_cast<float>(offset.GetY() * static_cast<double>(e.axisFactor.y));
  const float lz = static_cast<float>(offset.GetZ() * static_cast<double>(e.axisFactor.z));
  switch (e.shape) {
    case ElementShape::Sphere: d = ly * ly + lx * lx + lz * lz; return true;
    case ElementShape::Cube: d = ly * ly * ly * ly + lx * lx * lx * lx + lz * lz * lz * lz; return true;
    case ElementShape::Cylinder: d = ly * ly * ly * ly + lx * lx + lz * lz; return true;
    default: return false;
  }
}

inline bool InsideCullBox(const MetaElement& e, float x, float y, float z) {
  const float m = std::max(std::max(std::fabs(e.scale.x), std::fabs(e.scale.y)), std::fabs(e.scale.z));
  float reach = std::fabs(e.radius);
  if (e.shape != ElementShape::Sphere && e.shape != ElementShape::Cube) {
    reach = std::max(reach, 0.5f * std::fabs(e.height));
  }
  const float h = 2.0f * m * reach;
  return e.centre.x - h <= x && x <= e.centre.x + h && e.centre.y - h <= y && y <= e.centre.y + h &&
         e.centre.z - h <= z && z <= e.centre.z + h;
}

inline XSI::MATH::CTransformation MakeRotation() {
  XSI::MATH::CTransformation rotation;
  rotation.PutRotationOrder(XSI::siZYX);
  return rotation;
}

// True when element k changes the sum at (x, y, z) under `model` (it passes
// every test and its contribution is added), with that contribution.
inline bool Contribution(int model, const MetaElement& e, float x, float y, float z, float& value) {
  XSI::MATH::CTransformation rotation = MakeRotation();
  if (model == 1 && !InsideCullBox(e, x, y, z)) return false;
  float d;
  if (!DistanceMeasure(e, x, y, z, rotation, d)) return false;
  if (model == 0) {
    if (d < 0.00001f) d = e.radius;
    const float numerator = e.shape == ElementShape::Cube ? e.radius * e.radius * e.radius * e.radius
                                                          : e.radius * e.radius;
    value = numerator / d * e.weight;
    return true;
  }
  if (model == 1) {
    if (!(d < 0.5f)) return false;
    value = (d * d + (0.25f - d)) * 16.0f * e.weight;
    return true;
  }
  if (d <= 0.0f) return false;
  const float t = std::exp(-d);
  if (!(t < 1.0f)) return false;
  value = t * e.weight;
  return true;
}

inline float Evaluate(int model, const MetaElement* elements, int32_t count, float iso, float x, float y, float z) {
  float sum = -iso;
  for (int32_t k = 0; k < count; ++k) {
    float value;
    if (Contribution(model, elements[k], x, y, z, value)) sum += value;
  }
  return sum;
}

// The reference as a FieldFunction, for whole polygonizations.
class Field final : public FieldFunction {
 public:
  Field(int model, const MetaElement* elementArray, float threshold, int32_t count)
      : FieldFunction(elementArray, threshold, count), model_(model) {}
  float Evaluate(const float& x, const float& y, const float& z) const override {
    return oracle::Evaluate(model_, elements, elementCount, isoThreshold, x, y, z);
  }

 private:
  int model_;
};

}  // namespace oracle
