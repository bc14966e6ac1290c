#pragma once
// MetaElement: one source of the metaball field, as a plain record.

#include <cstdint>

#include "base/numeric.h"

// Distance measure of an element (see FieldFunction). Values outside 0..2 make
// an element that contributes nothing.
enum class ElementShape : int32_t { Sphere = 0, Cube = 1, Cylinder = 2, Inert = 3 };

// Eighteen 4-byte fields, stored in one contiguous array in gathering order.
// Positions and sizes are in the space of the operator's "InTransform" object.
struct MetaElement {
  Float3 centre;         // element centre
  Float3 inverseAngles;  // negated X, Y, Z Euler angles (radians) of the element's pose; 0 for points
  Float3 scale;          // per-axis scale
  Float3 axisFactor;     // per-axis factor applied to the element-local offset
  float radius;          // element radius
  float height;          // cylinder height; 1.0 for every other kind
  float radialFactor;    // reciprocal size across the element
  float axialFactor;     // reciprocal size along a cylinder's axis (cylinders only)
  float weight;          // +1.0 or -1.0 (0.0 for an unrecognised source): sign of the contribution
  ElementShape shape;
};

static_assert(sizeof(MetaElement) == 18 * 4, "MetaElement is eighteen 4-byte fields");
