#include "grid/grid_polygonizer.h"

#include "front/operator_instance.h"

// Placeholders until the voxel grid lands.
bool GridPolygonizer::EnsureGrids() { return false; }
void GridPolygonizer::SimulateStep(const MetaElement*, const int32_t&) {}
void GridPolygonizer::ExtractAndCache(XSI::MATH::CVector3Array&, XSI::CLongArray&, XSI::CDoubleArray&, const bool&) {}
void GridPolygonizer::WriteGridCache(const XSI::MATH::CVector3Array&, const XSI::CLongArray&,
                                     const XSI::CDoubleArray&) {}
void GridPolygonizer::ReadGridCache(XSI::MATH::CVector3Array&, XSI::CLongArray&, XSI::CDoubleArray&) {}
