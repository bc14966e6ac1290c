#include "tracker/continuation_polygonizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "field/field_function.h"
#include "base/allocation.h"
#include "front/operator_instance.h"
#include "support/mesh_checks.h"

namespace {

constexpr float kPi = 3.14159265f;

// A field given by a function, for analytic test surfaces.
class FunctionField : public FieldFunction {
 public:
  explicit FunctionField(std::function<float(float, float, float)> function)
      : FieldFunction(nullptr, 0.0f, 0), function_(std::move(function)) {}
  float Evaluate(const float& x, const float& y, const float& z) const override { return function_(x, y, z); }

 private:
  std::function<float(float, float, float)> function_;
};

// Passes evaluations through to another field and records where they were made.
class RecordingField : public FieldFunction {
 public:
  explicit RecordingField(const FieldFunction& inner) : FieldFunction(nullptr, 0.0f, 0), inner_(inner) {}
  float Evaluate(const float& x, const float& y, const float& z) const override {
    points.push_back({x, y, z});
    return inner_.Evaluate(x, y, z);
  }
  mutable std::vector<Float3> points;

 private:
  const FieldFunction& inner_;
};

// Lattice coordinate of index n along an axis of cell size c.
float LatticeCoordinate(int64_t n, float c) { return (static_cast<float>(n) - 0.50001f) * c; }

// The lattice index whose coordinate is exactly x, if there is one.
std::optional<int64_t> LatticeIndexOf(float x, float c) {
  const auto guess = static_cast<int64_t>(std::llround(x / c + 0.50001));
  for (int64_t n = guess - 1; n <= guess + 1; ++n) {
    if (LatticeCoordinate(n, c) == x) return n;
  }
  return std::nullopt;
}

bool IsLatticePoint(const Float3& p, float c) {
  return LatticeIndexOf(p.x, c) && LatticeIndexOf(p.y, c) && LatticeIndexOf(p.z, c);
}

Float3 VertexAt(const XSI::MATH::CVector3Array& vertices, XSI::LONG v) {
  return {static_cast<float>(vertices[v].GetX()), static_cast<float>(vertices[v].GetY()),
          static_cast<float>(vertices[v].GetZ())};
}

double Distance(const Float3& a, const Float3& b) {
  const double dx = double{a.x} - b.x;
  const double dy = double{a.y} - b.y;
  const double dz = double{a.z} - b.z;
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// An element as the gatherer makes it for `model` (0 inverse square, 1
// polynomial, 2 exponential), from its shape, pose and size.
MetaElement Element(ElementShape shape, Float3 centre, float radius, int model, Float3 scale = {1, 1, 1},
                    Float3 inverseAngles = {0, 0, 0}, float weight = 1.0f) {
  MetaElement e{};
  e.centre = centre;
  e.inverseAngles = inverseAngles;
  e.scale = scale;
  e.radius = radius;
  e.height = 1.0f;
  e.radialFactor = shape == ElementShape::Cube ? 1.0f / (radius * std::sqrt(2.0f)) : 1.0f / (radius * 2.0f);
  e.weight = weight;
  e.shape = shape;
  if (shape == ElementShape::Cylinder) {
    e.height = 2.0f * radius;
    e.axialFactor = 1.0f / (std::sqrt(2.0f) * e.height * 0.25f);
    e.scale.y = e.height * 0.5f * scale.y;
  }
  const float radial = model == 0 ? 1.0f : e.radialFactor;
  const float axial = model == 0 ? 1.0f : (shape == ElementShape::Cylinder ? e.axialFactor : e.radialFactor);
  e.axisFactor = {1.0f / e.scale.x * radial, 1.0f / e.scale.y * axial, 1.0f / e.scale.z * radial};
  return e;
}

std::unique_ptr<FieldFunction> ModelField(int model, const std::vector<MetaElement>& elements, float isovalue) {
  return MakeFieldFunction(model, elements.data(), isovalue, static_cast<int32_t>(elements.size()));
}

struct Mesh : MeshArrays {
  PolygonizeResult result = PolygonizeResult::Complete;
};

class ContinuationPolygonizerTest : public ::testing::Test {
 protected:
  // cell: JB_voxelsize; res: bisectionHalvings (JB_accuracy + 2).
  void Configure(float cell, int32_t res, int32_t polygonization, float isovalue = 0.5f) {
    in.settings.cellSize = {cell, cell, cell};
    in.settings.inverseCellSize = {1.0f / cell, 1.0f / cell, 1.0f / cell};
    in.settings.bisectionHalvings = res;
    in.settings.polygonization = polygonization;
    in.settings.isovalue = isovalue;
    in.settings.inverseIsovalue = 1.0f / isovalue;
    in.settings.jbSimple = false;
    in.settings.userNormals = false;
    in.settings.uvSpace = false;
    in.settings.normalsOrUv = false;
  }

  // Every closed test surface stays far below this ceiling; a tracker that
  // runs away fails here quickly instead of at the production ceiling.
  static constexpr int64_t kTestCeiling = 20000;

  Mesh Run(const FieldFunction& field, const std::vector<MetaElement>& elements,
           int64_t maxTrackedCubes = kTestCeiling) {
    Mesh mesh;
    const auto count = static_cast<int32_t>(elements.size());
    mesh.result = Polygonize(in.settings, in.cubeTable, field, elements.data(), count, mesh, maxTrackedCubes);
    return mesh;
  }

  OperatorInstance in;
};

// Several rotated and scaled spheres, cubes and cylinders near the origin.
std::vector<MetaElement> RandomScene(int model, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> position(-0.8f, 0.8f);
  std::uniform_real_distribution<float> size(0.3f, 0.6f);
  std::uniform_real_distribution<float> stretch(0.7f, 1.4f);
  std::uniform_real_distribution<float> angle(-kPi, kPi);
  std::vector<MetaElement> elements;
  const int count = 3 + static_cast<int>(seed % 3);
  for (int n = 0; n < count; ++n) {
    const auto shape = static_cast<ElementShape>(n % 3);
    elements.push_back(Element(shape, {position(random), position(random), position(random)}, size(random), model,
                               {stretch(random), stretch(random), stretch(random)},
                               {angle(random), angle(random), angle(random)}));
  }
  return elements;
}

}  // namespace

TEST_F(ContinuationPolygonizerTest, RandomScenesGiveClosedConsistentlyOrientedMeshes) {
  // Isovalues that put each model's surface at about one radius and a half.
  const float isovalues[3] = {0.5f, 1.0f, 0.4f};
  for (int model = 0; model < 3; ++model) {
    for (int polygonization : {0, 1}) {
      for (unsigned seed = 1; seed <= 2; ++seed) {
        SCOPED_TRACE(::testing::Message() << "model " << model << " polygonization " << polygonization << " seed "
                                          << seed);
        const std::vector<MetaElement> elements = RandomScene(model, seed);
        Configure(0.1f, 4, polygonization, isovalues[model]);
        const auto field = ModelField(model, elements, isovalues[model]);
        RecordingField recorder(*field);
        const Mesh mesh = Run(recorder, elements);
        ASSERT_EQ(mesh.result, PolygonizeResult::Complete);
        ASSERT_GT(mesh.vertices.GetCount(), 100);
        EXPECT_TRUE(HasValidIndices(mesh.vertices.GetCount(), mesh.polygons));
        EXPECT_TRUE(IsClosedManifold(mesh.polygons, polygonization == 0));
        EXPECT_TRUE(HasNoDuplicateVertices(mesh.vertices));
        EXPECT_TRUE(IsFinite(mesh.vertices));
        EXPECT_EQ(mesh.nodeValues.GetCount(), 0);

        // Every lattice corner is evaluated once, however many cubes share it.
        std::set<std::tuple<float, float, float>> corners;
        for (const Float3& p : recorder.points) {
          if (IsLatticePoint(p, 0.1f)) {
            EXPECT_TRUE(corners.insert({p.x, p.y, p.z}).second);
          }
        }

        // With the cube table every vertex lies on an axis edge and the field
        // changes sign within cell / 2^RES of it along that edge.
        for (XSI::LONG v = 0; polygonization == 0 && v < mesh.vertices.GetCount(); ++v) {
          const Float3 p = VertexAt(mesh.vertices, v);
          const bool aligned[3] = {LatticeIndexOf(p.x, 0.1f).has_value(), LatticeIndexOf(p.y, 0.1f).has_value(),
                                   LatticeIndexOf(p.z, 0.1f).has_value()};
          ASSERT_EQ(aligned[0] + aligned[1] + aligned[2], 2) << "vertex " << v;
          const float h = 0.1f / (1 << 4);
          Float3 low = p;
          Float3 high = p;
          float& lowFree = !aligned[0] ? low.x : (!aligned[1] ? low.y : low.z);
          float& highFree = !aligned[0] ? high.x : (!aligned[1] ? high.y : high.z);
          lowFree -= h;
          highFree += h;
          ASSERT_NE(field->Evaluate(low.x, low.y, low.z) > 0.0f, field->Evaluate(high.x, high.y, high.z) > 0.0f)
              << "vertex " << v;
        }

        // A second run gives the same arrays.
        const Mesh again = Run(*field, elements);
        EXPECT_TRUE(again.vertices == mesh.vertices);
        EXPECT_TRUE(again.polygons == mesh.polygons);
      }
    }
  }
}

TEST_F(ContinuationPolygonizerTest, SingleSphereLiesAtTheAnalyticRadiusOfEachModel) {
  // Model 0: r^2 / dist^2 = 0.5 at dist = r sqrt 2. Model 1: 4 (1 - 2d)^2 = 1
  // with d = dist^2 / (2r)^2 gives d = 1/4, dist = r. Model 2: exp(-d) =
  // exp(-1/4) with the same d gives dist = r.
  const Float3 centre{0.0123f, -0.0371f, 0.0213f};
  const float radius = 0.8f;
  const float isovalues[3] = {0.5f, 1.0f, std::exp(-0.25f)};
  const double expected[3] = {radius * std::sqrt(2.0), radius, radius};
  const float cell = 0.1f;
  const int32_t res = 8;
  for (int model = 0; model < 3; ++model) {
    for (int polygonization : {0, 1}) {
      SCOPED_TRACE(::testing::Message() << "model " << model << " polygonization " << polygonization);
      const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, centre, radius, model)};
      Configure(cell, res, polygonization, isovalues[model]);
      const auto field = ModelField(model, elements, isovalues[model]);
      const Mesh mesh = Run(*field, elements);
      ASSERT_EQ(mesh.result, PolygonizeResult::Complete);
      ASSERT_GT(mesh.vertices.GetCount(), 500);
      EXPECT_TRUE(IsClosedManifold(mesh.polygons, polygonization == 0));
      // The radial error is at most the error along the vertex's lattice edge,
      // whose longest kind (a cube diagonal, for tetrahedra) is cell * sqrt 3.
      const double tolerance = cell * std::sqrt(3.0) / (1 << res) + 1e-5;
      for (XSI::LONG v = 0; v < mesh.vertices.GetCount(); ++v) {
        ASSERT_NEAR(Distance(VertexAt(mesh.vertices, v), centre), expected[model], tolerance) << "vertex " << v;
      }
      // Triangles run counter-clockwise seen from outside: the signed volume
      // they enclose is the ball's, positive.
      double volume = 0.0;
      for (XSI::LONG t = 0; t + 3 < mesh.polygons.GetCount(); t += 4) {
        const Float3 a = VertexAt(mesh.vertices, mesh.polygons[t + 1]);
        const Float3 b = VertexAt(mesh.vertices, mesh.polygons[t + 2]);
        const Float3 c = VertexAt(mesh.vertices, mesh.polygons[t + 3]);
        volume += (double{a.x} * (double{b.y} * c.z - double{b.z} * c.y) -
                   double{a.y} * (double{b.x} * c.z - double{b.z} * c.x) +
                   double{a.z} * (double{b.x} * c.y - double{b.y} * c.x)) / 6.0;
      }
      const double ball = 4.0 / 3.0 * 3.14159265358979 * expected[model] * expected[model] * expected[model];
      EXPECT_NEAR(volume / ball, 1.0, 0.03);
    }
  }
}

