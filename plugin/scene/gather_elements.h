#pragma once
// Gathering: turns the sources connected to the main operator's port group
// "GroupMetaballsGeometry" into one array of MetaElement, in the space of the
// object connected to "InTransform".

#include <cstdint>

#include "base/settings.h"
#include "scene/element_values.h"
#include "scene/meta_element.h"
#include "xsi_operator.h"

// The single-precision square root of 2.0, computed when the library loads.
extern const float kSqrt2;

// Returns a block of `count` elements allocated with malloc (release it with
// free), or null when it cannot be allocated (then logs
// "<fullName> (graph) -> not enough memory."; count keeps the counted total).
// atCurrentTime: every host value at the current time; otherwise re-resolved
// by full name and read at frame settings.evalFrame.
//
// Elements come in walk order: port groups from "GroupMetaballsGeometry" on,
// then instances, then ports, then points or particles in the host's order.
// Sources: "polymsh" and "cloud" give one element per point, "sphere", "cube"
// and "cylinder" one each; any other type gives one inert element (every
// field 0, weight 0, shape Inert) so that sources stay paired with their
// transforms. Every field of every record is written.
//
// A "cloud" or "polymsh" source with the per-point attribute
// kRadiusScaleAttribute (one value for each of its points) has each point's
// element radius multiplied by its value; without it, as before.
//
// With `values` (its channels named, see ElementValues::Start), each channel
// is filled for every element: the velocity channel with the velocity of the
// element's centre in output-space units per frame (the motion of its pose,
// see MotionVelocity in the source, plus a point's own "v" carried by the
// pose), any other with the source's per-point attribute of that name
// (zeros for the elements of sources without it). May throw std::bad_alloc
// while filling them.
MetaElement* GatherElements(int32_t& count, const Settings& settings, const XSI::Operator& op, bool atCurrentTime,
                            ElementValues* values = nullptr);

// Byte size of a block of `count` elements as an unsigned 32-bit value; false
// when count is negative or the size does not fit in 32 bits (such a block is
// refused like a failed allocation).
bool ElementBlockBytes(int64_t count, uint32_t& bytes);
