#include "post/smoothing.h"

// Placeholder until post-processing lands.
void SmoothGeometry(OperatorInstance&, const XSI::MATH::CVector3Array&, GeometryDataset&) {}
