#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "base/allocation.h"
#include "cubes/box_emitter.h"
#include "grid_fixture.h"
#include "support/mesh_checks.h"
#include "support/thread_counts.h"
#include "cubes/tetrahedra.h"

using grid_test::SetBox;
using grid_test::SetNormals;
using grid_test::Sphere;
using XSI::CDoubleArray;
using XSI::CLongArray;
using XSI::MATH::CVector3;
using XSI::MATH::CVector3Array;

namespace {

using Mesh = MeshArrays;

Mesh Extract(OperatorInstance& in) {
  Mesh m;
  in.gridPolygonizer.ExtractAndCache(in.settings, in.cubeTable, m, in.writeCache);
  return m;
}

// The extraction exactly as the system describes it: a hash table of lattice
// corners (32768 buckets, one record per lattice point) and one of edge
// vertices (65536 buckets, keyed by both corners), every cube visited in
// order. Slow on large lattices; the oracle for the fast extraction.
class ReferenceExtraction {
 public:
  explicit ReferenceExtraction(const OperatorInstance& in) : in_(in), grid_(in.gridPolygonizer) {}

  Mesh Run() {
    const Int3 r = in_.settings.resolution;
    for (int i = 0; i < r.x; ++i) {
      for (int j = 0; j < r.y; ++j) {
        for (int k = 0; k < r.z; ++k) {
          int corner[8];
          bool positive[8];
          int caseIndex = 0;
          for (int n = 0; n < 8; ++n) {
            corner[n] = CornerAt(i + ((n >> 2) & 1), j + ((n >> 1) & 1), k + (n & 1));
            positive[n] = corners_[corner[n]].value > in_.settings.isovalue;
            if (positive[n]) caseIndex += 1 << n;
          }
          if (in_.settings.polygonization == 0) {
            const CubeCase& c = in_.cubeTable.cases[caseIndex];
            for (int p = 0; p < c.polygonCount; ++p) {
              std::vector<int> v;
              for (int e = 0; e < c.polygons[p].edgeCount; ++e) {
                const int edge = c.polygons[p].edges[e];
                v.push_back(EdgeVertexIndex(corner[edgeCorner1[edge]], corner[edgeCorner2[edge]]));
              }
              for (size_t m = 2; m < v.size(); ++m) Triangle(v[0], v[m - 1], v[m]);
            }
          } else if (in_.settings.polygonization == 1) {
            for (const auto& q : kCubeTetrahedra) {
              PolygonizeTetrahedron(
                  positive, q, [&](int a, int b) { return EdgeVertexIndex(corner[a], corner[b]); },
                  [&](int32_t a, int32_t b, int32_t c) { Triangle(a, b, c); });
            }
          } else if (in_.settings.polygonization == 10 && caseIndex >= 1 && caseIndex <= 254) {
            const Float3 c = in_.settings.cellSize, h = in_.settings.halfSize;
            EmitBox(mesh_.vertices, mesh_.polygons,
                    Float3{i * c.x - h.x + 0.5f * c.x, j * c.y - h.y + 0.5f * c.y, k * c.z - h.z + 0.5f * c.z}, c);
          }
        }
      }
    }
    return mesh_;
  }

 private:
  struct Corner {
    int i, j, k;
    float x, y, z, value;
    int next;
  };
  struct Edge {
    int i1, j1, k1, i2, j2, k2;
    int index;
    int next;
  };
  static int Key(int i, int j, int k) { return ((i & 31) << 10) | ((j & 31) << 5) | (k & 31); }

  int CornerAt(int i, int j, int k) {
    const int key = Key(i, j, k);
    for (int c = cornerHeads_[key]; c >= 0; c = corners_[c].next) {
      if (corners_[c].i == i && corners_[c].j == j && corners_[c].k == k) return c;
    }
    corners_.push_back(Corner{i, j, k, i * in_.settings.cellSize.x, j * in_.settings.cellSize.y, k * in_.settings.cellSize.z,
                              grid_.accumulatedField.Get(i, j, k), cornerHeads_[key]});
    cornerHeads_[key] = static_cast<int>(corners_.size()) - 1;
    return cornerHeads_[key];
  }