TEST_F(ContinuationPolygonizerTest, CubeVerticesLieOnLatticeEdgesWithinTheBisectionTolerance) {
  // A sphere of radius R about c: on the lattice line with fixed y and z the
  // surface is at x = c.x +- sqrt(R^2 - (y - c.y)^2 - (z - c.z)^2).
  const Float3 centre{0.31f, -0.17f, 0.05f};
  const float R = 1.3f;
  const FunctionField sphere([&](float x, float y, float z) {
    return R - static_cast<float>(Distance({x, y, z}, centre));
  });
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, centre, 0.5f, 0)};
  const float cell = 0.1f;
  for (int32_t res : {2, 3, 6}) {
    SCOPED_TRACE(::testing::Message() << "RES " << res);
    Configure(cell, res, 0);
    const Mesh mesh = Run(sphere, elements);
    ASSERT_EQ(mesh.result, PolygonizeResult::Complete);
    ASSERT_GT(mesh.vertices.GetCount(), 500);
    for (XSI::LONG v = 0; v < mesh.vertices.GetCount(); ++v) {
      const Float3 p = VertexAt(mesh.vertices, v);
      const float coords[3] = {p.x, p.y, p.z};
      const float middle[3] = {centre.x, centre.y, centre.z};
      int freeAxis = -1;
      int alignedCount = 0;
      for (int axis = 0; axis < 3; ++axis) {
        if (LatticeIndexOf(coords[axis], cell)) ++alignedCount;
        else freeAxis = axis;
      }
      ASSERT_EQ(alignedCount, 2) << "vertex " << v << " is not on a lattice edge";
      double across = 0.0;
      for (int axis = 0; axis < 3; ++axis) {
        if (axis != freeAxis) across += (double{coords[axis]} - middle[axis]) * (double{coords[axis]} - middle[axis]);
      }
      const double reach = std::sqrt(double{R} * R - across);
      const double root = coords[freeAxis] > middle[freeAxis] ? middle[freeAxis] + reach : middle[freeAxis] - reach;
      ASSERT_LE(std::fabs(coords[freeAxis] - root), cell / (1 << res) + 1e-6) << "vertex " << v;
      if (res == 2) {
        // Two halvings: the midpoint of a quarter of the edge.
        const auto low = static_cast<int64_t>(std::floor(coords[freeAxis] / cell + 0.50001f));
        const double t = (coords[freeAxis] - LatticeCoordinate(low, cell)) / cell;
        const double eighths = t * 8.0;
        EXPECT_NEAR(eighths, std::round(eighths), 1e-3) << "vertex " << v;
        EXPECT_EQ(static_cast<int>(std::round(eighths)) % 2, 1) << "vertex " << v;
      }
    }
  }
}

