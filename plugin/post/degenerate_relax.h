#pragma once
// One relaxation pass over the ends of triangle edges shorter than a tolerance
// derived from the cell size: each end moves half-way toward the mean of its
// neighbours. Positions only; the polygon description is never changed.

#include "post/geometry_dataset.h"
#include "xsi_arrays.h"
#include "xsi_math.h"

void RelaxDegenerateEdges(OperatorInstance& owner, const XSI::MATH::CVector3Array& vertices,
                          const XSI::CLongArray& polygons, GeometryDataset& dataset);
