#include "finite_points.h"

#include <charconv>
#include <cmath>
#include <limits>

bool CheckFinitePoints(std::span<const double> positions, std::string& error) {
  const size_t count = positions.size() / 3;
  for (size_t i = 0; i < positions.size(); ++i) {
    if (std::fabs(positions[i]) <= std::numeric_limits<float>::max()) continue;
    const size_t point = i / 3;
    error = "point " + std::to_string(point + 1) + " of " + std::to_string(count) +
            " has a coordinate that is not a finite float (" + NumberText(positions[3 * point]) + ", " +
            NumberText(positions[3 * point + 1]) + ", " + NumberText(positions[3 * point + 2]) + ")";
    return false;
  }
  return true;
}

std::string NumberText(double value) {
  if (std::isnan(value)) return "nan";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}
