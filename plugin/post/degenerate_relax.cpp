#include "post/degenerate_relax.h"

// Placeholder until post-processing lands.
void RelaxDegenerateEdges(OperatorInstance&, const XSI::MATH::CVector3Array&, const XSI::CLongArray&,
                          GeometryDataset&) {}
