#include "post/geometry_dataset.h"

#include "front/operator_instance.h"

// Placeholders until post-processing lands.
void ResetDataset(GeometryDataset& dataset) { dataset = GeometryDataset(); }
void BuildDataset(GeometryDataset&, OperatorInstance&, const XSI::MATH::CVector3Array&, const XSI::CLongArray&) {}
void WriteBackPositions(const GeometryDataset&, XSI::MATH::CVector3Array&) {}
void ReleaseDataset(GeometryDataset& dataset) { dataset = GeometryDataset(); }
