#pragma once
// One whole continuation polygonization of an element array, as the
// benchmarks of the tracker run it.

#include <cstdint>
#include <vector>

#include "field/field_function.h"
#include "front/operator_instance.h"
#include "tracker/continuation_polygonizer.h"

struct TrackerOutput {
  XSI::MATH::CVector3Array vertices;
  XSI::CLongArray polygons;
  XSI::CDoubleArray nodeValues;
};

inline PolygonizeResult RunTracker(OperatorInstance& in, const FieldFunction& field,
                                   const std::vector<MetaElement>& elements, TrackerOutput& out) {
  ContinuationPolygonizer polygonizer{&field, &in.cubeTable, &in};
  const auto count = static_cast<int32_t>(elements.size());
  return Polygonize(polygonizer, elements.data(), count, out.vertices, out.polygons, out.nodeValues);
}