  int EdgeVertexIndex(int first, int second) {
    const Corner& a = corners_[first];
    const Corner& b = corners_[second];
    const bool aFirst = std::tie(a.i, a.j, a.k) < std::tie(b.i, b.j, b.k);
    const Corner& lo = aFirst ? a : b;
    const Corner& hi = aFirst ? b : a;
    const int key = Key(lo.i, lo.j, lo.k) + Key(hi.i, hi.j, hi.k);
    for (int e = edgeHeads_[key]; e >= 0; e = edges_[e].next) {
      const Edge& r = edges_[e];
      if (r.i1 == lo.i && r.j1 == lo.j && r.k1 == lo.k && r.i2 == hi.i && r.j2 == hi.j && r.k2 == hi.k) return r.index;
    }
    const float fa = a.value, fb = b.value;
    const float t = NearlyEqual(fa, fb) ? 0.5f : (in_.settings.isovalue - fa) / (fb - fa);
    const float px = (1.0f - t) * a.x + t * b.x;
    const float py = (1.0f - t) * a.y + t * b.y;
    const float pz = (1.0f - t) * a.z + t * b.z;
    mesh_.vertices.Add(CVector3(px - in_.settings.halfSize.x, py - in_.settings.halfSize.y, pz - in_.settings.halfSize.z));
    const int index = mesh_.vertices.GetCount() - 1;
    if (in_.settings.normalsOrUv) {
      const Float3 na = grid_.accumulatedNormals.Get(a.i, a.j, a.k);
      const Float3 nb = grid_.accumulatedNormals.Get(b.i, b.j, b.k);
      float n[3] = {(1.0f - t) * na.x + t * nb.x, (1.0f - t) * na.y + t * nb.y, (1.0f - t) * na.z + t * nb.z};
      if (in_.settings.uvSpace) {
        const float m = std::max(std::max(std::fabs(n[0]), std::fabs(n[1])), std::fabs(n[2]));
        if (m != 0.0f) {
          for (float& c : n) c = c / m;
        }
      }
      for (float c : n) mesh_.nodeValues.Add(c);
    }
    edges_.push_back(Edge{lo.i, lo.j, lo.k, hi.i, hi.j, hi.k, index, edgeHeads_[key]});
    edgeHeads_[key] = static_cast<int>(edges_.size()) - 1;
    return index;
  }

  void Triangle(int a, int b, int c) {
    for (int v : {3, a, b, c}) mesh_.polygons.Add(v);
  }

