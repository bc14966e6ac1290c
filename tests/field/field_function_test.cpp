#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "field/field_function.h"
#include "scene/meta_element.h"

namespace {

std::unique_ptr<FieldFunction> MakeField(int model, const std::vector<MetaElement>& elements, float iso) {
  return MakeFieldFunction(model, elements.data(), iso, static_cast<int32_t>(elements.size()));
}

float Evaluate(int model, const std::vector<MetaElement>& elements, float iso, float x, float y, float z) {
  return MakeField(model, elements, iso)->Evaluate(x, y, z);
}

// An unrotated element of unit scale whose local offset is the plain offset
// times `factor` on every axis.
MetaElement Element(ElementShape shape, Float3 centre, float radius, float factor, float weight = 1.0f) {
  MetaElement e{};
  e.centre = centre;
  e.inverseAngles = Float3{0.0f, 0.0f, 0.0f};
  e.scale = Float3{1.0f, 1.0f, 1.0f};
  e.axisFactor = Float3{factor, factor, factor};
  e.radius = radius;
  e.height = 1.0f;
  e.radialFactor = 1.0f / (radius * 2.0f);
  e.axialFactor = 0.0f;
  e.weight = weight;
  e.shape = shape;
  return e;
}

// A sphere as gathering builds it for `model`: axisFactor 1 for model 0,
// 1 / (2 radius) for models 1 and 2.
MetaElement GatheredSphere(int model, Float3 centre, float radius) {
  MetaElement e = Element(ElementShape::Sphere, centre, radius, 1.0f);
  if (model != 0) e.axisFactor = Float3{e.radialFactor, e.radialFactor, e.radialFactor};
  return e;
}

struct Direction {
  double x, y, z;
};

}  // namespace

TEST(InverseSquareField, CentreValueIsCappedByTheRadius) {
  // d = 0 is replaced by the radius: r^2 / r = r for spheres and cylinders,
  // r^4 / r = r^3 for cubes.
  const float iso = 0.5f;
  EXPECT_EQ(Evaluate(0, {Element(ElementShape::Sphere, {1, 2, 3}, 2.0f, 1.0f)}, iso, 1, 2, 3), 2.0f - iso);
  EXPECT_EQ(Evaluate(0, {Element(ElementShape::Cylinder, {1, 2, 3}, 2.0f, 1.0f)}, iso, 1, 2, 3), 2.0f - iso);
  EXPECT_EQ(Evaluate(0, {Element(ElementShape::Cube, {1, 2, 3}, 2.0f, 1.0f)}, iso, 1, 2, 3), 8.0f - iso);
  EXPECT_EQ(Evaluate(0, {Element(ElementShape::Sphere, {0, 0, 0}, 2.0f, 1.0f, -1.0f)}, iso, 0, 0, 0), -2.0f - iso);
}

TEST(InverseSquareField, FallsOffWithTheDistanceMeasure) {
  struct Case {
    ElementShape shape;
    Float3 query;
    float expected;  // radius^2 / d (radius^4 / d for cubes), radius 2
  };
  const Case cases[] = {
      {ElementShape::Sphere, {1, 0, 0}, 4.0f},       // d = 1
      {ElementShape::Sphere, {0, -0.5f, 0}, 16.0f},  // d = 0.25
      {ElementShape::Sphere, {1, 1, 1}, 4.0f / 3.0f},
      {ElementShape::Cube, {0, 0, 2}, 1.0f},         // d = 16, 16 / 16
      {ElementShape::Cube, {1, 1, 0}, 8.0f},         // d = 1 + 1
      {ElementShape::Cylinder, {0, 0.5f, 0}, 64.0f}, // along the axis: d = 0.5^4
      {ElementShape::Cylinder, {0.5f, 0, 0}, 16.0f}, // across it: d = 0.5^2
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.shape));
    SCOPED_TRACE(c.query.x + 10 * c.query.y + 100 * c.query.z);
    const float value = Evaluate(0, {Element(c.shape, {0, 0, 0}, 2.0f, 1.0f)}, 0.0f, c.query.x, c.query.y, c.query.z);
    EXPECT_FLOAT_EQ(value, c.expected);
  }
}

