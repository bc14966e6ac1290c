#include "scene/gather_elements.h"

#include <cmath>

#include "front/allocation.h"
#include "front/operator_instance.h"

const float kSqrt2 = std::sqrt(2.0f);

// Placeholder until gathering lands: no elements.
MetaElement* GatherElements(int32_t& count, OperatorInstance&, const XSI::Operator&, bool) {
  count = 0;
  return static_cast<MetaElement*>(TryAllocateBlock(0, sizeof(MetaElement)));
}