TEST_F(ContinuationPolygonizerTest, AccuracyZeroCostsTwoEvaluationsPerVertex) {
  // JB_accuracy 0 is RES 2: every vertex and the one seed probe take two
  // evaluations off the lattice; every other evaluation is a lattice corner.
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, {0.0123f, 0.021f, -0.017f}, 0.6f, 0)};
  const InverseSquareField field(elements.data(), 0.5f, 1);
  RecordingField recorder(field);
  Configure(0.25f, 0 + 2, 0);
  in.settings.jbSimple = true;
  const Mesh mesh = Run(recorder, elements);
  ASSERT_GT(mesh.vertices.GetCount(), 0);
  int64_t offLattice = 0;
  for (const Float3& p : recorder.points) offLattice += IsLatticePoint(p, 0.25f) ? 0 : 1;
  EXPECT_EQ(offLattice, 2 * (mesh.vertices.GetCount() + 1));
}

TEST_F(ContinuationPolygonizerTest, SeedProbesFollowTheRotatedDiagonals) {
  // Radius 1, unit scale, Isovalue 0.5: each probe reaches 1 * 2 * 2 = 4 along
  // a diagonal, so its first midpoint is 2 along it. A stored inverse angle of
  // pi/2 about Z, applied as the host's row-vector Rz (x' = x c - y s,
  // y' = x s + y c), maps (x, y, z) to (-y, x, z).
  const float directions[8][3] = {{1, 1, 1},   {-1, -1, -1}, {1, -1, -1}, {1, -1, 1},
                                  {-1, -1, 1}, {-1, 1, -1},  {1, 1, -1},  {-1, 1, 1}};
  for (bool rotated : {false, true}) {
    for (bool simple : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "rotated " << rotated << " simple " << simple);
      const std::vector<MetaElement> elements = {
          Element(ElementShape::Sphere, {0, 0, 0}, 1.0f, 0, {1, 1, 1}, {0, 0, rotated ? kPi / 2 : 0.0f})};
      const InverseSquareField field(elements.data(), 0.5f, 1);
      RecordingField recorder(field);
      Configure(0.25f, 3, 0);
      in.settings.jbSimple = simple;
      Run(recorder, elements);
      ASSERT_FALSE(recorder.points.empty());
      const float first[3] = {rotated ? -2.0f : 2.0f, 2.0f, 2.0f};
      EXPECT_NEAR(recorder.points[0].x, first[0], 1e-6f);
      EXPECT_NEAR(recorder.points[0].y, first[1], 1e-6f);
      EXPECT_NEAR(recorder.points[0].z, first[2], 1e-6f);
      // Evaluations along each probe: points t * direction with equal magnitudes.
      for (int d = 0; d < 8; ++d) {
        const float dx = rotated ? -directions[d][1] : directions[d][0];
        const float dy = rotated ? directions[d][0] : directions[d][1];
        const float dz = directions[d][2];
        int along = 0;
        for (const Float3& p : recorder.points) {
          if (IsLatticePoint(p, 0.25f)) continue;
          const float t = std::fabs(p.x);
          if (t > 0.01f && std::fabs(p.x - dx * t) < 1e-5f && std::fabs(p.y - dy * t) < 1e-5f &&
              std::fabs(p.z - dz * t) < 1e-5f) {
            ++along;
          }
        }
        EXPECT_EQ(along, (simple && d > 0) ? 0 : 3) << "direction " << d;
      }
    }
  }
}

