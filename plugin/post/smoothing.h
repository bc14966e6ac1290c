#pragma once
// Umbrella smoothing: every free vertex moves toward the mean of its neighbours,
// integer-part-of-strength + 1 passes, the last weighted by the fractional part.

#include "post/geometry_dataset.h"
#include "xsi_math.h"

// Strengths above this act as this: at most kMaxSmoothPasses full passes, then
// the null last pass.
constexpr int32_t kMaxSmoothPasses = 1000;

// Runs only on a valid dataset. With s = owner.smoothStrength, n = s truncated
// toward zero and t = s - n (single precision), makes n + 1 passes. A pass
// first computes, for every vertex from the positions before the pass,
// smoothed = (m * inverseNeighbourCount + position) * 0.5f, m the sum of its
// neighbours' positions in list order starting from zero; passes 0 .. n-1 store
// newPosition = smoothed, the last newPosition = (1 - t) * newPosition + smoothed * t.
// Then every non-boundary vertex takes its newPosition.
//
// A vertex with no neighbour keeps its position. A NaN strength smooths nothing;
// a strength above kMaxSmoothPasses (including +infinity) counts as
// kMaxSmoothPasses; a strength at or below -1 makes no pass. The vertex count
// comes from the dataset, which was built from the same vertices.
void SmoothGeometry(OperatorInstance& owner, const XSI::MATH::CVector3Array& vertices, GeometryDataset& dataset);
