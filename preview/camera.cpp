#include "camera.h"

#include <algorithm>
#include <cmath>

namespace {

// Direction from the framed box's centre toward the eye: from the front
// (+z), to the right (+x) and above (+y), about 31 degrees around and 23 up.
constexpr double kToEye[3] = {0.6, 0.5, 1.0};
// Vertical field of view: 30 degrees, a mild perspective.
constexpr double kHalfFovTangent = 0.26794919243112270;  // tan(15 degrees)
// Room around the box: the distance found for a tight fit, times this.
constexpr double kMargin = 1.12;

void Normalize(double v[3]) {
  const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  for (int a = 0; a < 3; ++a) v[a] /= length;
}

void Cross(const double a[3], const double b[3], double out[3]) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

double Dot(const double a[3], const double b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

}  // namespace

void Box3::Add(double x, double y, double z) {
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) return;
  const double p[3] = {x, y, z};
  if (IsEmpty()) {
    for (int a = 0; a < 3; ++a) min[a] = max[a] = p[a];
    return;
  }
  for (int a = 0; a < 3; ++a) {
    min[a] = std::min(min[a], p[a]);
    max[a] = std::max(max[a], p[a]);
  }
}

void Box3::Add(const Box3& other) {
  if (other.IsEmpty()) return;
  Add(other.min[0], other.min[1], other.min[2]);
  Add(other.max[0], other.max[1], other.max[2]);
}

Camera FrameBox(const Box3& box, int32_t width, int32_t height) {
  // 1) the box, made safe to frame: a unit cube when empty, every side at
  // least a thousandth of the longest (and the longest above 0)
  double low[3] = {-1.0, -1.0, -1.0};
  double high[3] = {1.0, 1.0, 1.0};
  if (!box.IsEmpty()) {
    double longest = 0.0;
    for (int a = 0; a < 3; ++a) longest = std::max(longest, box.max[a] - box.min[a]);
    if (!(longest > 0.0)) longest = std::max(1.0, std::fabs(box.min[0]) + std::fabs(box.min[1]) + std::fabs(box.min[2]));
    for (int a = 0; a < 3; ++a) {
      const double centre = 0.5 * (box.min[a] + box.max[a]);
      const double half = std::max(0.5 * (box.max[a] - box.min[a]), 0.0005 * longest);
      low[a] = centre - half;
      high[a] = centre + half;
    }
  }
  double centre[3];
  for (int a = 0; a < 3; ++a) centre[a] = 0.5 * (low[a] + high[a]);

  // 2) the view axes
  double toEye[3] = {kToEye[0], kToEye[1], kToEye[2]};
  Normalize(toEye);
  const double forward[3] = {-toEye[0], -toEye[1], -toEye[2]};
  const double worldUp[3] = {0.0, 1.0, 0.0};
  double right[3];
  Cross(forward, worldUp, right);
  Normalize(right);
  double up[3];
  Cross(right, forward, up);

  // 3) the distance: with the eye at centre + toEye * D, a point at offset d
  // from the centre has depth D + d.forward and must satisfy
  // |d.right| <= tanX * depth and |d.up| <= tanY * depth; the nearest D
  // that holds for all eight corners holds for the whole box.
  const double tanY = kHalfFovTangent;
  const double tanX = tanY * static_cast<double>(width) / static_cast<double>(height);
  double distance = 0.0;
  for (int corner = 0; corner < 8; ++corner) {
    const double d[3] = {((corner & 4) ? high[0] : low[0]) - centre[0], ((corner & 2) ? high[1] : low[1]) - centre[1],
                         ((corner & 1) ? high[2] : low[2]) - centre[2]};
    const double need = std::max(std::fabs(Dot(d, right)) / tanX, std::fabs(Dot(d, up)) / tanY) - Dot(d, forward);
    distance = std::max(distance, need);
  }
  distance *= kMargin;

  // 4) the camera, and the ground patch under the box
  Camera camera;
  camera.width = width;
  camera.height = height;
  for (int a = 0; a < 3; ++a) {
    camera.eye[a] = static_cast<float>(centre[a] + toEye[a] * distance);
    camera.right[a] = static_cast<float>(right[a]);
    camera.up[a] = static_cast<float>(up[a]);
    camera.forward[a] = static_cast<float>(forward[a]);
  }
  camera.focal = static_cast<float>(0.5 * static_cast<double>(height) / tanY);
  const double reach = 0.3 * std::max(high[0] - low[0], high[2] - low[2]);
  camera.groundY = static_cast<float>(low[1]);
  camera.groundMin[0] = static_cast<float>(low[0] - reach);
  camera.groundMin[1] = static_cast<float>(low[2] - reach);
  camera.groundMax[0] = static_cast<float>(high[0] + reach);
  camera.groundMax[1] = static_cast<float>(high[2] + reach);
  return camera;
}

Box3 BoundsOf(const double* positions, size_t vertexCount) {
  Box3 box;
  for (size_t v = 0; v < vertexCount; ++v) box.Add(positions[3 * v], positions[3 * v + 1], positions[3 * v + 2]);
  return box;
}