TEST_F(ContinuationPolygonizerTest, LatticeIsAnchoredHalfACellBelowTheOrigin) {
  // A field negative everywhere: the seed bisection closes in on the element
  // centre, the 3 x 3 x 3 block around its cube is evaluated (4 x 4 x 4
  // corners) and nothing crosses, so nothing else is evaluated. With cell 0.1
  // corner n lies at (n - 0.50001) * 0.1: a seed at 0.73 is in cube 7, whose
  // block spans corners 6 to 9; a seed at 0.01 is in cube 0 (corners -1 to 2,
  // corner 0 at -0.050001).
  const FunctionField negative([](float, float, float) { return -1.0f; });
  struct Case {
    float centre;
    float corners[4];
  };
  const Case cases[] = {{0.73f, {0.549999f, 0.649999f, 0.749999f, 0.849999f}},
                        {0.01f, {-0.150001f, -0.050001f, 0.049999f, 0.149999f}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.centre);
    const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, {c.centre, c.centre, c.centre}, 0.5f, 0)};
    RecordingField recorder(negative);
    Configure(0.1f, 20, 0);
    in.settings.jbSimple = true;
    const Mesh mesh = Run(recorder, elements);
    EXPECT_EQ(mesh.vertices.GetCount(), 0);
    ASSERT_EQ(recorder.points.size(), 20u + 64u);
    std::set<float> xs;
    for (size_t n = 20; n < recorder.points.size(); ++n) xs.insert(recorder.points[n].x);
    ASSERT_EQ(xs.size(), 4u);
    int m = 0;
    for (float x : xs) EXPECT_NEAR(x, c.corners[m++], 1e-7f);
  }
}

