#include "field/field_function.h"

#include <algorithm>
#include <cmath>

#include "field/numeric.h"
#include "xsi_math.h"

namespace {

using XSI::MATH::CTransformation;
using XSI::MATH::CVector3;

// Below this measure the inverse-square model would divide by (almost) zero.
constexpr float kInverseSquareGuard = 0.00001f;
// The polynomial model's support ends at measure 0.5.
constexpr float kPolynomialSupport = 0.5f;

float FourthPower(float v) { return v * v * v * v; }

// A rotation with angle order Z, Y, X (rotation-order value 5), made once per
// Evaluate call and re-aimed for every rotated element.
CTransformation MakeElementRotation() {
  CTransformation rotation;
  rotation.PutRotationOrder(XSI::siZYX);
  return rotation;
}

// The element's distance measure d at the query point q, in its own frame:
//   o  = centre - q (float differences, carried on in double),
//   o' = o rotated by the element's inverse angles (skipped when all three
//        are nearly 0),
//   l  = o' * axisFactor per axis (double products rounded to float),
//   d  = ly^2 + lx^2 + lz^2 (sphere), ly^4 + lx^4 + lz^4 (cube),
//        ly^4 + lx^2 + lz^2 (cylinder, axis along local Y).
// False for a shape with no measure: such an element adds nothing.
bool DistanceMeasure(const MetaElement& e, float x, float y, float z, CTransformation& rotation, float& d) {
  CVector3 offset(static_cast<double>(e.centre.x - x), static_cast<double>(e.centre.y - y),
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
    case ElementShape::Cube: d = FourthPower(ly) + FourthPower(lx) + FourthPower(lz); return true;
    case ElementShape::Cylinder: d = FourthPower(ly) + lx * lx + lz * lz; return true;
    default: return false;
  }
}

// The polynomial model's axis-aligned box around an element: half-extent
// 2 * max|scale| * |radius| (a cylinder, or any other shape, takes the larger
// of |radius| and half its |height|). Inclusive; a NaN fails it.
bool InsideCullBox(const MetaElement& e, float x, float y, float z) {
  const float m = std::max(std::max(std::fabs(e.scale.x), std::fabs(e.scale.y)), std::fabs(e.scale.z));
  float reach = std::fabs(e.radius);
  if (e.shape != ElementShape::Sphere && e.shape != ElementShape::Cube) {
    reach = std::max(reach, 0.5f * std::fabs(e.height));
  }
  const float h = 2.0f * m * reach;
  return e.centre.x - h <= x && x <= e.centre.x + h && e.centre.y - h <= y && y <= e.centre.y + h &&
         e.centre.z - h <= z && z <= e.centre.z + h;
}

}  // namespace

float InverseSquareField::Evaluate(const float& x, const float& y, const float& z) const {
  CTransformation rotation = MakeElementRotation();
  float sum = -isoThreshold;
  for (int32_t k = 0; k < elementCount; ++k) {
    const MetaElement& e = elements[k];
    float d;
    if (!DistanceMeasure(e, x, y, z, rotation, d)) continue;
    // Near the centre the measure is replaced by the radius itself (not a
    // power of it), which caps the contribution at radius (radius^3 for cubes).
    if (d < kInverseSquareGuard) d = e.radius;
    const float numerator = e.shape == ElementShape::Cube ? e.radius * e.radius * e.radius * e.radius
                                                          : e.radius * e.radius;
    sum += numerator / d * e.weight;
  }
  return sum;
}

float PolynomialField::Evaluate(const float& x, const float& y, const float& z) const {
  CTransformation rotation = MakeElementRotation();
  float sum = -isoThreshold;
  for (int32_t k = 0; k < elementCount; ++k) {
    const MetaElement& e = elements[k];
    if (!InsideCullBox(e, x, y, z)) continue;
    float d;
    if (!DistanceMeasure(e, x, y, z, rotation, d)) continue;
    // d*d + (0.25 - d) = (1 - 2d)^2 / 4: 4 at the centre, 0 with zero slope at d = 0.5.
    if (d < kPolynomialSupport) sum += (d * d + (0.25f - d)) * 16.0f * e.weight;
  }
  return sum;
}

float ExponentialField::Evaluate(const float& x, const float& y, const float& z) const {
  CTransformation rotation = MakeElementRotation();
  float sum = -isoThreshold;
  for (int32_t k = 0; k < elementCount; ++k) {
    const MetaElement& e = elements[k];
    float d;
    if (!DistanceMeasure(e, x, y, z, rotation, d)) continue;
    // Nothing at the exact centre, nor where expf(-d) rounds to 1.
    if (d <= 0.0f) continue;
    const float t = std::exp(-d);
    if (t < 1.0f) sum += t * e.weight;
  }
  return sum;
}