  const OperatorInstance& in_;
  const GridPolygonizer& grid_;
  Mesh mesh_;
  std::vector<int> cornerHeads_ = std::vector<int>(32768, -1);
  std::vector<Corner> corners_;
  std::vector<int> edgeHeads_ = std::vector<int>(65536, -1);
  std::vector<Edge> edges_;
};

bool SameBytes(const Mesh& a, const Mesh& b) {
  const auto same = [](const auto& x, const auto& y, size_t size) {
    return x.GetCount() == y.GetCount() && (x.GetCount() == 0 || std::memcmp(x.GetArray(), y.GetArray(), x.GetCount() * size) == 0);
  };
  return same(a.vertices, b.vertices, sizeof(CVector3)) && same(a.polygons, b.polygons, 4) &&
         same(a.nodeValues, b.nodeValues, 8);
}

// The lattice edge or tetrahedron diagonal a vertex lies on, as its two
// lattice end points, or nothing. u is the vertex in lattice units.
using EdgeKey = std::array<int, 6>;
bool FindEdge(const std::array<double, 3>& u, bool diagonals, EdgeKey& key) {
  constexpr double kTolerance = 1e-4;
  std::array<int, 3> base{};
  std::array<double, 3> f{};
  int integral = 0;
  for (int a = 0; a < 3; ++a) {
    const double r = std::round(u[a]);
    if (std::fabs(u[a] - r) < kTolerance) {
      base[a] = static_cast<int>(r);
      f[a] = 0.0;
      ++integral;
    } else {
      base[a] = static_cast<int>(std::floor(u[a]));
      f[a] = u[a] - base[a];
    }
  }
  EdgeKey k{base[0], base[1], base[2], base[0], base[1], base[2]};
  if (integral == 2) {
    for (int a = 0; a < 3; ++a) {
      if (f[a] != 0.0) k[3 + a] += 1;
    }
    key = k;
    return true;
  }
  if (!diagonals) return false;
  if (integral == 1) {
    // Face diagonal (lower end's other two offsets (0, 1), upper end (1, 0)):
    // the two fractions add up to 1.
    int a = -1, b = -1;
    for (int c = 0; c < 3; ++c) {
      if (f[c] != 0.0) (a < 0 ? a : b) = c;
    }
    if (std::fabs(f[a] + f[b] - 1.0) > kTolerance) return false;
    k[b] += 1;
    k[3 + a] += 1;
    key = k;
    return true;
  }
  // Body diagonal (i, j, k+1)-(i+1, j+1, k): fi = fj = 1 - fk.
  if (integral == 0 && std::fabs(f[0] - f[1]) < kTolerance && std::fabs(f[0] + f[2] - 1.0) < kTolerance) {
    k[2] += 1;
    k[3] += 1;
    k[4] += 1;
    key = k;
    return true;
  }
  return false;
}

::testing::AssertionResult VerticesSitOnDistinctEdges(const OperatorInstance& in, const CVector3Array& vertices,
                                                      bool diagonals) {
  std::set<EdgeKey> used;
  for (int v = 0; v < vertices.GetCount(); ++v) {
    const std::array<double, 3> u{(vertices[v].GetX() + in.settings.halfSize.x) / in.settings.cellSize.x,
                                  (vertices[v].GetY() + in.settings.halfSize.y) / in.settings.cellSize.y,
                                  (vertices[v].GetZ() + in.settings.halfSize.z) / in.settings.cellSize.z};
    EdgeKey key;
    if (!FindEdge(u, diagonals, key)) {
      return ::testing::AssertionFailure() << "vertex " << v << " at lattice " << u[0] << " " << u[1] << " " << u[2]
                                           << " lies on no lattice edge";
    }
    if (!used.insert(key).second) return ::testing::AssertionFailure() << "vertex " << v << " shares its edge";
  }
  return ::testing::AssertionSuccess();
}

// Signed volume enclosed by a triangle mesh (positive when it faces outward).
double SignedVolume(const Mesh& m) {
  double volume = 0.0;
  for (int p = 0; p + 3 < m.polygons.GetCount(); p += 4) {
    const CVector3& a = m.vertices[m.polygons[p + 1]];
    const CVector3& b = m.vertices[m.polygons[p + 2]];
    const CVector3& c = m.vertices[m.polygons[p + 3]];
    volume += (a.GetX() * (b.GetY() * c.GetZ() - b.GetZ() * c.GetY()) - a.GetY() * (b.GetX() * c.GetZ() - b.GetZ() * c.GetX()) +
               a.GetZ() * (b.GetX() * c.GetY() - b.GetY() * c.GetX())) /
              6.0;
  }
  return volume;
}

class GridExtraction : public ::testing::Test {
 protected:
  // A 2-unit box with 24 cells per axis (cell 1/12).
  GridExtraction() { SetBox(in, Int3{24, 24, 24}, Float3{2.0f, 2.0f, 2.0f}); }

  void StepWith(const MetaElement& e) {
    const int32_t count = 1;
    in.gridPolygonizer.SimulateStep(in.settings, &e, count);
  }
  // Every accumulated value set to `background`, then the given points.
  void Lattice(float background) {
    ASSERT_TRUE(in.gridPolygonizer.EnsureGrids(in.settings));
    in.gridPolygonizer.accumulatedField.Fill(background);
    in.gridPolygonizer.accumulatedNormals.Fill(Float3{0, 0, 0});
  }

  OperatorInstance in;
};

TEST_F(GridExtraction, SphereInsideTheBoxIsClosedAtItsRadius) {
  // Model 1 reaches the iso value 1 where 4 (1 - 2d)^2 = 1, d = 1/4, that is
  // at distance r from the centre. Linear interpolation of the kernel across
  // one cell (1/12) misplaces a vertex by well under 2 % of r = 0.6.
  const Float3 centre{0.05f, -0.03f, 0.02f};
  const float r = 0.6f;
  SetNormals(in, true, true);
  StepWith(Sphere(centre, r));
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    in.settings.polygonization = mode;
    const Mesh m = Extract(in);
    ASSERT_GT(m.vertices.GetCount(), 100);
    EXPECT_TRUE(HasValidIndices(m.vertices.GetCount(), m.polygons));
    EXPECT_TRUE(IsClosedManifold(m.polygons, mode == 0));
    EXPECT_TRUE(HasNoDuplicateVertices(m.vertices));
    EXPECT_TRUE(VerticesSitOnDistinctEdges(in, m.vertices, mode == 1));
    for (int v = 0; v < m.vertices.GetCount(); ++v) {
      const double dx = m.vertices[v].GetX() - centre.x, dy = m.vertices[v].GetY() - centre.y,
                   dz = m.vertices[v].GetZ() - centre.z;
      ASSERT_NEAR(std::sqrt(dx * dx + dy * dy + dz * dz), r, 0.02 * r) << v;
      // Normals point outward.
      ASSERT_GT(m.nodeValues[3 * v] * dx + m.nodeValues[3 * v + 1] * dy + m.nodeValues[3 * v + 2] * dz, 0.0) << v;
    }
    // Faces turn outward: the enclosed volume is positive and near 4/3 pi r^3.
    EXPECT_NEAR(SignedVolume(m), 4.0 / 3.0 * M_PI * r * r * r, 0.05 * 4.0 / 3.0 * M_PI * r * r * r);
    EXPECT_TRUE(SameBytes(m, ReferenceExtraction(in).Run()));
  }
}