TEST_F(ContinuationPolygonizerTest, SurfaceWiderThanThirtyTwoCellsIsTrackedCompletely) {
  // A sphere 36 cells across: cubes 32 cells apart are all distinct.
  const Float3 centre{0.013f, 0.007f, -0.021f};
  const FunctionField sphere([&](float x, float y, float z) {
    return 1.8f - static_cast<float>(Distance({x, y, z}, centre));
  });
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, centre, 1.0f, 0)};
  Configure(0.1f, 8, 1);
  const Mesh mesh = Run(sphere, elements);
  ASSERT_EQ(mesh.result, PolygonizeResult::Complete);
  EXPECT_TRUE(IsClosedManifold(mesh.polygons));
  EXPECT_TRUE(HasNoDuplicateVertices(mesh.vertices));
  float low = 0.0f;
  float high = 0.0f;
  for (XSI::LONG v = 0; v < mesh.vertices.GetCount(); ++v) {
    low = std::min(low, VertexAt(mesh.vertices, v).x);
    high = std::max(high, VertexAt(mesh.vertices, v).x);
  }
  EXPECT_NEAR(high - low, 3.6f, 0.1f);
}

TEST_F(ContinuationPolygonizerTest, UnboundedSurfacesStopAtTheCubeCeiling) {
  // The plane z = 0.25 crosses only the cubes of layer k = 0 (corners at
  // z = -0.50001 and 0.49999). The one probe finds it at (0.35, 0.35, 0.25),
  // in cube (0, 0, 0); the seed block holds 27 cubes, 9 of them in that
  // layer; every cube queued after them is in the layer, so a ceiling of N
  // queued cubes gives N - 18 crossed cubes, one box or two triangles each.
  const FunctionField plane([](float, float, float z) { return 0.25f - z; });
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, {0.1f, 0.1f, 0.0f}, 1.0f, 0)};
  const int64_t ceiling = 2000;
  Configure(1.0f, 6, 10);
  in.settings.jbSimple = true;
  const Mesh boxes = Run(plane, elements, ceiling);
  EXPECT_EQ(boxes.result, PolygonizeResult::CubeLimitReached);
  EXPECT_EQ(CountMesh(boxes.polygons).quads, 6 * (ceiling - 18));
  Configure(1.0f, 6, 0);
  in.settings.jbSimple = true;
  const Mesh sheet = Run(plane, elements, ceiling);
  EXPECT_EQ(sheet.result, PolygonizeResult::CubeLimitReached);
  EXPECT_EQ(CountMesh(sheet.polygons).triangles, 2 * (ceiling - 18));
  EXPECT_EQ(CountMesh(sheet.polygons).nonManifoldEdges, 0);

  // Opposite elements at isovalue 0 under the inverse-square model: the zero
  // set is the plane between them. With a finite probe length the tracker
  // finds it and stops at the ceiling; with the infinite length that 1 / 0
  // gives, no probe has an end and nothing is seeded.
  const std::vector<MetaElement> pair = {Element(ElementShape::Sphere, {-1.0f, 0.02f, 0.01f}, 0.5f, 0),
                                         Element(ElementShape::Sphere, {1.0f, 0.02f, 0.01f}, 0.5f, 0, {1, 1, 1},
                                                 {0, 0, 0}, -1.0f)};
  const InverseSquareField opposite(pair.data(), 0.0f, 2);
  Configure(0.1f, 4, 0, 0.5f);
  EXPECT_EQ(Run(opposite, pair, ceiling).result, PolygonizeResult::CubeLimitReached);
  in.settings.inverseIsovalue = 1.0f / 0.0f;
  const Mesh unseeded = Run(opposite, pair, ceiling);
  EXPECT_EQ(unseeded.result, PolygonizeResult::Complete);
  EXPECT_EQ(unseeded.vertices.GetCount(), 0);

  // A tiny cell on an ordinary sphere also stops there (the seed bisection
  // must be fine enough to land within the 3 x 3 x 3 block of the surface).
  const std::vector<MetaElement> sphere = {Element(ElementShape::Sphere, {0.0f, 0.0f, 0.0f}, 1.0f, 0)};
  const InverseSquareField field(sphere.data(), 0.5f, 1);
  Configure(1e-4f, 30, 0);
  EXPECT_EQ(Run(field, sphere, ceiling).result, PolygonizeResult::CubeLimitReached);
}