TEST(InverseSquareField, GuardSwitchesJustBelowTheTolerance) {
  const std::vector<MetaElement> sphere = {Element(ElementShape::Sphere, {0, 0, 0}, 2.0f, 1.0f)};
  // d = 0.003^2 = 9e-6 < 0.00001: replaced by the radius.
  EXPECT_EQ(Evaluate(0, sphere, 0.0f, 0.003f, 0, 0), 2.0f);
  // d = 0.004^2 = 1.6e-5: the full inverse square, 4 / 1.6e-5 = 250000.
  EXPECT_NEAR(Evaluate(0, sphere, 0.0f, 0.004f, 0, 0), 250000.0f, 250000.0f * 1e-5f);
}

TEST(PolynomialField, FourTimesWeightAtTheCentreAndZeroFromHalf) {
  const float iso = 0.75f;
  EXPECT_EQ(Evaluate(1, {Element(ElementShape::Sphere, {1, 1, 1}, 1.0f, 1.0f)}, iso, 1, 1, 1), 4.0f - iso);
  EXPECT_EQ(Evaluate(1, {Element(ElementShape::Cube, {1, 1, 1}, 1.0f, 1.0f, -1.0f)}, iso, 1, 1, 1), -4.0f - iso);
  struct Case {
    ElementShape shape;
    Float3 offset;
    float expected;  // 4 (1 - 2d)^2 below d = 0.5, else 0
  };
  const Case cases[] = {
      {ElementShape::Sphere, {0.5f, 0, 0}, 1.0f},        // d = 0.25
      {ElementShape::Sphere, {0.5f, 0.5f, 0}, 0.0f},     // d = 0.5 exactly
      {ElementShape::Sphere, {0.5f, 0.5f, 0.25f}, 0.0f}, // d = 0.5625
      {ElementShape::Cube, {0, 0.5f, 0}, 3.0625f},       // d = 0.0625
      {ElementShape::Cube, {0.75f, 0.75f, 0.75f}, 0.0f}, // d = 3 * 0.3164
      {ElementShape::Cylinder, {0, 0.5f, 0.5f}, 0.5625f},  // d = 0.0625 + 0.25: 4 * 0.375^2
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.shape));
    SCOPED_TRACE(c.offset.x + 10 * c.offset.y + 100 * c.offset.z);
    const float value = Evaluate(1, {Element(c.shape, {0, 0, 0}, 1.0f, 1.0f)}, 0.0f, c.offset.x, c.offset.y, c.offset.z);
    EXPECT_FLOAT_EQ(value, c.expected);
  }
}

TEST(PolynomialField, CullBoxIsInclusiveAndTestedPerAxis) {
  // Half-extent 2 * max|scale| * |radius|, here 2 * 3 * 1 = 6; a tiny axis
  // factor keeps d far below 0.5 everywhere in the box, so only the box decides.
  MetaElement e = Element(ElementShape::Sphere, {1, -2, 0.5f}, -1.0f, 0.001f);
  e.scale = Float3{1.0f, 0.5f, -3.0f};
  const std::vector<MetaElement> elements = {e};
  const float iso = 0.25f;
  const float outside = -iso;
  const float inf = std::numeric_limits<float>::infinity();

  EXPECT_GT(Evaluate(1, elements, iso, 7.0f, -2, 0.5f), outside);   // on the +x face
  EXPECT_GT(Evaluate(1, elements, iso, -5.0f, -2, 0.5f), outside);  // on the -x face
  EXPECT_GT(Evaluate(1, elements, iso, 7.0f, 4.0f, 6.5f), outside); // the corner
  EXPECT_EQ(Evaluate(1, elements, iso, std::nextafter(7.0f, inf), -2, 0.5f), outside);
  EXPECT_EQ(Evaluate(1, elements, iso, 1, std::nextafter(-8.0f, -inf), 0.5f), outside);
  // Just outside on z while x and y sit on the centre: still culled.
  EXPECT_EQ(Evaluate(1, elements, iso, 1, -2, std::nextafter(6.5f, inf)), outside);
  // A NaN coordinate fails every comparison.
  EXPECT_EQ(Evaluate(1, elements, iso, std::numeric_limits<float>::quiet_NaN(), -2, 0.5f), outside);
}

