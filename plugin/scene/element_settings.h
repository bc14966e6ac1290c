#pragma once
// The seven element settings of the main operator ("Viscosity", "Isovalue",
// "Particle_size", "Point_size", "Component_X/Y/Z") and the two values derived
// from them (viscosityFactor, inverseIsovalue).

#include "base/settings.h"
#include "xsi_operator.h"

// Reads the seven settings into `settings`, in the order above. atCurrentTime:
// at the host's current time; otherwise each parameter is re-resolved from its
// full name and read at frame settings.evalFrame.
void ReadElementSettings(Settings& settings, const XSI::Operator& op, bool atCurrentTime);
