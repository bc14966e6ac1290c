#pragma once
// ElementRecord: the constants of one MetaElement that the field needs at
// every query, taken once per polygonization, and the element's distance
// measure computed from them with exactly the arithmetic of the field's
// definition (see FieldFunction).

#include <cstdint>

#include "scene/meta_element.h"

// Row-major 3 x 3 rotation, m[row * 3 + column], row-vector convention
// (v' = v * R): the matrix of XSI::MATH::CRotation::SetFromXYZAngles with the
// element's inverseAngles and rotation order Z, Y, X.
struct RotationMatrix {
  double m[9];
};

// One element with a distance measure (shape Sphere, Cube or Cylinder), 64
// bytes so that a record is one cache line.
struct ElementRecord {
  Float3 boxLow;     // cull box of the polynomial model: centre - h ...
  Float3 boxHigh;    // ... centre + h, h = 2 * max|scale| * reach (inclusive)
  Float3 centre;
  Float3 axisFactor;
  float weight;
  float radius;     // inverse-square model: the measure's stand-in below 0.00001
  float numerator;  // inverse-square model: radius^2, radius^4 for cubes
  uint32_t kind;    // shape (bits 0-1), kRotatedKind, rotation slot << kRotationShift
};
static_assert(sizeof(ElementRecord) == 64, "one record per cache line");

constexpr uint32_t kShapeMask = 3u;
constexpr uint32_t kRotatedKind = 4u;
constexpr uint32_t kRotationShift = 3;
// Rotation slots must fit in the bits above kRotationShift.
constexpr int64_t kMaxRotationSlots = int64_t{1} << (32 - kRotationShift);

// Fills `record` for `element` with rotation slot `slot` (used only when the
// element is rotated). False when the element has no distance measure (a shape
// value other than 0, 1 and 2): such an element adds nothing under any model.
bool MakeElementRecord(const MetaElement& element, uint32_t slot, ElementRecord& record);

// Whether MakeElementRecord makes a record of `element` (its shape has a
// distance measure), without making it.
inline bool HasElementRecord(const MetaElement& element) { return static_cast<uint32_t>(element.shape) <= 2u; }

// True unless all three inverseAngles are NearlyEqual to 0.
bool IsRotatedElement(const MetaElement& element);

// The rotation of a rotated element (see RotationMatrix).
RotationMatrix MakeRotationMatrix(const MetaElement& element);

// The polynomial model's cull test: boxLow <= q <= boxHigh on all three axes
// (a NaN on either side fails it).
inline bool InsideCullBox(const ElementRecord& r, float x, float y, float z) {
  return r.boxLow.x <= x && x <= r.boxHigh.x && r.boxLow.y <= y && y <= r.boxHigh.y && r.boxLow.z <= z &&
         z <= r.boxHigh.z;
}

// The element's distance measure at (x, y, z):
//   o = centre - q, per axis in float;
//   rotated: o' = o * R in double, l = float(o' * axisFactor) per axis;
//   not rotated: l = float(double(o) * axisFactor), computed as the float
//     product o * axisFactor, which is the same value: the product of two
//     floats is exact in double, so rounding it to float once is the correctly
//     rounded float product (also for overflow, underflow, inf and NaN);
//   d = ly^2 + lx^2 + lz^2 (sphere), ly^4 + lx^4 + lz^4 (cube),
//       ly^4 + lx^2 + lz^2 (cylinder), added in that order, powers as
//       successive products.
// The host's transformation computes (o * 1.0) * R + 0.0; both identities are
// left out: x * 1.0 is x for every x, and + 0.0 changes only a -0.0 into +0.0,
// whose sign no measure can see (every coordinate is squared, and a zero times
// the axis factor is a zero or, with an infinite or NaN factor, the same NaN
// for either sign).
inline float MeasureAt(const ElementRecord& r, const RotationMatrix* rotations, float x, float y, float z) {
  const float ox = r.centre.x - x;
  const float oy = r.centre.y - y;
  const float oz = r.centre.z - z;
  float lx;
  float ly;
  float lz;
  if (r.kind & kRotatedKind) {
    const double* m = rotations[r.kind >> kRotationShift].m;
    const double dx = ox;
    const double dy = oy;
    const double dz = oz;
    lx = static_cast<float>((dx * m[0] + dy * m[3] + dz * m[6]) * static_cast<double>(r.axisFactor.x));
    ly = static_cast<float>((dx * m[1] + dy * m[4] + dz * m[7]) * static_cast<double>(r.axisFactor.y));
    lz = static_cast<float>((dx * m[2] + dy * m[5] + dz * m[8]) * static_cast<double>(r.axisFactor.z));
  } else {
    lx = ox * r.axisFactor.x;
    ly = oy * r.axisFactor.y;
    lz = oz * r.axisFactor.z;
  }
  switch (r.kind & kShapeMask) {
    case 0: return ly * ly + lx * lx + lz * lz;
    case 1: return ly * ly * ly * ly + lx * lx * lx * lx + lz * lz * lz * lz;
    default: return ly * ly * ly * ly + lx * lx + lz * lz;
  }
}