TEST(PolynomialField, CylinderBoxCoversHalfItsHeight) {
  MetaElement cylinder = Element(ElementShape::Cylinder, {0, 0, 0}, 0.5f, 0.001f);
  cylinder.height = -8.0f;  // 2 * 1 * max(0.5, 0.5 * 8) = 8
  MetaElement sphere = cylinder;
  sphere.shape = ElementShape::Sphere;  // height ignored: 2 * 1 * 0.5 = 1
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_GT(Evaluate(1, {cylinder}, 0.0f, 0, 8.0f, 0), 0.0f);
  EXPECT_EQ(Evaluate(1, {cylinder}, 0.0f, 0, std::nextafter(8.0f, inf), 0), 0.0f);
  EXPECT_GT(Evaluate(1, {sphere}, 0.0f, 1.0f, 0, 0), 0.0f);
  EXPECT_EQ(Evaluate(1, {sphere}, 0.0f, std::nextafter(1.0f, inf), 0, 0), 0.0f);
}

TEST(ExponentialField, NothingAtTheExactCentreNeighboursStillCount) {
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, {0, 0, 0}, 1.0f, 1.0f),
                                             Element(ElementShape::Sphere, {1, 0, 0}, 1.0f, 1.0f)};
  const float iso = 0.5f;
  // At the first centre: it adds nothing, the second adds expf(-1).
  EXPECT_FLOAT_EQ(Evaluate(2, elements, iso, 0, 0, 0), std::exp(-1.0f) - iso);
  // Midway: each adds expf(-0.25).
  EXPECT_FLOAT_EQ(Evaluate(2, elements, iso, 0.5f, 0, 0), 2.0f * std::exp(-0.25f) - iso);
  // d = 1e-10: expf(-d) rounds to 1 and the element adds nothing.
  EXPECT_EQ(Evaluate(2, {elements[0]}, iso, 0.00001f, 0, 0), -iso);
}

TEST(FieldFunction, ElementsWithoutAMeasureOrCulledGiveMinusIso) {
  MetaElement inert{};
  inert.shape = ElementShape::Inert;
  MetaElement unknown = Element(ElementShape::Sphere, {0, 0, 0}, 1.0f, 1.0f);
  unknown.shape = static_cast<ElementShape>(7);
  MetaElement negativeShape = unknown;
  negativeShape.shape = static_cast<ElementShape>(-1);
  const std::vector<MetaElement> elements = {inert, unknown, negativeShape};
  const float iso = 0.3f;
  for (int model = 0; model < 3; ++model) {
    SCOPED_TRACE(model);
    EXPECT_EQ(Evaluate(model, elements, iso, 0, 0, 0), -iso);
    EXPECT_EQ(Evaluate(model, elements, iso, 0.25f, -0.5f, 2.0f), -iso);
  }
  // Every element culled by its box.
  EXPECT_EQ(Evaluate(1, {Element(ElementShape::Sphere, {0, 0, 0}, 1.0f, 0.5f)}, iso, 5, 0, 0), -iso);
  // No elements at all.
  EXPECT_EQ(Evaluate(0, {}, iso, 0, 0, 0), -iso);
}

TEST(FieldFunction, SubtractiveElementOpensAHole) {
  const std::vector<MetaElement> elements = {Element(ElementShape::Sphere, {0, 0, 0}, 2.0f, 0.25f),
                                             Element(ElementShape::Sphere, {0, 0, 0}, 1.5f, 1.0f, -1.0f)};
  const float iso = 1.0f;
  for (int model = 0; model < 2; ++model) {
    SCOPED_TRACE(model);
    // Alone the large element is inside at its centre (model 0: 2^2 / 2 - 1,
    // model 1: 4 - 1); the subtractive one takes 1.5^2 / 1.5 or 4 away.
    EXPECT_GT(Evaluate(model, {elements[0]}, iso, 0, 0, 0), 0.0f);
    EXPECT_LT(Evaluate(model, elements, iso, 0, 0, 0), 0.0f);
  }
}

