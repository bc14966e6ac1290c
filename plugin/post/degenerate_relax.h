#pragma once
// One relaxation pass over the ends of triangle edges shorter than a tolerance
// derived from the cell size: each end moves half-way toward the mean of its
// neighbours. Positions only; the polygon description is never changed.

#include "base/settings.h"
#include "post/geometry_dataset.h"
#include "xsi_arrays.h"
#include "xsi_math.h"

// Runs only on a valid dataset built with polygon records (degenerate removal on
// at build time); otherwise returns at once.
//
// Reference length: space 0, (cellSize.y + cellSize.x + cellSize.z) * 0.33333334f;
// space 1, cellSize.x; any other space 0 (nothing moves). Halved when
// polygonization is not 0. An edge (u, w) of a triangle (a, b, c), edges taken
// as (a, b), (b, c), (c, a), is short when its squared length is strictly below
// (reference * degenerateTolerance)^2. Each end of a short edge gets
// newPosition = position * 0.5f + (sum * inverseNeighbourCount) * 0.5f, the sum
// starting with the partner's position (for an end of several short edges, the
// partner of the last one in triangle and edge order) and adding the rest of
// the end's neighbour list in list order; each end is evaluated once, so the
// pass is linear whatever the valence. After all triangles every non-boundary vertex
// takes its newPosition. Reads settings.space, cellSize, polygonization and
// degenerateTolerance. The counts come from the dataset, which was built from
// the same vertices and polygons.
void RelaxDegenerateEdges(const Settings& settings, const XSI::MATH::CVector3Array& vertices,
                          const XSI::CLongArray& polygons, GeometryDataset& dataset);