TEST_F(GridExtraction, SphereCrossingTheBoxIsCutOpenAtTheBoxFaces) {
  const Float3 centre{0.8f, 0.1f, -0.05f};  // pokes through the +x face
  StepWith(Sphere(centre, 0.5f));
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    in.settings.polygonization = mode;
    const Mesh m = Extract(in);
    EXPECT_TRUE(HasValidIndices(m.vertices.GetCount(), m.polygons));
    const MeshCounts counts = CountMesh(m.polygons);
    EXPECT_GT(counts.boundaryEdges, 0);
    EXPECT_EQ(counts.nonManifoldEdges, 0);
    // Every boundary edge runs along the +x face.
    std::multiset<std::pair<int, int>> edges;
    for (int p = 0; p < m.polygons.GetCount(); p += 4) {
      for (int e = 0; e < 3; ++e) {
        const int a = m.polygons[p + 1 + e], b = m.polygons[p + 1 + (e + 1) % 3];
        edges.insert({std::min(a, b), std::max(a, b)});
      }
    }
    for (const auto& edge : edges) {
      if (edges.count(edge) != 1) continue;
      EXPECT_FLOAT_EQ(m.vertices[edge.first].GetX(), 1.0);
      EXPECT_FLOAT_EQ(m.vertices[edge.second].GetX(), 1.0);
    }
  }
}

TEST_F(GridExtraction, SinglePositivePointGivesAClosedShellAroundIt) {
  // One lattice point at 1.5 in a field of 0: each crossed edge has t = (1 - 1.5)
  // / (0 - 1.5) = 1/3 from the point. The cube table closes 6 axis-edge vertices
  // with 8 triangles; the tetrahedra also cut the 6 face diagonals and 2 body
  // diagonals that end at the point: 14 vertices, 2 * 14 - 4 = 24 triangles.
  struct Case {
    int mode;
    int vertices;
    int triangles;
  };
  for (const Case& c : {Case{0, 6, 8}, Case{1, 14, 24}}) {
    SCOPED_TRACE(c.mode);
    in.settings.polygonization = c.mode;
    Lattice(0.0f);
    in.gridPolygonizer.accumulatedField.Set(10, 11, 12, 1.5f);
    const Mesh m = Extract(in);
    EXPECT_EQ(m.vertices.GetCount(), c.vertices);
    EXPECT_EQ(m.polygons.GetCount(), 4 * c.triangles);
    EXPECT_TRUE(IsClosedManifold(m.polygons));
    EXPECT_GT(SignedVolume(m), 0.0);
    const double cell = 2.0 / 24.0;
    const double px = 10 * cell - 1.0, py = 11 * cell - 1.0, pz = 12 * cell - 1.0;
    if (c.mode == 0) {
      for (int v = 0; v < m.vertices.GetCount(); ++v) {
        const double d = std::fabs(m.vertices[v].GetX() - px) + std::fabs(m.vertices[v].GetY() - py) +
                         std::fabs(m.vertices[v].GetZ() - pz);
        EXPECT_NEAR(d, cell / 3.0, 1e-6);
      }
    }
  }
}

TEST_F(GridExtraction, ValueEqualToTheIsoValueCountsAsOutside) {
  Lattice(0.0f);
  in.gridPolygonizer.accumulatedField.Set(10, 11, 12, 1.0f);
  const Mesh m = Extract(in);
  EXPECT_EQ(m.vertices.GetCount(), 0);
  EXPECT_EQ(m.polygons.GetCount(), 0);
}

