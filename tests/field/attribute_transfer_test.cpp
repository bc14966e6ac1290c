// The attribute transfer: weighted averages of element values at points,
// for the three blending models, at any thread count.

#include "field/attribute_transfer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "field/field_function.h"
#include "scene/meta_element.h"
#include "support/thread_counts.h"

namespace {

// A particle as gathering builds it for `model` (unit scale): axis factor 1
// for model 0, 1 / (2 radius) for models 1 and 2.
MetaElement Particle(int model, Float3 centre, float radius, float weight = 1.0f) {
  MetaElement e{};
  e.centre = centre;
  e.scale = Float3{1.0f, 1.0f, 1.0f};
  e.radius = radius;
  e.height = 1.0f;
  e.radialFactor = 1.0f / (radius * 2.0f);
  const float factor = model == 0 ? 1.0f : e.radialFactor;
  e.axisFactor = Float3{factor, factor, factor};
  e.weight = weight;
  e.shape = ElementShape::Sphere;
  return e;
}

// A cloud of `count` particles in the unit cube, and points on and around it.
struct Cloud {
  std::vector<MetaElement> elements;
  std::vector<double> points;
};

Cloud RandomCloud(int model, int count) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> unit(-0.5f, 0.5f);
  Cloud cloud;
  for (int i = 0; i < count; ++i) cloud.elements.push_back(Particle(model, {unit(random), unit(random), unit(random)}, 0.1f));
  for (int i = 0; i < 3000; ++i) {
    for (int a = 0; a < 3; ++a) cloud.points.push_back(1.2 * unit(random));
  }
  return cloud;
}

std::vector<float> Transfer(int model, const Cloud& cloud, const std::vector<float>& values, int components) {
  std::vector<float> out(cloud.points.size() / 3 * static_cast<size_t>(components), -1.0f);
  EXPECT_TRUE(TransferToPoints(model, cloud.elements.data(), static_cast<int32_t>(cloud.elements.size()), values.data(),
                               components, cloud.points.data(), cloud.points.size() / 3, out.data()));
  return out;
}

}  // namespace

// One value on every element gives that value wherever an element reaches
// (to float rounding), and zeros where none does; the same bytes at every
// thread count.
TEST(AttributeTransfer, OneValueEverywhereGivesThatValueAtAnyThreadCount) {
  for (int model : {0, 1, 2}) {
    SCOPED_TRACE(model);
    const Cloud cloud = RandomCloud(model, 400);
    std::vector<float> values;
    for (size_t i = 0; i < cloud.elements.size(); ++i) values.insert(values.end(), {0.75f, -2.5f, 1e-3f});
    const std::vector<float> single = Transfer(model, cloud, values, 3);
    const auto field = MakeFieldFunction(model, cloud.elements.data(), 0.0f, static_cast<int32_t>(cloud.elements.size()));
    size_t reached = 0;
    for (size_t p = 0; p < cloud.points.size() / 3; ++p) {
      const float* v = &single[3 * p];
      if (v[0] == 0.0f && v[1] == 0.0f && v[2] == 0.0f) {
        // Nothing reached this point: no element adds to the field there
        // (for the models without a cut-off, next to nothing).
        const float f = field->Evaluate(static_cast<float>(cloud.points[3 * p]), static_cast<float>(cloud.points[3 * p + 1]),
                                        static_cast<float>(cloud.points[3 * p + 2]));
        EXPECT_LT(f, model == 1 ? 1e-30f : 0.05f) << p;
        continue;
      }
      ++reached;
      EXPECT_FLOAT_EQ(v[0], 0.75f);
      EXPECT_FLOAT_EQ(v[1], -2.5f);
      EXPECT_FLOAT_EQ(v[2], 1e-3f);
    }
    EXPECT_GT(reached, 1000u);
    for (int threads : test_support::kThreadCounts) {
      const test_support::ScopedThreadCount scope(threads);
      const std::vector<float> again = Transfer(model, cloud, values, 3);
      EXPECT_EQ(std::memcmp(again.data(), single.data(), single.size() * sizeof(float)), 0) << threads;
    }
  }
}

// Two particles of values 0 and 1: the point between them gets 1/2, points
// nearer one lean towards its value; a negative element in between changes
// nothing, and a point beyond every reach gets 0.
TEST(AttributeTransfer, WeighsByContributionAndLeavesNegativeElementsOut) {
  for (int model : {0, 1, 2}) {
    SCOPED_TRACE(model);
    Cloud cloud;
    cloud.elements = {Particle(model, {-0.1f, 0, 0}, 0.2f), Particle(model, {0.1f, 0, 0}, 0.2f)};
    cloud.points = {0, 0, 0, -0.05, 0, 0, 0.08, 0.01, 0, 50, 0, 0};
    const std::vector<float> values = {0.0f, 1.0f};
    const std::vector<float> plain = Transfer(model, cloud, values, 1);
    EXPECT_FLOAT_EQ(plain[0], 0.5f);
    EXPECT_GT(plain[1], 0.0f);
    EXPECT_LT(plain[1], 0.5f);
    EXPECT_GT(plain[2], 0.5f);
    EXPECT_LT(plain[2], 1.0f);
    EXPECT_EQ(plain[3], 0.0f);
    cloud.elements.push_back(Particle(model, {0, 0, 0}, 0.2f, -1.0f));
    const std::vector<float> carved = Transfer(model, cloud, {0.0f, 1.0f, 100.0f}, 1);
    EXPECT_EQ(carved, plain);
  }
}