TEST_F(ContinuationPolygonizerTest, NegativeElementsSeedNothing) {
  const std::vector<MetaElement> elements = {
      Element(ElementShape::Sphere, {0, 0, 0}, 1.0f, 0, {1, 1, 1}, {0, 0, 0}, -1.0f)};
  const InverseSquareField field(elements.data(), -0.5f, 1);
  RecordingField recorder(field);
  Configure(0.1f, 4, 0);
  const Mesh mesh = Run(recorder, elements);
  EXPECT_EQ(mesh.result, PolygonizeResult::Complete);
  EXPECT_EQ(mesh.vertices.GetCount(), 0);
  EXPECT_EQ(mesh.polygons.GetCount(), 0);
  EXPECT_TRUE(recorder.points.empty());
}

TEST_F(ContinuationPolygonizerTest, NodeValuesHoldOneOutwardNormalPerVertex) {
  const Float3 centre{0.02f, -0.03f, 0.01f};
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, centre, 0.7f, 1)};
  const PolynomialField field(elements.data(), 1.0f, 1);
  for (bool uv : {false, true}) {
    SCOPED_TRACE(uv ? "UV space" : "user normals");
    Configure(0.1f, 5, 0, 1.0f);
    in.settings.userNormals = !uv;
    in.settings.uvSpace = uv;
    in.settings.normalsOrUv = true;
    const Mesh mesh = Run(field, elements);
    ASSERT_GT(mesh.vertices.GetCount(), 0);
    ASSERT_EQ(mesh.nodeValues.GetCount(), 3 * mesh.vertices.GetCount());
    for (XSI::LONG v = 0; v < mesh.vertices.GetCount(); ++v) {
      const Float3 p = VertexAt(mesh.vertices, v);
      const double n[3] = {mesh.nodeValues[3 * v], mesh.nodeValues[3 * v + 1], mesh.nodeValues[3 * v + 2]};
      const double outward = n[0] * (p.x - centre.x) + n[1] * (p.y - centre.y) + n[2] * (p.z - centre.z);
      ASSERT_GT(outward, 0.0) << "vertex " << v;
      if (uv) {
        ASSERT_EQ(std::max({std::fabs(n[0]), std::fabs(n[1]), std::fabs(n[2])}), 1.0) << "vertex " << v;
      }
    }
  }
}

TEST_F(ContinuationPolygonizerTest, FlatFieldLeavesTheUvNormalAtZero) {
  // A field that is +1 inside a ball and -1 outside: at most vertices the
  // forward differences all vanish, and the scaled normal must stay (0, 0, 0).
  const Float3 centre{0.03f, 0.01f, -0.02f};
  const FunctionField step([&](float x, float y, float z) {
    return Distance({x, y, z}, centre) < 0.6 ? 1.0f : -1.0f;
  });
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, centre, 0.5f, 0)};
  Configure(0.1f, 4, 0);
  in.settings.uvSpace = true;
  in.settings.normalsOrUv = true;
  const Mesh mesh = Run(step, elements);
  ASSERT_EQ(mesh.nodeValues.GetCount(), 3 * mesh.vertices.GetCount());
  int zero = 0;
  for (XSI::LONG v = 0; v < mesh.vertices.GetCount(); ++v) {
    const double n[3] = {mesh.nodeValues[3 * v], mesh.nodeValues[3 * v + 1], mesh.nodeValues[3 * v + 2]};
    const double largest = std::max({std::fabs(n[0]), std::fabs(n[1]), std::fabs(n[2])});
    ASSERT_TRUE(largest == 0.0 || largest == 1.0) << "vertex " << v << " largest " << largest;
    zero += largest == 0.0 ? 1 : 0;
  }
  EXPECT_GT(zero, 0);
}