TEST_F(GridExtraction, NearlyEqualValuesPutTheVertexAtTheMidpoint) {
  Lattice(0.999996f);
  in.gridPolygonizer.accumulatedField.Set(10, 11, 12, 1.000005f);
  const Mesh m = Extract(in);
  ASSERT_EQ(m.vertices.GetCount(), 6);
  const double cell = 2.0 / 24.0;
  const double px = 10 * cell - 1.0, py = 11 * cell - 1.0, pz = 12 * cell - 1.0;
  for (int v = 0; v < 6; ++v) {
    const double d = std::fabs(m.vertices[v].GetX() - px) + std::fabs(m.vertices[v].GetY() - py) +
                     std::fabs(m.vertices[v].GetZ() - pz);
    EXPECT_NEAR(d, cell / 2.0, 1e-6);
  }
}

TEST_F(GridExtraction, NormalsAreScaledToADominantUnitComponentOnlyUnderUvSpace) {
  StepWith(Sphere(Float3{0, 0, 0}, 0.5f));  // normals off while stepping: the gradient stays zero
  SetNormals(in, true, true);
  const Mesh zero = Extract(in);
  ASSERT_GT(zero.vertices.GetCount(), 0);
  ASSERT_EQ(zero.nodeValues.GetCount(), 3 * zero.vertices.GetCount());
  for (int n = 0; n < zero.nodeValues.GetCount(); ++n) ASSERT_EQ(zero.nodeValues[n], 0.0);  // zero stays zero

  StepWith(Sphere(Float3{0, 0, 0}, 0.5f));
  const Mesh uv = Extract(in);
  SetNormals(in, true, false);
  const Mesh user = Extract(in);
  ASSERT_EQ(uv.nodeValues.GetCount(), user.nodeValues.GetCount());
  bool someNotUnit = false;
  for (int v = 0; v < uv.vertices.GetCount(); ++v) {
    const double* n = &uv.nodeValues.GetArray()[3 * v];
    ASSERT_EQ(std::max({std::fabs(n[0]), std::fabs(n[1]), std::fabs(n[2])}), 1.0) << v;
    const float u[3] = {static_cast<float>(user.nodeValues[3 * v]), static_cast<float>(user.nodeValues[3 * v + 1]),
                        static_cast<float>(user.nodeValues[3 * v + 2])};
    const float m = std::max({std::fabs(u[0]), std::fabs(u[1]), std::fabs(u[2])});
    someNotUnit = someNotUnit || m != 1.0f;
    for (int c = 0; c < 3; ++c) ASSERT_EQ(n[c], static_cast<double>(u[c] / m));
  }
  EXPECT_TRUE(someNotUnit);
}

TEST_F(GridExtraction, BoxesForEveryCrossedCube) {
  // The eight cubes around one positive point, as solid cells of one cell's
  // size centred on each cube; no node values.
  SetNormals(in, true, false);
  in.settings.polygonization = 10;
  Lattice(0.0f);
  in.gridPolygonizer.accumulatedField.Set(10, 11, 12, 1.5f);
  const Mesh m = Extract(in);
  ASSERT_EQ(m.vertices.GetCount(), 64);
  ASSERT_EQ(m.polygons.GetCount(), 8 * 6 * 5);
  EXPECT_EQ(m.nodeValues.GetCount(), 0);
  const double cell = 2.0 / 24.0;
  std::set<std::array<int, 3>> cubes;
  for (int b = 0; b < 8; ++b) {
    double lo[3] = {1e9, 1e9, 1e9}, hi[3] = {-1e9, -1e9, -1e9};
    for (int v = 8 * b; v < 8 * b + 8; ++v) {
      const double c[3] = {m.vertices[v].GetX(), m.vertices[v].GetY(), m.vertices[v].GetZ()};
      for (int a = 0; a < 3; ++a) {
        lo[a] = std::min(lo[a], c[a]);
        hi[a] = std::max(hi[a], c[a]);
      }
    }
    std::array<int, 3> cube{};
    for (int a = 0; a < 3; ++a) {
      EXPECT_NEAR(hi[a] - lo[a], cell, 1e-6);
      cube[a] = static_cast<int>(std::lround((lo[a] + 1.0) / cell));
    }
    cubes.insert(cube);
  }
  const std::set<std::array<int, 3>> expected = {{9, 10, 11}, {9, 10, 12}, {9, 11, 11}, {9, 11, 12},
                                                 {10, 10, 11}, {10, 10, 12}, {10, 11, 11}, {10, 11, 12}};
  EXPECT_EQ(cubes, expected);
}

