#pragma once
// The seven element settings of the main operator ("Viscosity", "Isovalue",
// "Particle_size", "Point_size", "Component_X/Y/Z") and the two values derived
// from them (viscosityFactor, inverseIsovalue).

#include "xsi_operator.h"

struct OperatorInstance;

// Reads the settings into the instance, in the order above. atCurrentTime: at
// the host's current time; otherwise each parameter is re-resolved from its full
// name and read at frame instance.evalFrame.
void ReadElementSettings(OperatorInstance& instance, const XSI::Operator& op, bool atCurrentTime);
