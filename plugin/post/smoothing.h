#pragma once
// Umbrella smoothing: every free vertex moves toward the mean of its neighbours,
// integer-part-of-strength + 1 passes, the last weighted by the fractional part.

#include "base/settings.h"
#include "post/geometry_dataset.h"
#include "xsi_math.h"

// Runs only on a valid dataset. With s = settings.smoothStrength, n = s truncated
// toward zero and t = s - n (single precision), makes n + 1 passes. A pass
// first computes, for every vertex from the positions before the pass,
// smoothed = (m * inverseNeighbourCount + position) * 0.5f, m the sum of its
// neighbours' positions in list order starting from zero; passes 0 .. n-1 store
// newPosition = smoothed, the last newPosition = (1 - t) * newPosition + smoothed * t.
// Then every non-boundary vertex takes its newPosition.
//
// The number of passes has no ceiling (a strength of 1000.5 makes 1001, the
// last at half weight), so the time taken grows with the strength. A strength
// that cannot be counted in an int32 pass counter (NaN, an infinity, 2^31 or
// more) smooths nothing, and one at or below -1 makes no pass.
//
// A vertex with no neighbour keeps its position. The vertex count comes from
// the dataset, which was built from the same vertices.
void SmoothGeometry(const Settings& settings, const XSI::MATH::CVector3Array& vertices, GeometryDataset& dataset);
