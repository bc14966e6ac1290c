#pragma once
// The one check every reader applies to the points it read: each coordinate
// a finite number of the float range, as the plug-in takes it.

#include <span>
#include <string>

// True when every coordinate of `positions` (x, y, z per point) is finite
// and within the float range; else false with "point N of M has a
// coordinate that is not a finite float (X, Y, Z)" in `error`, N counting
// from 1 in the file's order.
bool CheckFinitePoints(std::span<const double> positions, std::string& error);

// A number as the messages quote it: the shortest text that reads back as it.
std::string NumberText(double value);
