// The attribute transfer: weighted averages of element values at points,
// for the three blending models, at any thread count.

#include "field/attribute_transfer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "field/blend_kernels.h"
#include "field/element_table.h"
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

namespace {

// The polynomial model's average as the element table's own buckets give
// it: the candidates of each point's bucket in order, the 1 / d^2 fallback
// among them. The transfer must give these bytes.
std::vector<float> BucketAverages(const Cloud& cloud, const std::vector<float>& values) {
  const ElementTable table(cloud.elements.data(), static_cast<int32_t>(cloud.elements.size()), true);
  std::vector<int32_t> elementOf;
  for (int32_t k = 0; k < static_cast<int32_t>(cloud.elements.size()); ++k) {
    ElementRecord r;
    if (MakeElementRecord(cloud.elements[static_cast<size_t>(k)], 0, r)) elementOf.push_back(k);
  }
  std::vector<float> out;
  for (size_t p = 0; p < cloud.points.size() / 3; ++p) {
    const float x = static_cast<float>(cloud.points[3 * p]);
    const float y = static_cast<float>(cloud.points[3 * p + 1]);
    const float z = static_cast<float>(cloud.points[3 * p + 2]);
    std::vector<uint32_t> candidates;
    if (table.HasGrid()) {
      const uint32_t* begin = nullptr;
      const uint32_t* end = nullptr;
      table.Candidates(x, y, z, begin, end);
      candidates.assign(begin, end);
    } else {
      for (uint32_t m = 0; m < static_cast<uint32_t>(table.RecordCount()); ++m) candidates.push_back(m);
    }
    double total = 0.0, sum = 0.0, nearTotal = 0.0, nearSum = 0.0;
    for (uint32_t m : candidates) {
      const ElementRecord& r = table.Records()[m];
      if (!(r.weight > 0.0f) || !InsideCullBox(r, x, y, z)) continue;
      const float d = MeasureAt(r, table.Rotations(), x, y, z);
      float w = 0.0f;
      AddPolynomial()(w, r, d);
      const float value = values[static_cast<size_t>(elementOf[m])];
      if (w > 0.0f) {
        total += w;
        sum += static_cast<double>(w) * value;
      } else if (total == 0.0 && d >= 0.0f) {
        const double near = 1.0 / (static_cast<double>(d) * d + 1e-30);
        nearTotal += near;
        nearSum += near * value;
      }
    }
    const double weight = total > 0.0 ? total : nearTotal;
    out.push_back(weight > 0.0 ? static_cast<float>((total > 0.0 ? sum : nearSum) / weight) : 0.0f);
  }
  return out;
}

}  // namespace

// The polynomial model takes its elements from a grid of its own, and the
// few points no element adds to from the table's buckets at those points
// alone: the same bytes as the table's buckets give everywhere, for
// particles of many sizes (a few far larger than the rest), rotated and
// negative elements, points inside, beside and far outside the cloud. In
// the last cloud every fourth particle has a twin in the next record, the
// two valued +1e20 and -1e20: a sum taken in any order but ascending records
// loses or keeps the others' share differently, so the bytes differ.
TEST(AttributeTransfer, PolynomialModelGivesTheBucketTablesBytes) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> unit(-0.5f, 0.5f);
  std::uniform_real_distribution<float> size(0.02f, 0.08f);
  for (int variant = 0; variant < 4; ++variant) {
    SCOPED_TRACE(variant);
    Cloud cloud;
    const int count = variant == 2 ? 5 : 3000;
    for (int i = 0; i < count; ++i) {
      const float radius = variant == 0 || variant == 3 ? 0.03f : (i % 97 == 0 ? 0.6f : size(random));
      if (variant == 3 && i % 4 == 1) {
        cloud.elements.push_back(cloud.elements.back());
        continue;
      }
      MetaElement e = Particle(1, {unit(random), unit(random), unit(random)}, radius,
                               i % 13 == 0 && variant != 3 ? -0.5f : 1.0f);
      if (variant == 1 && i % 5 == 0) {
        e.shape = i % 2 == 0 ? ElementShape::Cube : ElementShape::Cylinder;
        e.inverseAngles = Float3{0.3f, -1.1f, 0.2f};
      }
      cloud.elements.push_back(e);
    }
    for (int i = 0; i < 4000; ++i) {
      const double spread = i % 4 == 0 ? 3.0 : 1.15;
      for (int a = 0; a < 3; ++a) cloud.points.push_back(spread * unit(random));
    }
    std::vector<float> values;
    for (int i = 0; i < count; ++i) {
      const bool twin = variant == 3 && i % 4 < 2;
      values.push_back(twin ? (i % 4 == 0 ? 1e20f : -1e20f) : unit(random) * 10.0f);
    }
    const std::vector<float> expected = BucketAverages(cloud, values);
    for (int threads : test_support::kThreadCounts) {
      const test_support::ScopedThreadCount scope(threads);
      const std::vector<float> got = Transfer(1, cloud, values, 1);
      ASSERT_EQ(got.size(), expected.size());
      EXPECT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)), 0) << threads;
    }
  }
}
