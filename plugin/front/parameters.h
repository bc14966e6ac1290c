#pragma once
// The main operator's 29 operator-level parameters, read by name at the start
// of every evaluation, and the settings derived from them.

#include "base/clock.h"
#include "base/settings.h"
#include "xsi_operator.h"
#include "xsi_string.h"

// Reads every parameter at the current time, in the fixed reading order, into
// the settings, applying the derived settings and forcing rules as it goes
// (the clock's start when timing, normalsOrUv, cell sizes, JB_accuracy + 2,
// smoothing and degenerate switches, boundary preservation, boxes, cache name).
void ReadParameters(Settings& settings, StageClock& clock, const XSI::Operator& op);

// The cache file name rule: rewrites `name` in place to directory + base name
// ("D:/sim/blob.0012.grd" -> "D:\sim\blob") and returns true, or empties it and
// returns false when the name is unusable (empty, a character of *?"<>| , an
// empty base name, or ":" in the base name).
bool ApplyCacheFileNameRule(XSI::CString& name);
