#include "support/mesh_checks.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <set>
#include <tuple>
#include <vector>

#include "host/host_scene.h"
#include "mesh_check.h"
#include "mesh_data.h"

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
  MeshData mesh;
  int32_t top = -1;
  for (XSI::LONG offset = 0; offset < polygons.GetCount(); offset += polygons[offset] + 1) {
    const XSI::LONG n = polygons[offset];
    if (n == 3) ++counts.triangles;
    else if (n == 4) ++counts.quads;
    else ++counts.otherPolygons;
    for (XSI::LONG k = 1; k <= n; ++k) top = std::max(top, static_cast<int32_t>(polygons[offset + k]));
  }
  mesh.polygons.assign(polygons.GetArray(), polygons.GetArray() + polygons.GetCount());
  mesh.positions.assign(3 * static_cast<size_t>(top + 1), 0.0);
  const MeshCheck check = CheckMesh(mesh);
  counts.boundaryEdges = static_cast<int32_t>(check.boundaryEdges);
  counts.nonManifoldEdges = static_cast<int32_t>(check.nonManifoldEdges + check.misorientedEdges);
  return counts;
}

::testing::AssertionResult HasValidIndices(int32_t vertexCount, const XSI::CLongArray& polygons) {
  const XSI::LONG entry = XSI::Host::FirstMalformedEntry(vertexCount, polygons);
  if (entry < 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "malformed polygon description at entry " << entry << " (value "
                                       << polygons[entry] << ", " << vertexCount << " vertices)";
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
  MeshData mesh;
  int32_t top = -1;
  for (const Triangle& t : triangles) {
    mesh.polygons.insert(mesh.polygons.end(), {3, t[0], t[1], t[2]});
    top = std::max({top, t[0], t[1], t[2]});
  }
  mesh.positions.assign(3 * static_cast<size_t>(top + 1), 0.0);
  const MeshCheck check = CheckMesh(mesh);
  if (check.boundaryEdges + check.nonManifoldEdges + check.misorientedEdges != 0) {
    return ::testing::AssertionFailure() << DescribeCheck(check);
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
