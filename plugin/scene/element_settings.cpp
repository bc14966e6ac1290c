#include "scene/element_settings.h"

#include "front/operator_instance.h"

// Placeholder until the element settings land.
void ReadElementSettings(OperatorInstance&, const XSI::Operator&, bool) {}
