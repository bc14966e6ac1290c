#pragma once
// Gathering: turns the sources connected to the main operator's port group
// "GroupMetaballsGeometry" into one array of MetaElement, in the space of the
// object connected to "InTransform".

#include <cstdint>

#include "scene/meta_element.h"
#include "xsi_operator.h"

struct OperatorInstance;

// The single-precision square root of 2.0, computed when the library loads.
extern const float kSqrt2;

// Returns a block of `count` elements allocated with malloc (release it with
// free), or null when it cannot be allocated (then logs
// "<fullName> (graph) -> not enough memory."; count keeps the counted total).
// atCurrentTime: every host value at the current time; otherwise re-resolved
// by full name and read at frame instance.evalFrame.
MetaElement* GatherElements(int32_t& count, OperatorInstance& instance, const XSI::Operator& op, bool atCurrentTime);