TEST_F(ContinuationPolygonizerTest, BoxModeEmitsEightFreshVerticesPerCrossedCube) {
  const Float3 centre{0.011f, 0.023f, -0.007f};
  const FunctionField sphere([&](float x, float y, float z) {
    return 0.55f - static_cast<float>(Distance({x, y, z}, centre));
  });
  // Two elements whose seed blocks overlap: each cube is still queued once.
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, centre, 0.3f, 0),
                                             Element(ElementShape::Sphere, {0.03f, 0.02f, 0.0f}, 0.3f, 0)};
  const float cell = 0.1f;
  Configure(cell, 4, 10);
  in.settings.normalsOrUv = true;
  const Mesh mesh = Run(sphere, elements);
  const MeshCounts counts = CountMesh(mesh.polygons);
  ASSERT_GT(counts.quads, 0);
  EXPECT_EQ(counts.triangles + counts.otherPolygons, 0);
  ASSERT_EQ(counts.quads % 6, 0);
  const int64_t boxes = counts.quads / 6;
  EXPECT_EQ(mesh.vertices.GetCount(), 8 * boxes);
  EXPECT_EQ(mesh.nodeValues.GetCount(), 0);
  std::set<std::tuple<int64_t, int64_t, int64_t>> cubes;
  for (int64_t b = 0; b < boxes; ++b) {
    // Box b uses vertices 8b .. 8b + 7 only; its centre is (i, j, k) * cell.
    for (int q = 0; q < 6; ++q) {
      for (int m = 1; m <= 4; ++m) {
        const XSI::LONG index = mesh.polygons[static_cast<XSI::LONG>((6 * b + q) * 5 + m)];
        ASSERT_TRUE(index >= 8 * b && index < 8 * b + 8);
      }
    }
    const Float3 a = VertexAt(mesh.vertices, static_cast<XSI::LONG>(8 * b));      // +x +y +z corner
    const Float3 o = VertexAt(mesh.vertices, static_cast<XSI::LONG>(8 * b + 6));  // -x -y -z corner
    const int64_t i = std::llround((a.x + o.x) * 0.5 / cell);
    const int64_t j = std::llround((a.y + o.y) * 0.5 / cell);
    const int64_t k = std::llround((a.z + o.z) * 0.5 / cell);
    EXPECT_TRUE(cubes.insert({i, j, k}).second) << "cube queued twice";
    int positive = 0;
    for (int n = 0; n < 8; ++n) {
      const Float3 corner{LatticeCoordinate(i + (n >> 2 & 1), cell), LatticeCoordinate(j + (n >> 1 & 1), cell),
                          LatticeCoordinate(k + (n & 1), cell)};
      positive += sphere.Evaluate(corner.x, corner.y, corner.z) > 0.0f ? 1 : 0;
    }
    EXPECT_TRUE(positive > 0 && positive < 8) << "box on a cube the surface does not cross";
  }
}

TEST_F(ContinuationPolygonizerTest, CornerOfValueZeroIsTheNegativeEndOfItsEdges) {
  // The plane runs exactly through lattice layer k = 0, whose corners have
  // value 0 (not positive); the cubes of layer 0 cross it, and every vertex
  // must converge on the plane, not on the positive layer a cell above.
  const float cell = 0.1f;
  const float layer = LatticeCoordinate(0, cell);
  const FunctionField plane([&](float, float, float z) { return z - layer; });
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, {0.02f, 0.03f, 0.4f}, 1.0f, 0)};
  for (int polygonization : {0, 1}) {
    SCOPED_TRACE(polygonization);
    Configure(cell, 6, polygonization);
    const Mesh mesh = Run(plane, elements, 500);
    ASSERT_GT(mesh.vertices.GetCount(), 0);
    for (XSI::LONG v = 0; v < mesh.vertices.GetCount(); ++v) {
      ASSERT_NEAR(VertexAt(mesh.vertices, v).z, layer, cell * std::sqrt(3.0f) / 64) << "vertex " << v;
    }
  }
}