TEST_F(GridExtraction, UnknownPolygonizationGivesNothing) {
  in.settings.polygonization = 5;
  StepWith(Sphere(Float3{0, 0, 0}, 0.5f));
  const Mesh m = Extract(in);
  EXPECT_EQ(m.vertices.GetCount(), 0);
  EXPECT_EQ(m.polygons.GetCount(), 0);
}

TEST(GridExtractionExact, AThreadsFailedAllocationEndsTheExtractionLikeOneThread) {
  // The first or second scratch block of the first run of slabs is refused,
  // on whichever thread runs it: the arrays are emptied, the failure is
  // logged once, nothing hangs; the next extraction has its memory and
  // gives the whole surface.
  for (const int threads : test_support::kThreadCounts) {
    for (int refused = 0; refused < 2; ++refused) {
      SCOPED_TRACE(testing::Message() << threads << " threads, refused after " << refused);
      const test_support::ScopedThreadCount scope(threads);
      OperatorInstance in;
      SetBox(in, Int3{9, 7, 70}, Float3{1.0f, 1.3f, 2.1f});
      SetNormals(in, true, false);
      ASSERT_TRUE(in.gridPolygonizer.EnsureGrids(in.settings));
      GridPolygonizer& g = in.gridPolygonizer;
      for (size_t p = 0; p < g.accumulatedField.PointCount(); ++p) {
        g.accumulatedField.Data()[p] = static_cast<float>((p * 7919) % 17) / 8.0f;
      }
      XSI::Host::Scene::Get().ClearLog();
      allocation_faults::FailAfter(refused);
      const Mesh failed = Extract(in);
      allocation_faults::Clear();
      EXPECT_EQ(failed.vertices.GetCount(), 0);
      EXPECT_EQ(failed.polygons.GetCount(), 0);
      EXPECT_EQ(failed.nodeValues.GetCount(), 0);
      const auto& log = XSI::Host::Scene::Get().GetLog();
      ASSERT_EQ(log.size(), 1u);
      EXPECT_EQ(log[0].text, std::wstring(in.settings.fullName.GetWideString()) + L" Voxel grid surface -> not enough memory.");
      EXPECT_TRUE(SameBytes(Extract(in), ReferenceExtraction(in).Run()));
    }
  }
}

TEST(GridExtractionExact, MatchesTheHashTableWalkByteForByteAtEveryThreadCount) {
  // Random lattices, with values drawn partly from a few fixed levels so that
  // values equal to the iso value and nearly equal pairs occur. Shapes with
  // more than 64 points along k cross the sign words' boundaries.
  const Int3 shapes[] = {{5, 7, 70}, {9, 4, 6}, {3, 3, 130}, {6, 6, 6}, {2, 1, 1}};
  const float levels[] = {0.2f, 0.999996f, 1.0f, 1.000004f, 1.5f};
  std::mt19937 random(20240607);
  for (const Int3& res : shapes) {
    for (int mode : {0, 1, 10}) {
      for (int normals = 0; normals < 3; ++normals) {
        SCOPED_TRACE(testing::Message() << res.x << "x" << res.y << "x" << res.z << " mode " << mode << " normals "
                                        << normals);
        OperatorInstance in;
        SetBox(in, res, Float3{1.0f, 1.3f, 2.1f});
        in.settings.polygonization = mode;
        SetNormals(in, normals > 0, normals == 2);
        ASSERT_TRUE(in.gridPolygonizer.EnsureGrids(in.settings));
        GridPolygonizer& g = in.gridPolygonizer;
        std::uniform_real_distribution<float> uniform(0.0f, 2.0f);
        std::uniform_int_distribution<int> pick(0, 9);
        for (size_t p = 0; p < g.accumulatedField.PointCount(); ++p) {
          const int choice = pick(random);
          g.accumulatedField.Data()[p] = choice < 5 ? levels[choice] : uniform(random);
          for (int c = 0; c < 3; ++c) g.accumulatedNormals.Data()[3 * p + c] = choice == 0 ? 0.0f : uniform(random) - 1.0f;
        }
        const Mesh reference = ReferenceExtraction(in).Run();
        EXPECT_GT(reference.polygons.GetCount(), 0);
        for (const int threads : test_support::kThreadCounts) {
          SCOPED_TRACE(testing::Message() << threads << " threads");
          const test_support::ScopedThreadCount scope(threads);
          EXPECT_TRUE(SameBytes(Extract(in), reference));
          // A second extraction reuses the scratch and gives the same.
          EXPECT_TRUE(SameBytes(Extract(in), reference));
        }
      }
    }
  }
}

}  // namespace