TEST(FieldFunction, RotatesFromAnAngleOfTheToleranceOn) {
  // The offset lies along an axis whose factor is 0; a rotation by angle a
  // about another axis moves 1000 * sin(a) of it onto the third axis, giving
  // d ~ (1000 a)^2 = 1e-4 for a = 1e-5, so expf(-d) ~ 0.9999. Unrotated, d = 0
  // and the exponential model adds nothing.
  struct Case {
    int rotationAxis;
    Float3 query;       // element at the origin: offset = -query
    Float3 axisFactor;
  };
  const Case cases[] = {
      {0, {0, -1000, 0}, {1, 0, 1}},  // about X: y moves into z
      {1, {0, 0, -1000}, {1, 1, 0}},  // about Y: z moves into x
      {2, {-1000, 0, 0}, {0, 1, 1}},  // about Z: x moves into y
  };
  const float iso = 0.5f;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rotationAxis);
    for (const float angle : {0.0000099f, -0.0000099f, 0.00001f, -0.00001f}) {
      SCOPED_TRACE(angle);
      MetaElement e = Element(ElementShape::Sphere, {0, 0, 0}, 1.0f, 1.0f);
      e.axisFactor = c.axisFactor;
      float* angles[3] = {&e.inverseAngles.x, &e.inverseAngles.y, &e.inverseAngles.z};
      *angles[c.rotationAxis] = angle;
      const float value = Evaluate(2, {e}, iso, c.query.x, c.query.y, c.query.z);
      if (std::fabs(angle) < 0.00001f) {
        EXPECT_EQ(value, -iso);
      } else {
        EXPECT_NEAR(value, 0.9999f - iso, 0.00002f);
      }
    }
  }
}

TEST(FieldFunction, ZeroSetOfOneSphereLiesWhereTheModelPutsIt) {
  // Exact zero distances for a sphere of radius r with iso threshold c:
  //   model 0: r^2 / t^2 = c                      -> t = r / sqrt(c)
  //   model 1: 4 (1 - 2d)^2 = c, d = t^2 / (4r^2)  -> t = 2r sqrt((1 - sqrt(c / 4)) / 2)
  //   model 2: exp(-d) = c,     d = t^2 / (4r^2)  -> t = 2r sqrt(-ln c)
  // Tolerance: the field is computed with a handful of float roundings, a
  // relative error of a few 1e-7. Moving 0.1% off the zero along the ray
  // changes the exact field by at least |t df/dt| * 0.001, which for the
  // cases below is more than 1e-4 (model 2, c = 0.9: 2 d c * 0.001 = 1.9e-4),
  // so the sign at t0 (1 -/+ 0.001) is decided with a wide margin.
  const Direction directions[] = {{1, 0, 0}, {0, -1, 0}, {0, 0, 1}, {0.6, 0.8, 0}, {-0.48, 0.6, -0.64},
                                  {1 / std::sqrt(3.0), -1 / std::sqrt(3.0), 1 / std::sqrt(3.0)}};
  const Float3 centre{0.25f, -1.5f, 2.0f};
  const float radii[] = {0.5f, 1.0f, 2.5f};
  const float isos[3][3] = {{0.5f, 1.0f, 3.0f}, {0.3f, 1.0f, 2.5f}, {0.1f, 0.5f, 0.9f}};
  const float eps = 0.001f;
  for (int model = 0; model < 3; ++model) {
    for (const float r : radii) {
      for (const float iso : isos[model]) {
        double t0;
        if (model == 0) {
          t0 = r / std::sqrt(static_cast<double>(iso));
        } else if (model == 1) {
          t0 = 2.0 * r * std::sqrt((1.0 - std::sqrt(iso / 4.0)) / 2.0);
        } else {
          t0 = 2.0 * r * std::sqrt(-std::log(static_cast<double>(iso)));
        }
        const std::vector<MetaElement> elements = {GatheredSphere(model, centre, r)};
        const std::unique_ptr<FieldFunction> field = MakeField(model, elements, iso);
        for (const Direction& u : directions) {
          SCOPED_TRACE(testing::Message() << "model " << model << " r " << r << " iso " << iso << " dir " << u.x
                                          << "," << u.y << "," << u.z);
          auto at = [&](double t) {
            const float x = static_cast<float>(centre.x + t * u.x);
            const float y = static_cast<float>(centre.y + t * u.y);
            const float z = static_cast<float>(centre.z + t * u.z);
            return field->Evaluate(x, y, z);
          };
          EXPECT_GT(at(t0 * (1.0 - eps)), 0.0f);
          EXPECT_LT(at(t0 * (1.0 + eps)), 0.0f);
          // One crossing: inside everywhere nearer, outside everywhere farther.
          for (int s = 1; s <= 19; ++s) {
            EXPECT_GT(at(t0 * 0.05 * s), 0.0f) << "inside sample " << s;
            EXPECT_LT(at(t0 * (1.0 + 0.1 * s)), 0.0f) << "outside sample " << s;
          }
        }
      }
    }
  }
}
