// The region outside which an element adds nothing to the polynomial field
// must hold every point where the definition (field_oracle.h) adds the
// element, and for unrotated elements hug the exact support d < 0.5.

#include "field/polynomial_reach.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "field/field_oracle.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// An unrotated element of `shape` with random size and non-uniform, possibly
// mirrored scale, its factors as the gatherer makes them for model 1.
MetaElement RandomElement(std::mt19937& random, ElementShape shape) {
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  MetaElement e{};
  e.shape = shape;
  e.centre = Float3{unit(random) * 4.0f - 2.0f, unit(random) * 4.0f - 2.0f, unit(random) * 4.0f - 2.0f};
  e.radius = 0.05f + unit(random);
  e.scale = Float3{0.3f + 2.0f * unit(random), 0.3f + 2.0f * unit(random), 0.3f + 2.0f * unit(random)};
  if (unit(random) < 0.3f) e.scale.x = -e.scale.x;
  e.height = 1.0f;
  e.radialFactor = shape == ElementShape::Cube ? 1.0f / (e.radius * std::sqrt(2.0f)) : 1.0f / (e.radius * 2.0f);
  float axial = e.radialFactor;
  if (shape == ElementShape::Cylinder) {
    e.height = 0.1f + 2.0f * unit(random);
    e.axialFactor = 1.0f / (std::sqrt(2.0f) * e.height * 0.25f);
    e.scale.y = e.height * 0.5f * e.scale.y;
    axial = e.axialFactor;
  }
  e.axisFactor = Float3{1.0f / e.scale.x * e.radialFactor, 1.0f / e.scale.y * axial, 1.0f / e.scale.z * e.radialFactor};
  e.weight = 1.0f;
  return e;
}

bool Adds(const MetaElement& e, float x, float y, float z) {
  float value;
  return oracle::Contribution(1, e, x, y, z, value);
}

}  // namespace

TEST(PolynomialReach, NothingIsAddedJustOutsideAndTheBoxHugsTheSupport) {
  std::mt19937 random(12345);
  for (int n = 0; n < 3000; ++n) {
    const auto shape = static_cast<ElementShape>(n % 3);
    const MetaElement e = RandomElement(random, shape);
    SCOPED_TRACE(testing::Message() << "element " << n << " shape " << n % 3);
    ElementRecord record;
    ASSERT_TRUE(MakeElementRecord(e, 0, record));
    PolynomialReach reach;
    ASSERT_TRUE(MakePolynomialReach(record, reach));
    const float centre[3] = {e.centre.x, e.centre.y, e.centre.z};
    const float factor[3] = {e.axisFactor.x, e.axisFactor.y, e.axisFactor.z};
    for (int a = 0; a < 3; ++a) {
      // Off the box on one axis, the others at the centre where d is least.
      float outside[2][3] = {{centre[0], centre[1], centre[2]}, {centre[0], centre[1], centre[2]}};
      outside[0][a] = std::nextafter(reach.low[a], -kInf);
      outside[1][a] = std::nextafter(reach.high[a], kInf);
      for (const auto& q : outside) EXPECT_FALSE(Adds(e, q[0], q[1], q[2])) << "axis " << a;
      // The exact edge: |l_a| = sqrt(0.5), or 0.5^(1/4) for cubes and the cylinder's axis.
      const bool fourth = shape == ElementShape::Cube || (shape == ElementShape::Cylinder && a == 1);
      const double edge = (fourth ? std::pow(0.5, 0.25) : std::sqrt(0.5)) / std::fabs(static_cast<double>(factor[a]));
      EXPECT_LE(reach.high[a] - static_cast<double>(centre[a]), edge * 1.0002 + 1e-6) << "axis " << a;
      EXPECT_GE(static_cast<double>(centre[a]) - reach.low[a], edge) << "axis " << a;
      float inside[3] = {centre[0], centre[1], centre[2]};
      inside[a] = static_cast<float>(centre[a] + edge * 0.999);
      EXPECT_TRUE(Adds(e, inside[0], inside[1], inside[2])) << "axis " << a;
    }
    EXPECT_EQ(reach.ellipsoid, shape == ElementShape::Sphere);
    if (!reach.ellipsoid) continue;
    // Just outside the widened ellipsoid, in random directions: nothing.
    std::normal_distribution<double> normal;
    for (int k = 0; k < 20; ++k) {
      double u[3] = {normal(random), normal(random), normal(random)};
      const double length = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
      float q[3];
      double sum = 0.0;
      for (int a = 0; a < 3; ++a) {
        q[a] = static_cast<float>(centre[a] + u[a] / length * std::sqrt(kEllipsoidBound) * 1.000001 / reach.factor[a]);
        const double t = (q[a] - static_cast<double>(centre[a])) * reach.factor[a];
        sum += t * t;
      }
      if (sum < kEllipsoidBound) continue;
      EXPECT_FALSE(Adds(e, q[0], q[1], q[2])) << "direction " << k;
    }
  }
}

