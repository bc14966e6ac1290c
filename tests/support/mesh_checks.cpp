#include "support/mesh_checks.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>
#include <tuple>
#include <vector>

namespace {

using Triangle = std::array<int32_t, 3>;

// The triangle rotated so that its smallest index comes first (orientation kept).
Triangle Canonical(Triangle t) {
  while (t[0] > t[1] || t[0] > t[2]) t = {t[1], t[2], t[0]};
  return t;
}

}  // namespace

MeshCounts CountMesh(const XSI::CLongArray& polygons) {
  MeshCounts counts;
  std::map<std::pair<int32_t, int32_t>, int> directed;
  for (XSI::LONG offset = 0; offset < polygons.GetCount();) {
    const XSI::LONG n = polygons[offset];
    if (n == 3) ++counts.triangles;
    else if (n == 4) ++counts.quads;
    else ++counts.otherPolygons;
    for (XSI::LONG k = 0; k < n && offset + 1 + n <= polygons.GetCount(); ++k) {
      const int32_t a = polygons[offset + 1 + k];
      const int32_t b = polygons[offset + 1 + (k + 1) % n];
      ++directed[{a, b}];
    }
    offset += n + 1;
  }
  const auto uses = [&directed](int32_t a, int32_t b) {
    const auto it = directed.find({a, b});
    return it == directed.end() ? 0 : it->second;
  };
  for (const auto& [edge, count] : directed) {
    const auto [low, high] = std::minmax(edge.first, edge.second);
    if (edge.first != low && directed.count({low, high}) != 0) continue;  // counted from the other direction
    const int forward = uses(low, high);
    const int backward = uses(high, low);
    if (forward + backward == 1) ++counts.boundaryEdges;
    else if (forward > 1 || backward > 1) ++counts.nonManifoldEdges;
  }
  return counts;
}

::testing::AssertionResult HasValidIndices(int32_t vertexCount, const XSI::CLongArray& polygons) {
  for (XSI::LONG offset = 0; offset < polygons.GetCount();) {
    const XSI::LONG n = polygons[offset];
    if (n < 3 || offset + n >= polygons.GetCount()) {
      return ::testing::AssertionFailure() << "malformed polygon of " << n << " vertices at entry " << offset;
    }
    for (XSI::LONG k = 1; k <= n; ++k) {
      const XSI::LONG index = polygons[offset + k];
      if (index < 0 || index >= vertexCount) {
        return ::testing::AssertionFailure() << "index " << index << " at entry " << offset + k
                                             << " outside [0, " << vertexCount << ")";
      }
    }
    offset += n + 1;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult IsClosedManifold(const XSI::CLongArray& polygons, bool allowCoincidentOppositePairs) {
  if (polygons.GetCount() % 4 != 0) return ::testing::AssertionFailure() << "not a triangle description";
  std::vector<Triangle> triangles;
  for (XSI::LONG offset = 0; offset < polygons.GetCount(); offset += 4) {
    if (polygons[offset] != 3) return ::testing::AssertionFailure() << "polygon at " << offset << " is not a triangle";
    Triangle t = {polygons[offset + 1], polygons[offset + 2], polygons[offset + 3]};
    if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2]) {
      return ::testing::AssertionFailure() << "triangle at " << offset << " repeats a vertex";
    }
    triangles.push_back(Canonical(t));
  }
  if (allowCoincidentOppositePairs) {
    std::multiset<Triangle> remaining(triangles.begin(), triangles.end());
    std::vector<Triangle> kept;
    for (const Triangle& t : triangles) {
      auto self = remaining.find(t);
      if (self == remaining.end()) continue;  // already removed as the partner of an earlier one
      const Triangle reversed = Canonical({t[0], t[2], t[1]});
      auto partner = remaining.find(reversed);
      remaining.erase(self);
      if (partner != remaining.end()) {
        remaining.erase(partner);
      } else {
        kept.push_back(t);
      }
    }
    triangles = kept;
  }
  std::map<std::pair<int32_t, int32_t>, int> directed;
  for (const Triangle& t : triangles) {
    for (int k = 0; k < 3; ++k) {
      if (++directed[{t[k], t[(k + 1) % 3]}] > 1) {
        return ::testing::AssertionFailure() << "edge " << t[k] << "-" << t[(k + 1) % 3]
                                             << " used twice in the same direction";
      }
    }
  }
  for (const auto& [edge, uses] : directed) {
    if (directed.find({edge.second, edge.first}) == directed.end()) {
      return ::testing::AssertionFailure() << "edge " << edge.first << "-" << edge.second
                                           << " has no opposite (open or inconsistently oriented)";
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult HasNoDuplicateVertices(const XSI::MATH::CVector3Array& vertices) {
  std::set<std::tuple<double, double, double>> seen;
  for (XSI::LONG i = 0; i < vertices.GetCount(); ++i) {
    if (!seen.insert({vertices[i].GetX(), vertices[i].GetY(), vertices[i].GetZ()}).second) {
      return ::testing::AssertionFailure() << "vertex " << i << " repeats an earlier position";
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult IsFinite(const XSI::MATH::CVector3Array& vertices) {
  for (XSI::LONG i = 0; i < vertices.GetCount(); ++i) {
    if (!std::isfinite(vertices[i].GetX()) || !std::isfinite(vertices[i].GetY()) ||
        !std::isfinite(vertices[i].GetZ())) {
      return ::testing::AssertionFailure() << "vertex " << i << " is not finite";
    }
  }
  return ::testing::AssertionSuccess();
}
