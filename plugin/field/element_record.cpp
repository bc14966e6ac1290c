#include "field/element_record.h"

#include <algorithm>
#include <cmath>

#include "base/numeric.h"
#include "xsi_math.h"

bool MakeElementRecord(const MetaElement& element, uint32_t slot, ElementRecord& record) {
  const auto shape = static_cast<uint32_t>(element.shape);
  if (!HasElementRecord(element)) return false;
  // Half-extent of the cull box, in the order 2 * m * reach. std::max keeps
  // its first argument when the comparison fails, as the definition does for
  // a NaN scale or radius.
  const float m =
      std::max(std::max(std::fabs(element.scale.x), std::fabs(element.scale.y)), std::fabs(element.scale.z));
  float reach = std::fabs(element.radius);
  if (element.shape != ElementShape::Sphere && element.shape != ElementShape::Cube) {
    reach = std::max(reach, 0.5f * std::fabs(element.height));
  }
  const float h = 2.0f * m * reach;
  const Float3& c = element.centre;
  record.boxLow = Float3{c.x - h, c.y - h, c.z - h};
  record.boxHigh = Float3{c.x + h, c.y + h, c.z + h};
  record.centre = c;
  record.axisFactor = element.axisFactor;
  record.weight = element.weight;
  record.radius = element.radius;
  const float r = element.radius;
  record.numerator = element.shape == ElementShape::Cube ? r * r * r * r : r * r;
  record.kind = shape;
  if (IsRotatedElement(element)) record.kind |= kRotatedKind | slot << kRotationShift;
  return true;
}

bool IsRotatedElement(const MetaElement& element) {
  const Float3& a = element.inverseAngles;
  return !(NearlyEqual(a.x, 0.0f) && NearlyEqual(a.y, 0.0f) && NearlyEqual(a.z, 0.0f));
}

RotationMatrix MakeRotationMatrix(const MetaElement& element) {
  XSI::MATH::CRotation rotation;
  rotation.SetFromXYZAngles(static_cast<double>(element.inverseAngles.x), static_cast<double>(element.inverseAngles.y),
                            static_cast<double>(element.inverseAngles.z), XSI::siZYX);
  RotationMatrix matrix;
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) matrix.m[row * 3 + column] = rotation.Get(row, column);
  }
  return matrix;
}
