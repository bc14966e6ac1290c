#pragma once
// Umbrella smoothing: every free vertex moves toward the mean of its neighbours,
// integer-part-of-strength + 1 passes, the last weighted by the fractional part.

#include "post/geometry_dataset.h"
#include "xsi_math.h"

void SmoothGeometry(OperatorInstance& owner, const XSI::MATH::CVector3Array& vertices, GeometryDataset& dataset);
