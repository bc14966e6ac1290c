#pragma once
// Attribute transfer: per-element values (a particle's velocity, any value
// the host gathers beside the elements) carried onto points, the mesh's
// vertices, as the average weighted by each element's contribution to the
// field there.

#include <cstddef>
#include <cstdint>

#include "scene/meta_element.h"

// Fills out[p * components + c], for every point p of `points` (x, y, z at
// points[3p], [3p + 1], [3p + 2], in the space of the elements), with
//   sum_e w_e(p) * values[e * components + c] / sum_e w_e(p),
// w_e(p) the contribution of element e at p under blending model
// `blendingModel` (0, 1 or 2; the point taken as floats, as the field takes
// its queries), summed in element order in double. Only elements of positive
// weight take part: a negative element carves the surface but carries no
// value. The elements a point sees come from the buckets of an ElementTable:
// for the polynomial model its own cull boxes, which hold its whole support,
// so its average is exact (taken through a ReachGrid, reach_grid.h, which
// finds the same elements that add, and sums them in the same order; the
// table's buckets are made only at the points no element adds to); the inverse-square and exponential models have
// no cut-off, and there the boxes are kTransferReach times as large (beyond
// them an element's share is below 1/36 of its contribution at a radius,
// inverse-square, or exp(-9) of its peak, exponential).
//
// A point that no element adds to (the lattice's linear interpolation puts
// a few vertices just past the polynomial support, where the field is flat)
// takes the average weighted by 1 / d^2, d each element's measure, over the
// candidates whose box holds it; a point beyond all of them gets zeros.
//
// The points are visited in the order of the grid's cells and split among
// the plug-in's threads (base/parallel.h); each point's value is formed
// alone and written in its own place, so the bytes are the same in any
// order and at any thread count. False, with `out` untouched, for another model or when the table's
// memory cannot be had.
bool TransferToPoints(int32_t blendingModel, const MetaElement* elements, int32_t count, const float* values,
                      int32_t components, const double* points, size_t pointCount, float* out);

// How far beyond the polynomial cull box the models without a cut-off take
// an element, as a factor of the box's half-extent.
inline constexpr float kTransferReach = 3.0f;
