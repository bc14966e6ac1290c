// The fast fields against the plain definition (field_oracle.h) on random
// scenes: Evaluate bit for bit at many points, and whole polygonizations byte
// for byte. Scenes mix the three shapes, shapes without a measure, rotations
// (including angles at the NearlyEqual tolerance), mirrored and non-uniform
// scales, negative and zero weights and radii, and a share of degenerate
// values (NaN, infinities, huge and tiny numbers). Query points include the
// exact cull-box faces and the edges of each element's support, one float
// either side.
//
// GLOMORA_FIELD_SCENES=N raises the number of scenes (default 2000 for
// Evaluate, a tenth of that for polygonizations).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "field/element_table.h"
#include "field/field_function.h"
#include "field/field_oracle.h"
#include "base/allocation.h"
#include "front/operator_instance.h"
#include "tracker/continuation_polygonizer.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

int SceneCount(int defaultCount) {
  if (const char* text = std::getenv("GLOMORA_FIELD_SCENES")) {
    const int requested = std::atoi(text);
    if (requested > 0) return requested;
  }
  return defaultCount;
}

// The bits of a float, with every NaN made one: which NaN an operation
// passes on when two meet (say a NaN sum plus a NaN contribution) is the
// compiler's choice of operand order, not something the source fixes, so
// NaNs are compared as a class and every other value bit for bit.
uint32_t Bits(float v) {
  if (std::isnan(v)) return 0x7FC00000u;
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

uint64_t Bits(double v) {
  if (std::isnan(v)) return 0x7FF8000000000000u;
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

std::unique_ptr<FieldFunction> FastField(int model, const std::vector<MetaElement>& elements, float iso) {
  return MakeFieldFunction(model, elements.data(), iso, static_cast<int32_t>(elements.size()));
}

// Random scenes and query points from one seed.
class SceneMaker {
 public:
  explicit SceneMaker(uint32_t seed) : random_(seed) {}

  float Uniform(float low, float high) { return std::uniform_real_distribution<float>(low, high)(random_); }
  bool Chance(double p) { return std::bernoulli_distribution(p)(random_); }
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  float Degenerate() {
    static constexpr float kValues[] = {kNaN, kInf, -kInf, 0.0f, -0.0f, 1e30f, -1e30f, 1e-30f, 1e-40f, 3e38f};
    return kValues[Pick(static_cast<int>(std::size(kValues)))];
  }

  // An element much as the gatherer builds one for `model`; `degenerate`
  // then spoils one of its fields.
  MetaElement Element(int model, const Float3& around, float spread, bool degenerate) {
    MetaElement e{};
    const int shapeRoll = Pick(20);
    e.shape = shapeRoll < 18 ? static_cast<ElementShape>(shapeRoll % 3)
                             : static_cast<ElementShape>(shapeRoll == 18 ? 3 : -1);
    e.centre = Float3{around.x + Uniform(-spread, spread), around.y + Uniform(-spread, spread),
                      around.z + Uniform(-spread, spread)};
    e.radius = Chance(0.05) ? 0.0f : Uniform(0.1f, 0.6f) * (Chance(0.05) ? -1.0f : 1.0f);
    e.scale = Float3{1.0f, 1.0f, 1.0f};
    if (Chance(0.4)) e.scale = Float3{Uniform(0.4f, 2.0f), Uniform(0.4f, 2.0f), Uniform(0.4f, 2.0f)};
    if (Chance(0.15)) e.scale.x = -e.scale.x;  // mirrored
    if (Chance(0.05)) e.scale.z = -e.scale.z;
    const int angleRoll = Pick(10);
    if (angleRoll >= 5) {
      e.inverseAngles = Float3{Uniform(-3.2f, 3.2f), Uniform(-1.6f, 1.6f), Uniform(-3.2f, 3.2f)};
    } else if (angleRoll == 4) {
      e.inverseAngles = Float3{Chance(0.5) ? 0.0000099f : -0.0000099f, 0.0f, Chance(0.5) ? 0.0000099f : 0.0f};
    } else if (angleRoll == 3) {
      float* axis[3] = {&e.inverseAngles.x, &e.inverseAngles.y, &e.inverseAngles.z};
      *axis[Pick(3)] = Chance(0.5) ? 0.00001f : -0.00001f;
    }
    e.height = 1.0f;
    const float r = e.radius;
    e.radialFactor = e.shape == ElementShape::Cube ? 1.0f / (r * std::sqrt(2.0f)) : 1.0f / (r * 2.0f);
    if (e.shape == ElementShape::Cylinder) {
      e.height = Uniform(0.1f, 2.0f);
      e.axialFactor = 1.0f / (std::sqrt(2.0f) * e.height * 0.25f);
      e.scale.y = e.height * 0.5f * e.scale.y;
    }
    const float radial = model == 0 ? 1.0f : e.radialFactor;
    const float axial = model == 0 ? 1.0f : (e.shape == ElementShape::Cylinder ? e.axialFactor : e.radialFactor);
    e.axisFactor = Float3{1.0f / e.scale.x * radial, 1.0f / e.scale.y * axial, 1.0f / e.scale.z * radial};
    const int weightRoll = Pick(20);
    e.weight = weightRoll < 17 ? 1.0f : (weightRoll < 19 ? -1.0f : 0.0f);
    if (degenerate) {
      float* fields[] = {&e.centre.x,     &e.centre.y,     &e.centre.z,     &e.inverseAngles.x, &e.inverseAngles.y,
                         &e.scale.x,      &e.scale.y,      &e.scale.z,      &e.axisFactor.x,    &e.axisFactor.y,
                         &e.axisFactor.z, &e.radius,       &e.height,       &e.weight};
      *fields[Pick(static_cast<int>(std::size(fields)))] = Degenerate();
    }
    return e;
  }

  // 1 to 40 elements around a few cluster centres (now and then a few hundred);
  // every fifth scene has degenerate elements.
  std::vector<MetaElement> Scene(int model) {
    const int count = Chance(0.05) ? 100 + Pick(300) : 1 + Pick(40);
    const bool spoiled = Chance(0.2);
    const int clusters = 1 + Pick(3);
    Float3 centres[3];
    for (Float3& c : centres) c = Float3{Uniform(-2.0f, 2.0f), Uniform(-2.0f, 2.0f), Uniform(-2.0f, 2.0f)};
    std::vector<MetaElement> elements;
    for (int n = 0; n < count; ++n) {
      elements.push_back(Element(model, centres[Pick(clusters)], Uniform(0.2f, 1.5f), spoiled && Chance(0.1)));
    }
    return elements;
  }

  // A float v moved by `steps` representable floats.
  static float Step(float v, int steps) {
    for (; steps > 0; --steps) v = std::nextafter(v, kInf);
    for (; steps < 0; ++steps) v = std::nextafter(v, -kInf);
    return v;
  }

  // Points where mistakes show: anywhere around the scene, near and at element
  // centres, on the cull-box faces and on the edges of the support, a float
  // either side, and the odd non-finite or huge coordinate.
  std::vector<Float3> Queries(const std::vector<MetaElement>& elements, int count) {
    std::vector<Float3> points;
    for (int n = 0; n < count; ++n) {
      const MetaElement& e = elements[Pick(static_cast<int>(elements.size()))];
      const int kind = Pick(10);
      Float3 p{Uniform(-4.0f, 4.0f), Uniform(-4.0f, 4.0f), Uniform(-4.0f, 4.0f)};
      if (kind <= 2) {
        const float s = Uniform(0.0f, 1.0f);
        p = Float3{e.centre.x + Uniform(-s, s), e.centre.y + Uniform(-s, s), e.centre.z + Uniform(-s, s)};
      } else if (kind == 3) {
        p = e.centre;
      } else if (kind == 4 || kind == 5) {
        // A cull-box face: c +- h on one axis, the others inside.
        const float m = std::max(std::max(std::fabs(e.scale.x), std::fabs(e.scale.y)), std::fabs(e.scale.z));
        float reach = std::fabs(e.radius);
        if (e.shape != ElementShape::Sphere && e.shape != ElementShape::Cube) {
          reach = std::max(reach, 0.5f * std::fabs(e.height));
        }
        const float h = 2.0f * m * reach;
        p = Float3{e.centre.x + Uniform(-h, h), e.centre.y + Uniform(-h, h), e.centre.z + Uniform(-h, h)};
        float* axis[3] = {&p.x, &p.y, &p.z};
        const float c[3] = {e.centre.x, e.centre.y, e.centre.z};
        const int a = Pick(3);
        *axis[a] = Step(Chance(0.5) ? c[a] - h : c[a] + h, Pick(3) - 1);
      } else if (kind == 6 || kind == 7) {
        // The edge of the support along one axis: |l_a| = sqrt(0.5) or 0.5^(1/4).
        p = e.centre;
        float* axis[3] = {&p.x, &p.y, &p.z};
        const float c[3] = {e.centre.x, e.centre.y, e.centre.z};
        const float f[3] = {e.axisFactor.x, e.axisFactor.y, e.axisFactor.z};
        const int a = Pick(3);
        const float support = Chance(0.5) ? 0.70710678f : 0.84089642f;
        const float offset = support / std::fabs(f[a]);
        *axis[a] = Step(Chance(0.5) ? c[a] - offset : c[a] + offset, Pick(5) - 2);
      } else if (kind == 8 && Chance(0.1)) {
        float* axis[3] = {&p.x, &p.y, &p.z};
        *axis[Pick(3)] = Degenerate();
      }
      points.push_back(p);
    }
    return points;
  }

 private:
  std::mt19937 random_;
};

float Iso(int model, SceneMaker& maker) {
  return model == 0 ? maker.Uniform(0.5f, 4.0f) : (model == 1 ? maker.Uniform(0.2f, 3.0f) : maker.Uniform(0.1f, 0.9f));
}

// Records are the elements with shape 0, 1 or 2, in array order.
std::vector<int32_t> RecordIndices(const std::vector<MetaElement>& elements) {
  std::vector<int32_t> recordOf(elements.size(), -1);
  int32_t next = 0;
  for (size_t k = 0; k < elements.size(); ++k) {
    const auto shape = static_cast<int32_t>(elements[k].shape);
    if (shape >= 0 && shape <= 2) recordOf[k] = next++;
  }
  return recordOf;
}

}  // namespace

TEST(FieldDifferential, EvaluateMatchesTheDefinitionBitForBit) {
  const int scenes = SceneCount(2000);
  int gridScenes = 0;
  for (int scene = 0; scene < scenes; ++scene) {
    SceneMaker maker(static_cast<uint32_t>(scene) * 7919u + 17u);
    const int model = scene % 3;
    const std::vector<MetaElement> elements = maker.Scene(model);
    const float iso = Iso(model, maker);
    const std::unique_ptr<FieldFunction> field = FastField(model, elements, iso);
    const std::vector<Float3> points = maker.Queries(elements, model == 1 ? 120 : 40);
    if (model == 1 && ElementTable(elements.data(), static_cast<int32_t>(elements.size()), true).HasGrid()) {
      ++gridScenes;
    }
    for (const Float3& p : points) {
      const float expected =
          oracle::Evaluate(model, elements.data(), static_cast<int32_t>(elements.size()), iso, p.x, p.y, p.z);
      const float actual = field->Evaluate(p.x, p.y, p.z);
      if (Bits(expected) != Bits(actual)) {
        ADD_FAILURE() << "scene " << scene << " model " << model << " at (" << p.x << ", " << p.y << ", " << p.z
                      << "): expected " << expected << ", got " << actual;
        return;
      }
    }
  }
  // Most polynomial scenes must have gone through the grid.
  EXPECT_GT(gridScenes, scenes / 3 / 2);
}

TEST(FieldDifferential, EveryContributingElementIsACandidateInArrayOrder) {
  const int scenes = SceneCount(2000) / 4;
  for (int scene = 0; scene < scenes; ++scene) {
    SceneMaker maker(static_cast<uint32_t>(scene) * 104729u + 3u);
    const std::vector<MetaElement> elements = maker.Scene(1);
    const ElementTable table(elements.data(), static_cast<int32_t>(elements.size()), true);
    if (!table.HasGrid()) continue;
    const std::vector<int32_t> recordOf = RecordIndices(elements);
    for (const Float3& p : maker.Queries(elements, 60)) {
      const uint32_t* begin;
      const uint32_t* end;
      table.Candidates(p.x, p.y, p.z, begin, end);
      ASSERT_TRUE(std::is_sorted(begin, end)) << "scene " << scene;
      ASSERT_EQ(std::adjacent_find(begin, end), end) << "scene " << scene;
      for (size_t k = 0; k < elements.size(); ++k) {
        float value;
        if (!oracle::Contribution(1, elements[k], p.x, p.y, p.z, value)) continue;
        ASSERT_TRUE(std::binary_search(begin, end, static_cast<uint32_t>(recordOf[k])))
            << "scene " << scene << " element " << k << " at (" << p.x << ", " << p.y << ", " << p.z << ")";
      }
    }
  }
}

TEST(FieldDifferential, WithoutMemoryForTheTableTheSameValues) {
  for (int scene = 0; scene < 60; ++scene) {
    SceneMaker maker(static_cast<uint32_t>(scene) + 900000u);
    const int model = scene % 3;
    const std::vector<MetaElement> elements = maker.Scene(model);
    const float iso = Iso(model, maker);
    allocation_faults::FailAfter(0);
    const std::unique_ptr<FieldFunction> field = FastField(model, elements, iso);
    allocation_faults::Clear();
    for (const Float3& p : maker.Queries(elements, 40)) {
      const float expected =
          oracle::Evaluate(model, elements.data(), static_cast<int32_t>(elements.size()), iso, p.x, p.y, p.z);
      ASSERT_EQ(Bits(field->Evaluate(p.x, p.y, p.z)), Bits(expected)) << "scene " << scene << " model " << model;
    }
  }
}

TEST(FieldDifferential, OneHundredThousandElementsGetABoundedGrid) {
  SceneMaker maker(77u);
  std::vector<MetaElement> elements;
  const Float3 origin{0.0f, 0.0f, 0.0f};
  for (int n = 0; n < 100000; ++n) elements.push_back(maker.Element(1, origin, 3.0f, false));
  // One element covering everything and one far away do not spoil the grid.
  elements[500].radius = 1e30f;
  elements[600].centre = Float3{1e30f, -1e30f, 1e30f};
  const auto count = static_cast<int32_t>(elements.size());
  const ElementTable table(elements.data(), count, true);
  ASSERT_TRUE(table.HasGrid());
  EXPECT_LE(table.EntryCount(), 64u * 100000u + 65536u);
  EXPECT_GT(table.CellCount(0) * table.CellCount(1) * table.CellCount(2), 1000);
  const PolynomialField field(elements.data(), 1.0f, count);
  for (const Float3& p : maker.Queries(elements, 20)) {
    ASSERT_EQ(Bits(field.Evaluate(p.x, p.y, p.z)), Bits(oracle::Evaluate(1, elements.data(), count, 1.0f, p.x, p.y, p.z)));
  }
}

TEST(FieldDifferential, ScenesWithoutAFiniteReachHaveNoGridAndStillMatch) {
  struct Case {
    const char* name;
    float radius;
    Float3 centre;
  };
  const Case cases[] = {
      {"infinite radius", kInf, {0, 0, 0}},
      {"NaN radius", kNaN, {0, 0, 0}},
      {"NaN centre", 0.5f, {kNaN, 0, 0}},
      {"zero radius", 0.0f, {0.25f, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SceneMaker maker(5u);
    std::vector<MetaElement> elements(3, maker.Element(1, Float3{0, 0, 0}, 0.0f, false));
    for (MetaElement& e : elements) {
      e.shape = ElementShape::Sphere;
      e.inverseAngles = Float3{0, 0, 0};
      e.radius = c.radius;
      e.centre = c.centre;
      e.axisFactor = Float3{1, 1, 1};
    }
    const PolynomialField field(elements.data(), 0.5f, 3);
    for (const Float3& p : maker.Queries(elements, 30)) {
      ASSERT_EQ(Bits(field.Evaluate(p.x, p.y, p.z)), Bits(oracle::Evaluate(1, elements.data(), 3, 0.5f, p.x, p.y, p.z)));
    }
  }
}

namespace {

struct Mesh : MeshArrays {
  PolygonizeResult result = PolygonizeResult::Complete;
};

Mesh Track(OperatorInstance& in, const FieldFunction& field, const std::vector<MetaElement>& elements) {
  Mesh mesh;
  mesh.result = Polygonize(in.settings, in.cubeTable, field, elements.data(), static_cast<int32_t>(elements.size()),
                           mesh, 4000);
  return mesh;
}

// Byte for byte, NaNs as a class (see Bits).
bool SameBytes(const XSI::MATH::CVector3Array& a, const XSI::MATH::CVector3Array& b) {
  if (a.GetCount() != b.GetCount()) return false;
  for (XSI::LONG n = 0; n < a.GetCount(); ++n) {
    if (Bits(a[n].GetX()) != Bits(b[n].GetX()) || Bits(a[n].GetY()) != Bits(b[n].GetY()) ||
        Bits(a[n].GetZ()) != Bits(b[n].GetZ())) {
      return false;
    }
  }
  return true;
}

bool SameBytes(const XSI::CDoubleArray& a, const XSI::CDoubleArray& b) {
  if (a.GetCount() != b.GetCount()) return false;
  for (XSI::LONG n = 0; n < a.GetCount(); ++n) {
    if (Bits(a[n]) != Bits(b[n])) return false;
  }
  return true;
}

bool SameBytes(const XSI::CLongArray& a, const XSI::CLongArray& b) {
  if (a.GetCount() != b.GetCount()) return false;
  for (XSI::LONG n = 0; n < a.GetCount(); ++n) {
    if (a[n] != b[n]) return false;
  }
  return true;
}

}  // namespace

TEST(FieldDifferential, PolygonizeGivesTheSameBytes) {
  const int scenes = std::max(SceneCount(2000) / 20, 30);
  int64_t vertices = 0;
  for (int scene = 0; scene < scenes; ++scene) {
    SceneMaker maker(static_cast<uint32_t>(scene) * 31337u + 11u);
    const int model = scene % 3;
    std::vector<MetaElement> elements = maker.Scene(model);
    elements.resize(std::min<size_t>(elements.size(), 1 + maker.Pick(6)));
    const float iso = Iso(model, maker);
    OperatorInstance in;
    const float cell = maker.Uniform(0.08f, 0.2f);
    in.settings.cellSize = Float3{cell, cell, cell};
    in.settings.inverseCellSize = Float3{1.0f / cell, 1.0f / cell, 1.0f / cell};
    in.settings.bisectionHalvings = 2 + maker.Pick(5);
    in.settings.jbSimple = maker.Chance(0.3);
    in.settings.polygonization = maker.Chance(0.7) ? 0 : 1;
    in.settings.isovalue = iso;
    in.settings.inverseIsovalue = 1.0f / iso;
    in.settings.userNormals = maker.Chance(0.7);
    in.settings.uvSpace = maker.Chance(0.3);
    in.settings.normalsOrUv = in.settings.userNormals || in.settings.uvSpace;
    const oracle::Field reference(model, elements.data(), iso, static_cast<int32_t>(elements.size()));
    const std::unique_ptr<FieldFunction> fast = FastField(model, elements, iso);
    const Mesh expected = Track(in, reference, elements);
    const Mesh actual = Track(in, *fast, elements);
    SCOPED_TRACE(testing::Message() << "scene " << scene << " model " << model);
    ASSERT_EQ(actual.result, expected.result);
    ASSERT_TRUE(SameBytes(actual.vertices, expected.vertices));
    ASSERT_TRUE(SameBytes(actual.polygons, expected.polygons));
    ASSERT_TRUE(SameBytes(actual.nodeValues, expected.nodeValues));
    vertices += expected.vertices.GetCount();
  }
  // The scenes must have made real surfaces, not empty ones.
  EXPECT_GT(vertices, static_cast<int64_t>(scenes) * 100);
}