TEST_F(ContinuationPolygonizerTest, UnusableSettingsGiveAnEmptyResultWithoutEvaluating) {
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, {0, 0, 0}, 1.0f, 0)};
  const InverseSquareField field(elements.data(), 0.5f, 1);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (float cell : {0.0f, -0.1f, nan, inf}) {
    SCOPED_TRACE(cell);
    RecordingField recorder(field);
    Configure(0.1f, 4, 0);
    in.settings.cellSize = {cell, cell, cell};
    EXPECT_EQ(Run(recorder, elements).vertices.GetCount(), 0);
    EXPECT_TRUE(recorder.points.empty());
  }
  for (int32_t polygonization : {-1, 2, 9, 11}) {
    SCOPED_TRACE(polygonization);
    RecordingField recorder(field);
    Configure(0.1f, 4, polygonization);
    const Mesh mesh = Run(recorder, elements);
    EXPECT_EQ(mesh.polygons.GetCount(), 0);
    EXPECT_TRUE(recorder.points.empty());
  }
}

TEST_F(ContinuationPolygonizerTest, OutOfRangeAccuracyIsClampedWithoutChangingTheSurface) {
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, {0.01f, 0.02f, 0.03f}, 0.5f, 0)};
  const InverseSquareField field(elements.data(), 0.5f, 1);
  // Below 0 behaves as 0: the first midpoint of every edge.
  Configure(0.1f, 0, 0);
  const Mesh zero = Run(field, elements);
  Configure(0.1f, -7, 0);
  const Mesh negative = Run(field, elements);
  EXPECT_TRUE(negative.vertices == zero.vertices);
  EXPECT_TRUE(negative.polygons == zero.polygons);
  // A float bisection has converged long before 200 halvings, so a huge RES
  // gives the same vertices, and quickly.
  Configure(0.1f, 200, 0);
  const Mesh many = Run(field, elements);
  Configure(0.1f, std::numeric_limits<int32_t>::max(), 0);
  in.settings.normalsOrUv = true;
  const Mesh huge = Run(field, elements);
  EXPECT_TRUE(huge.vertices == many.vertices);
  EXPECT_TRUE(huge.polygons == many.polygons);
  for (XSI::LONG n = 0; n < huge.nodeValues.GetCount(); ++n) ASSERT_TRUE(std::isfinite(huge.nodeValues[n]));
}

TEST_F(ContinuationPolygonizerTest, NonFiniteProbesAndFarSeedsEndQuietly) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    Float3 centre;
    float isovalue;
  };
  const Case cases[] = {{"isovalue 0", {0, 0, 0}, 0.0f},
                        {"NaN centre", {nan, 0, 0}, 0.5f},
                        {"centre beyond the int32 lattice", {1e30f, -1e30f, 3e9f}, 0.5f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, c.centre, 1.0f, 0)};
    const InverseSquareField field(elements.data(), c.isovalue, 1);
    Configure(0.1f, 4, 0, c.isovalue);
    const Mesh mesh = Run(field, elements);
    EXPECT_EQ(mesh.result, PolygonizeResult::Complete);
    EXPECT_TRUE(IsFinite(mesh.vertices));
    EXPECT_TRUE(HasValidIndices(mesh.vertices.GetCount(), mesh.polygons));
  }
}

TEST_F(ContinuationPolygonizerTest, AllocationFailureLeavesTheArraysAsTheyWere) {
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, {0.01f, 0.02f, 0.03f}, 0.5f, 0)};
  const InverseSquareField field(elements.data(), 0.5f, 1);
  Configure(0.05f, 4, 0);
  in.settings.userNormals = in.settings.normalsOrUv = true;
  bool completed = false;
  for (int successes = 0; !completed && successes < 64; ++successes) {
    SCOPED_TRACE(successes);
    Mesh mesh;
    mesh.vertices.Add(XSI::MATH::CVector3(1, 2, 3));
    mesh.polygons.Add(7);
    mesh.nodeValues.Add(0.5);
    allocation_faults::FailAfter(successes);
    const PolygonizeResult result =
        Polygonize(in.settings, in.cubeTable, field, elements.data(), 1, mesh);
    allocation_faults::Clear();
    if (result == PolygonizeResult::Complete) {
      completed = true;
      EXPECT_GT(mesh.vertices.GetCount(), 1);
      continue;
    }
    ASSERT_EQ(result, PolygonizeResult::OutOfMemory);
    ASSERT_EQ(mesh.vertices.GetCount(), 1);
    ASSERT_EQ(mesh.polygons.GetCount(), 1);
    ASSERT_EQ(mesh.nodeValues.GetCount(), 1);
    EXPECT_EQ(mesh.polygons[0], 7);
  }
  EXPECT_TRUE(completed);
}
