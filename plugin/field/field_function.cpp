#include "field/field_function.h"

// Placeholders until the blending models land.
float InverseSquareField::Evaluate(const float&, const float&, const float&) const { return -isoThreshold; }
float PolynomialField::Evaluate(const float&, const float&, const float&) const { return -isoThreshold; }
float ExponentialField::Evaluate(const float&, const float&, const float&) const { return -isoThreshold; }
