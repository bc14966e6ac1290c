#include "tracker/continuation_polygonizer.h"

// Placeholder until the continuation polygonizer lands.
PolygonizeResult Polygonize(ContinuationPolygonizer&, const MetaElement*, const int32_t&, XSI::MATH::CVector3Array&,
                            XSI::CLongArray&, XSI::CDoubleArray&) {
  return PolygonizeResult::Complete;
}
