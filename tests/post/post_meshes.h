#pragma once
// Small meshes built in code for the post-processing tests, and the driver's
// post-processing sequence.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "front/operator_instance.h"
#include "post/degenerate_relax.h"
#include "post/geometry_dataset.h"
#include "post/smoothing.h"
#include "xsi_arrays.h"
#include "xsi_math.h"

namespace post_test {

using XSI::CLongArray;
using XSI::MATH::CVector3;
using XSI::MATH::CVector3Array;

struct Mesh {
  CVector3Array vertices;
  CLongArray polygons;
};

inline void AddTriangle(CLongArray& polygons, int32_t a, int32_t b, int32_t c) {
  polygons.Add(3);
  polygons.Add(a);
  polygons.Add(b);
  polygons.Add(c);
}

// Vertex 0 at `centre`, ring vertices 1..n around it, triangles (0, i, i+1) closing the fan.
inline Mesh Fan(const CVector3& centre, const std::vector<CVector3>& ring) {
  Mesh m;
  m.vertices.Add(centre);
  for (const CVector3& r : ring) m.vertices.Add(r);
  const int32_t n = static_cast<int32_t>(ring.size());
  for (int32_t i = 0; i < n; ++i) AddTriangle(m.polygons, 0, 1 + i, 1 + (i + 1) % n);
  return m;
}

// Octahedron with vertices (+-sx, 0, 0), (0, +-sy, 0), (0, 0, +-sz), outward faces.
// Far x of the cancelling strip: 2^25, where adding 1 to a float is lost.
constexpr double kStripFar = 33554432.0;

// The strip (0,1,2), (2,1,3) over (1, 0, 0), (0, 0, 0), (-2^25, 1, 0) and
// (2^25, 1, 0): vertex 1's neighbour list is 3, 2, 0, so a sum of its
// neighbours' x tells the order it was taken in (1 is lost beside 2^25).
inline Mesh CancellingStrip() {
  Mesh m;
  m.vertices.Add(CVector3(1, 0, 0));
  m.vertices.Add(CVector3(0, 0, 0));
  m.vertices.Add(CVector3(-kStripFar, 1, 0));
  m.vertices.Add(CVector3(kStripFar, 1, 0));
  AddTriangle(m.polygons, 0, 1, 2);
  AddTriangle(m.polygons, 2, 1, 3);
  return m;
}

inline Mesh Octahedron(double sx, double sy, double sz) {
  Mesh m;
  m.vertices.Add(CVector3(sx, 0, 0));   // 0
  m.vertices.Add(CVector3(-sx, 0, 0));  // 1
  m.vertices.Add(CVector3(0, sy, 0));   // 2
  m.vertices.Add(CVector3(0, -sy, 0));  // 3
  m.vertices.Add(CVector3(0, 0, sz));   // 4
  m.vertices.Add(CVector3(0, 0, -sz));  // 5
  const int32_t faces[8][3] = {{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4},
                               {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}};
  for (const auto& f : faces) AddTriangle(m.polygons, f[0], f[1], f[2]);
  return m;
}

// Unit icosahedron subdivided `levels` times, every vertex on the unit sphere, outward faces.
inline Mesh Icosphere(int levels) {
  const double g = (1.0 + std::sqrt(5.0)) / 2.0;
  std::vector<std::array<double, 3>> points = {{-1, g, 0}, {1, g, 0}, {-1, -g, 0}, {1, -g, 0},
                                               {0, -1, g}, {0, 1, g}, {0, -1, -g}, {0, 1, -g},
                                               {g, 0, -1}, {g, 0, 1}, {-g, 0, -1}, {-g, 0, 1}};
  std::vector<std::array<int32_t, 3>> faces = {
      {0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
      {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
      {3, 8, 9},  {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
  const auto normalise = [](std::array<double, 3> p) {
    const double l = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    return std::array<double, 3>{p[0] / l, p[1] / l, p[2] / l};
  };
  for (auto& p : points) p = normalise(p);
  for (int level = 0; level < levels; ++level) {
    std::map<std::pair<int32_t, int32_t>, int32_t> midpoints;
    const auto midpoint = [&](int32_t a, int32_t b) {
      const auto key = std::make_pair(std::min(a, b), std::max(a, b));
      const auto found = midpoints.find(key);
      if (found != midpoints.end()) return found->second;
      points.push_back(normalise({points[a][0] + points[b][0], points[a][1] + points[b][1], points[a][2] + points[b][2]}));
      const int32_t index = static_cast<int32_t>(points.size()) - 1;
      midpoints.emplace(key, index);
      return index;
    };
    std::vector<std::array<int32_t, 3>> finer;
    for (const auto& f : faces) {
      const int32_t ab = midpoint(f[0], f[1]), bc = midpoint(f[1], f[2]), ca = midpoint(f[2], f[0]);
      finer.push_back({f[0], ab, ca});
      finer.push_back({f[1], bc, ab});
      finer.push_back({f[2], ca, bc});
      finer.push_back({ab, bc, ca});
    }
    faces = std::move(finer);
  }
  Mesh m;
  for (const auto& p : points) m.vertices.Add(CVector3(p[0], p[1], p[2]));
  for (const auto& f : faces) AddTriangle(m.polygons, f[0], f[1], f[2]);
  return m;
}

// The mesh without the triangles whose three vertices all lie above the height z:
// a cap is cut away and an open boundary ring is left.
inline Mesh CutAbove(const Mesh& closed, double z) {
  Mesh m;
  m.vertices = closed.vertices;
  for (int32_t p = 0; p < closed.polygons.GetCount() / 4; ++p) {
    const int32_t a = closed.polygons[4 * p + 1], b = closed.polygons[4 * p + 2], c = closed.polygons[4 * p + 3];
    if (m.vertices[a].GetZ() > z && m.vertices[b].GetZ() > z && m.vertices[c].GetZ() > z) continue;
    AddTriangle(m.polygons, a, b, c);
  }
  return m;
}

// Vertices on an undirected edge used by a single triangle, counted from the
// description; the number of such edges goes to edgeCount.
inline std::vector<bool> BoundaryVertices(const Mesh& m, int32_t& edgeCount) {
  std::map<std::pair<int32_t, int32_t>, int> uses;
  for (int32_t p = 0; p < m.polygons.GetCount() / 4; ++p) {
    const int32_t v[3] = {m.polygons[4 * p + 1], m.polygons[4 * p + 2], m.polygons[4 * p + 3]};
    for (int e = 0; e < 3; ++e) ++uses[std::make_pair(std::min(v[e], v[(e + 1) % 3]), std::max(v[e], v[(e + 1) % 3]))];
  }
  std::vector<bool> boundary(static_cast<size_t>(m.vertices.GetCount()), false);
  edgeCount = 0;
  for (const auto& [edge, count] : uses) {
    if (count != 1) continue;
    ++edgeCount;
    boundary[static_cast<size_t>(edge.first)] = true;
    boundary[static_cast<size_t>(edge.second)] = true;
  }
  return boundary;
}

// d rounded to float and widened back. Through a volatile: GCC 12.2 at -O2
// vectorises a pair of adjacent (double)(float) round trips into plain copies,
// dropping the rounding.
inline double ThroughFloat(double d) {
  const volatile float f = static_cast<float>(d);
  return f;
}

// The point as it comes back from the single-precision working copy.
inline CVector3 RoundedToFloat(const CVector3& v) {
  return CVector3(ThroughFloat(v.GetX()), ThroughFloat(v.GetY()), ThroughFloat(v.GetZ()));
}

inline double Length(const CVector3& v) { return std::sqrt(v.Dot(v)); }

// Post-processing settings as the driver leaves them.
inline void Configure(OperatorInstance& in, bool degenerate, float tolerance, bool smooth, float strength,
                      bool preserveBoundary) {
  in.settings.fullName = L"mesh.GlomoraGeometry.Glomora";
  in.settings.degenerateActive = degenerate;
  in.settings.degenerateTolerance = tolerance;
  in.settings.smoothActive = smooth;
  in.settings.smoothStrength = strength;
  in.settings.preserveBoundary = preserveBoundary;
}

// The driver's sequence: reset, build, relax, smooth, write back, release.
inline void PostProcess(OperatorInstance& in, Mesh& m) {
  GeometryDataset dataset;
  ResetDataset(dataset);
  if (in.settings.degenerateActive || in.settings.smoothActive) BuildDataset(dataset, in.settings, m.vertices, m.polygons);
  if (in.settings.degenerateActive) RelaxDegenerateEdges(in.settings, m.vertices, m.polygons, dataset);
  if (in.settings.smoothActive) SmoothGeometry(in.settings, m.vertices, dataset);
  WriteBackPositions(dataset, m.vertices);
  ReleaseDataset(dataset);
}

}  // namespace post_test