TEST(PolynomialReach, ElementsThatAddNowhereHaveNone) {
  std::mt19937 random(7);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  MetaElement e = RandomElement(random, ElementShape::Sphere);
  struct Case {
    const char* name;
    void (*spoil)(MetaElement&, float);
  };
  const Case cases[] = {
      {"NaN centre", [](MetaElement& m, float v) { m.centre.y = v; }},
      {"infinite centre", [](MetaElement& m, float) { m.centre.z = kInf; }},
      {"NaN radius", [](MetaElement& m, float v) { m.radius = v; }},
      {"infinite axis factor", [](MetaElement& m, float) { m.axisFactor.x = -kInf; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MetaElement spoiled = e;
    c.spoil(spoiled, nan);
    ElementRecord record;
    ASSERT_TRUE(MakeElementRecord(spoiled, 0, record));
    PolynomialReach reach;
    EXPECT_FALSE(MakePolynomialReach(record, reach));
  }
  // A rotated element keeps its whole cull box; a zero factor leaves its axis unbounded by the support.
  MetaElement rotated = e;
  rotated.inverseAngles = Float3{0.3f, 0.0f, 0.0f};
  ElementRecord record;
  ASSERT_TRUE(MakeElementRecord(rotated, 0, record));
  PolynomialReach reach;
  ASSERT_TRUE(MakePolynomialReach(record, reach));
  EXPECT_EQ(reach.low[0], record.boxLow.x);
  EXPECT_EQ(reach.high[2], record.boxHigh.z);
  EXPECT_FALSE(reach.ellipsoid);
  MetaElement flat = e;
  flat.axisFactor.y = 0.0f;
  ASSERT_TRUE(MakeElementRecord(flat, 0, record));
  ASSERT_TRUE(MakePolynomialReach(record, reach));
  EXPECT_EQ(reach.high[1], record.boxHigh.y);
  EXPECT_LT(reach.high[0], record.boxHigh.x);
  EXPECT_FALSE(reach.ellipsoid);
}

// The outward rounding's neighbour of a float is the library's, bit for
// bit, at zeros, denormals, the ends of the range, infinities and either sign.
TEST(PolynomialReach, NextFloatIsTheLibrarysNeighbour) {
  const float tiny = std::numeric_limits<float>::denorm_min();
  const float normal = std::numeric_limits<float>::min();
  const float largest = std::numeric_limits<float>::max();
  for (float f : {0.0f, -0.0f, tiny, -tiny, normal, -normal, 1.0f, -1.0f, 0.7071f, -3e30f, largest, -largest, kInf, -kInf}) {
    for (bool up : {false, true}) {
      const float expected = std::nextafter(f, up ? kInf : -kInf);
      const float got = NextFloatToward(f, up);
      uint32_t a = 0;
      uint32_t b = 0;
      std::memcpy(&a, &expected, sizeof a);
      std::memcpy(&b, &got, sizeof b);
      EXPECT_EQ(a, b) << f << (up ? " up" : " down");
    }
  }
}

// The reach grid bins plain spheres by PlainSphereBound: it must call plain
// exactly the spheres whose reach MakePolynomialReach makes an ellipsoid,
// and its box must hold that reach, for ordinary spheres and for every way
// a sphere can lose its reach or its narrowing.
TEST(PolynomialReach, PlainSphereBoundAgreesWithTheReach) {
  std::mt19937 random(5);
  std::vector<MetaElement> spheres;
  for (int i = 0; i < 200; ++i) spheres.push_back(RandomElement(random, ElementShape::Sphere));
  void (*const spoils[])(MetaElement&) = {
      [](MetaElement& m) { m.centre.y = std::numeric_limits<float>::quiet_NaN(); },
      [](MetaElement& m) { m.centre.z = kInf; },
      [](MetaElement& m) { m.centre.x = 3e37f; },
      [](MetaElement& m) { m.radius = std::numeric_limits<float>::quiet_NaN(); },
      [](MetaElement& m) { m.axisFactor.x = -kInf; },
      [](MetaElement& m) { m.axisFactor.y = 0.0f; },
      [](MetaElement& m) { m.axisFactor.z = 1e-31f; },
      [](MetaElement& m) { m.axisFactor.x = 1e31f; },
      [](MetaElement& m) { m.axisFactor.y = std::numeric_limits<float>::denorm_min(); },
  };
  for (auto spoil : spoils) {
    MetaElement e = spheres[spheres.size() % 7];
    spoil(e);
    spheres.push_back(e);
  }
  for (size_t i = 0; i < spheres.size(); ++i) {
    SCOPED_TRACE(i);
    ElementRecord record;
    ASSERT_TRUE(MakeElementRecord(spheres[i], 0, record));
    ASSERT_EQ(record.kind & (kShapeMask | kRotatedKind), 0u);
    PolynomialReach reach;
    const bool ellipsoid = MakePolynomialReach(record, reach) && reach.ellipsoid;
    float low[3];
    float high[3];
    ASSERT_EQ(PlainSphereBound(record, low, high), ellipsoid);
    for (int a = 0; ellipsoid && a < 3; ++a) {
      EXPECT_LE(low[a], reach.low[a]);
      EXPECT_GE(high[a], reach.high[a]);
    }
  }
}
