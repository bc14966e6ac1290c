#pragma once
// One whole continuation polygonization of an element array, as the
// benchmarks of the tracker run it.

#include <cstdint>
#include <vector>

#include "field/field_function.h"
#include "front/operator_instance.h"
#include "tracker/continuation_polygonizer.h"


inline PolygonizeResult RunTracker(OperatorInstance& in, const FieldFunction& field,
                                   const std::vector<MetaElement>& elements, MeshArrays& out) {
  const auto count = static_cast<int32_t>(elements.size());
  return Polygonize(in.settings, in.cubeTable, field, elements.data(), count, out);
}
