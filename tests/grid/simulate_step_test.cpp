#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "grid_fixture.h"

using grid_test::SetBox;
using grid_test::SetNormals;
using grid_test::Sphere;

namespace {

// A 2-unit box with 8 cells per axis: cell size 0.25, lattice index 4 at the
// origin.
class SimulateStep : public ::testing::Test {
 protected:
  SimulateStep() { SetBox(in, Int3{8, 8, 8}, Float3{2.0f, 2.0f, 2.0f}); }

  void Step(const std::vector<MetaElement>& elements) {
    const int32_t count = static_cast<int32_t>(elements.size());
    in.gridPolygonizer.SimulateStep(in.settings, elements.data(), count);
  }
  float A(int i, int j, int k) const { return in.gridPolygonizer.accumulatedField.Get(i, j, k); }
  float B(int i, int j, int k) const { return in.gridPolygonizer.sampledField.Get(i, j, k); }

  OperatorInstance in;
};

TEST_F(SimulateStep, PolynomialSphereAtALatticePoint) {
  // Radius 0.25: the local offset is twice the world offset, so a face
  // neighbour (0.25 away) has d = 0.25 and gets 16 (0.0625 + 0) = 1; an edge
  // neighbour has d = 0.5 and a point two cells away d = 1: both get 0.
  for (float weight : {1.0f, -1.0f}) {
    SCOPED_TRACE(weight);
    Step({Sphere(Float3{0, 0, 0}, 0.25f, 1, weight)});
    EXPECT_EQ(A(4, 4, 4), 4.0f * weight);
    EXPECT_EQ(A(5, 4, 4), 1.0f * weight);
    EXPECT_EQ(A(4, 3, 4), 1.0f * weight);
    EXPECT_EQ(A(4, 4, 5), 1.0f * weight);
    EXPECT_EQ(A(5, 5, 4), 0.0f);
    EXPECT_EQ(A(6, 4, 4), 0.0f);
    EXPECT_EQ(A(0, 0, 0), 0.0f);
  }
}

TEST_F(SimulateStep, ViscosityLagsBehindAStaticElement) {
  // Relax rate 1 / 1.396: the remaining gap shrinks by 0.396 / 1.396 per step.
  in.settings.viscosity = 1.0f;
  in.settings.viscosityFactor = 0.396f * 1.0f + 1.0f;
  in.settings.evalFrame = in.settings.startFrame;
  const std::vector<MetaElement> element = {Sphere(Float3{0, 0, 0}, 0.25f)};
  for (int n = 1; n <= 6; ++n) {
    SCOPED_TRACE(n);
    Step(element);
    in.settings.evalFrame = in.settings.startFrame + n;
    const double expected = 4.0 * (1.0 - std::pow(0.396 / 1.396, n));
    EXPECT_NEAR(A(4, 4, 4), expected, 1e-5);
    EXPECT_NEAR(A(5, 4, 4), expected / 4.0, 1e-5);
    EXPECT_EQ(B(4, 4, 4), 4.0f);
  }
}

TEST_F(SimulateStep, InverseSquareCentreGuardDiffersForCubes) {
  // d = 0 is replaced by radius for a sphere (kernel r^2 / r = r) and by
  // radius^2 for a cube (kernel r^4 / r^2 = r^2).
  in.settings.blendingModel = 0;
  MetaElement cube = Sphere(Float3{0, 0, 0}, 0.5f, 0);
  cube.shape = ElementShape::Cube;
  Step({cube});
  EXPECT_EQ(A(4, 4, 4), 0.25f);
  Step({Sphere(Float3{0, 0, 0}, 0.5f, 0)});
  EXPECT_EQ(A(4, 4, 4), 0.5f);
  // One cell away: r^2 / 0.0625 = 4.
  EXPECT_EQ(A(5, 4, 4), 4.0f);
}

TEST_F(SimulateStep, UnboundedModelsReachTheWholeBox) {
  for (int model : {0, 2}) {
    SCOPED_TRACE(model);
    in.settings.blendingModel = model;
    Step({Sphere(Float3{3.0f, 0, 0}, 0.5f, model)});  // 2 units beyond the +x face
    for (int i = 0; i <= 8; ++i) {
      for (int j = 0; j <= 8; ++j) {
        for (int k = 0; k <= 8; ++k) ASSERT_GT(A(i, j, k), 0.0f) << i << " " << j << " " << k;
      }
    }
  }
}

TEST_F(SimulateStep, ExponentialGivesNothingAtTheCentre) {
  in.settings.blendingModel = 2;
  Step({Sphere(Float3{0, 0, 0}, 0.25f, 2)});
  EXPECT_EQ(A(4, 4, 4), 0.0f);
  EXPECT_EQ(A(5, 4, 4), std::exp(-0.25f));
}

TEST_F(SimulateStep, BoundedElementOutsideTheBoxSplatsTheClampedFaceLayer) {
  // Centre 7 cells beyond the +x face, box half extent 1.5 x 0.5 / 0.25 = 3
  // cells: i collapses onto 8, j and k run over 1..7.
  in.settings.blendingModel = 0;
  in.settings.volumeHyperbolic = true;
  Step({Sphere(Float3{2.75f, 0, 0}, 0.5f, 0)});
  for (int i = 0; i <= 8; ++i) {
    for (int j = 0; j <= 8; ++j) {
      for (int k = 0; k <= 8; ++k) {
        const bool inLayer = i == 8 && j >= 1 && j <= 7 && k >= 1 && k <= 7;
        ASSERT_EQ(A(i, j, k) > 0.0f, inLayer) << i << " " << j << " " << k;
      }
    }
  }
}

TEST_F(SimulateStep, GridSpaceOneLeavesTrailsThatANegativeElementClears) {
  in.settings.gridSpace = 1;
  SetNormals(in, true, false);
  Step({Sphere(Float3{-0.5f, 0, 0}, 0.25f)});   // at lattice point (2, 4, 4)
  Step({Sphere(Float3{0.5f, 0, 0}, 0.25f)});    // moves to (6, 4, 4)
  EXPECT_EQ(A(2, 4, 4), 4.0f);                  // the trail stays
  EXPECT_EQ(A(6, 4, 4), 4.0f);
  const Float3 before = in.gridPolygonizer.accumulatedNormals.Get(3, 4, 4);
  EXPECT_GT(before.x, 0.0f);  // away from the old centre, which lies on its -x side
  // A negative element over the trail: -4 < -iso clears the centre; its face
  // neighbours sample -1, not below -1, and keep their value.
  Step({Sphere(Float3{-0.5f, 0, 0}, 0.25f, 1, -1.0f)});
  EXPECT_EQ(A(2, 4, 4), 0.0f);
  const Float3 cleared = in.gridPolygonizer.accumulatedNormals.Get(2, 4, 4);
  EXPECT_EQ(cleared.x, 0.0f);
  EXPECT_EQ(cleared.y, 0.0f);
  EXPECT_EQ(cleared.z, 0.0f);
  EXPECT_EQ(A(3, 4, 4), 1.0f);
  EXPECT_EQ(A(6, 4, 4), 4.0f);
}

TEST_F(SimulateStep, OtherGridSpaceKeepsTheResetFieldSoNothingIsExtracted) {
  in.settings.gridSpace = 2;
  in.settings.evalFrame = in.settings.startFrame;
  Step({Sphere(Float3{0, 0, 0}, 0.5f)});
  EXPECT_EQ(B(4, 4, 4), 4.0f);
  EXPECT_EQ(A(4, 4, 4), 0.0f);
  in.gridPolygonizer.ExtractAndCache(in.settings, in.cubeTable, in.mesh, in.writeCache);
  EXPECT_EQ(in.mesh.vertices.GetCount(), 0);
  EXPECT_EQ(in.mesh.polygons.GetCount(), 0);
}

TEST_F(SimulateStep, NormalsPointAwayFromAPositiveElement) {
  SetNormals(in, true, false);
  Step({Sphere(Float3{0, 0, 0}, 0.5f)});
  const Float3 px = in.gridPolygonizer.accumulatedNormals.Get(5, 4, 4);
  const Float3 my = in.gridPolygonizer.accumulatedNormals.Get(4, 3, 4);
  EXPECT_GT(px.x, 0.0f);
  EXPECT_EQ(px.y, 0.0f);
  EXPECT_EQ(px.z, 0.0f);
  EXPECT_LT(my.y, 0.0f);
  EXPECT_EQ(my.x, 0.0f);
}

TEST_F(SimulateStep, RotationTurnsTheElementsAxes) {
  // Euler angles (0, 0, pi/2) turn local x into world y: an element with
  // local axis factors (2, 4, 2) samples like an unrotated one with (4, 2, 2),
  // and its gradient, rotated back, matches too.
  SetNormals(in, true, false);
  MetaElement rotated = Sphere(Float3{0.1f, -0.05f, 0}, 0.25f);
  rotated.axisFactor = Float3{2.0f, 4.0f, 2.0f};
  rotated.inverseAngles = Float3{0.0f, 0.0f, static_cast<float>(M_PI / 2)};
  MetaElement turned = rotated;
  turned.axisFactor = Float3{4.0f, 2.0f, 2.0f};
  turned.inverseAngles = Float3{0, 0, 0};

  Step({turned});
  const std::vector<float> field(in.gridPolygonizer.accumulatedField.Data(),
                                 in.gridPolygonizer.accumulatedField.Data() + 729);
  const std::vector<float> normals(in.gridPolygonizer.accumulatedNormals.Data(),
                                   in.gridPolygonizer.accumulatedNormals.Data() + 729 * 3);
  Step({rotated});
  for (size_t p = 0; p < 729; ++p) {
    ASSERT_NEAR(in.gridPolygonizer.accumulatedField.Data()[p], field[p], 2e-5) << p;
    for (int c = 0; c < 3; ++c) ASSERT_NEAR(in.gridPolygonizer.accumulatedNormals.Data()[3 * p + c], normals[3 * p + c], 1e-4);
  }
}

TEST_F(SimulateStep, WorstElementDataNeitherCrashesNorLeavesTheLattice) {
  SetNormals(in, true, true);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<MetaElement> elements;
  for (float v : {nan, inf, -inf, 1e30f, -1e30f, 3e38f}) {
    MetaElement e = Sphere(Float3{v, 0, 0}, 0.25f);
    elements.push_back(e);
    e = Sphere(Float3{0, 0, 0}, v);
    elements.push_back(e);
    e = Sphere(Float3{0, 0, 0}, 0.25f);
    e.scale = Float3{v, 1, 1};
    elements.push_back(e);
    e.inverseAngles = Float3{v, 0, 0};
    elements.push_back(e);
  }
  for (int model = 0; model <= 2; ++model) {
    SCOPED_TRACE(model);
    in.settings.blendingModel = model;
    in.settings.volumeHyperbolic = true;
    in.settings.volumeExponential = true;
    Step(elements);
  }
  in.settings.blendingModel = 1;
  // A valid element afterwards still lands where it should (the accumulated
  // field may hold NaN from the elements above; the sampled one is rebuilt).
  Step({Sphere(Float3{0, 0, 0}, 0.25f)});
  EXPECT_EQ(B(4, 4, 4), 4.0f);
  EXPECT_EQ(B(0, 0, 0), 0.0f);
}

// The field and gradient of one step, written as plainly as possible: every
// element visits its index box (or the whole lattice) and every point of it.
struct PlainSplat {
  std::vector<float> field;
  std::vector<float> normals;
};

PlainSplat SplatPlainly(const OperatorInstance& in, const std::vector<MetaElement>& elements) {
  const int nx = in.settings.resolution.x + 1, ny = in.settings.resolution.y + 1, nz = in.settings.resolution.z + 1;
  PlainSplat out{std::vector<float>(static_cast<size_t>(nx) * ny * nz, 0.0f),
                 std::vector<float>(static_cast<size_t>(nx) * ny * nz * 3, 0.0f)};
  const bool bounded = in.settings.blendingModel == 1 || (in.settings.blendingModel == 0 && in.settings.volumeHyperbolic) ||
                       (in.settings.blendingModel == 2 && in.settings.volumeExponential);
  for (const MetaElement& e : elements) {
    // Rotation by the angles applied Z, Y, X; the gradient turns back by the
    // negated angles applied X, Y, Z.
    const bool rotated = !(NearlyEqual(e.inverseAngles.x, 0.0f) && NearlyEqual(e.inverseAngles.y, 0.0f) &&
                           NearlyEqual(e.inverseAngles.z, 0.0f));
    XSI::MATH::CTransformation rotation, inverse;
    rotation.PutRotationOrder(XSI::siZYX);
    rotation.SetRotationFromXYZAngles(XSI::MATH::CVector3(e.inverseAngles.x, e.inverseAngles.y, e.inverseAngles.z));
    inverse.PutRotationOrder(XSI::siXYZ);
    inverse.SetRotationFromXYZAngles(XSI::MATH::CVector3(-e.inverseAngles.x, -e.inverseAngles.y, -e.inverseAngles.z));
    const float rx = in.settings.halfSize.x + e.centre.x, ry = in.settings.halfSize.y + e.centre.y, rz = in.settings.halfSize.z + e.centre.z;
    int lo[3] = {0, 0, 0}, hi[3] = {in.settings.resolution.x, in.settings.resolution.y, in.settings.resolution.z};
    if (bounded) {
      const float m = 1.5f * std::max(std::max(std::fabs(e.scale.x), std::fabs(e.scale.y)), std::fabs(e.scale.z));
      const float ext = e.shape == ElementShape::Cylinder ? m * std::max(std::fabs(e.radius), 0.5f * std::fabs(e.height))
                                                          : m * std::fabs(e.radius);
      const float c[3] = {rx * in.settings.inverseCellSize.x, ry * in.settings.inverseCellSize.y, rz * in.settings.inverseCellSize.z};
      const float inv[3] = {in.settings.inverseCellSize.x, in.settings.inverseCellSize.y, in.settings.inverseCellSize.z};
      for (int a = 0; a < 3; ++a) {
        float ex = ext * inv[a];
        if (in.settings.blendingModel != 1) ex *= in.settings.volumeScale;
        if (in.settings.isovalue < 1.0f) ex *= in.settings.inverseIsovalue;
        lo[a] = std::clamp(RoundToInt(c[a] - ex), 0, hi[a]);
        hi[a] = std::clamp(RoundToInt(c[a] + ex), 0, hi[a]);
      }
    }
    for (int i = lo[0]; i <= hi[0]; ++i) {
      for (int j = lo[1]; j <= hi[1]; ++j) {
        for (int k = lo[2]; k <= hi[2]; ++k) {
          float px = static_cast<float>(i) * in.settings.cellSize.x - rx;
          float py = static_cast<float>(j) * in.settings.cellSize.y - ry;
          float pz = static_cast<float>(k) * in.settings.cellSize.z - rz;
          if (rotated) {
            XSI::MATH::CVector3 v(px, py, pz);
            v.MulByTransformationInPlace(rotation);
            px = static_cast<float>(v.GetX());
            py = static_cast<float>(v.GetY());
            pz = static_cast<float>(v.GetZ());
          }
          px = px * e.axisFactor.x;
          py = py * e.axisFactor.y;
          pz = pz * e.axisFactor.z;
          float d = 0.0f;
          if (e.shape == ElementShape::Sphere) d = px * px + py * py + pz * pz;
          if (e.shape == ElementShape::Cube) d = px * px * px * px + py * py * py * py + pz * pz * pz * pz;
          if (e.shape == ElementShape::Cylinder) d = px * px + py * py * py * py + pz * pz;
          float kernel = 0.0f, factor = 0.0f;
          if (in.settings.blendingModel == 0) {
            if (d < 0.00001f) d = e.shape == ElementShape::Cube ? e.radius * e.radius : e.radius;
            kernel = e.shape == ElementShape::Cube ? (e.radius * e.radius) * (e.radius * e.radius) / d
                                                   : e.radius * e.radius / d;
            const float d2 = d < 0.00001f ? e.radius : d;
            factor = e.radius / (d2 * d2);
          } else if (in.settings.blendingModel == 1) {
            kernel = d < 0.5f ? (d * d + (0.25f - d)) * 16.0f : 0.0f;
            const float s = d * std::sqrt(d);
            factor = s < 0.5f ? (s * s + (0.25f - s)) * 16.0f : 0.0f;
          } else if (d > 0.0f) {
            const float t = std::exp(-d);
            kernel = t < 1.0f ? t : 0.0f;
            factor = t > 0.0f && t < 1.0f ? t : 0.0f;
          }
          const size_t p = (static_cast<size_t>(i) * ny + j) * nz + k;
          out.field[p] += kernel * e.weight;
          const float g = e.weight * 2.0f * factor;
          float q[3] = {px * g * e.axisFactor.x, py * g * e.axisFactor.y, pz * g * e.axisFactor.z};
          if (rotated) {
            XSI::MATH::CVector3 v(q[0], q[1], q[2]);
            v.MulByTransformationInPlace(inverse);
            q[0] = static_cast<float>(v.GetX());
            q[1] = static_cast<float>(v.GetY());
            q[2] = static_cast<float>(v.GetZ());
          }
          out.normals[3 * p] += q[0];
          out.normals[3 * p + 1] += q[1];
          out.normals[3 * p + 2] += q[2];
        }
      }
    }
  }
  return out;
}

TEST(SimulateStepExact, SampledLatticesMatchAPlainSplatBitForBit) {
  // Each step's sampled lattices hold exactly that step's elements (whatever
  // earlier steps touched), and the relaxation applies A += (B - A) * rate at
  // every point, for both update rules.
  OperatorInstance in;
  SetBox(in, Int3{12, 9, 70}, Float3{2.0f, 1.5f, 6.0f});
  SetNormals(in, true, false);
  in.settings.viscosityFactor = 0.396f * 2.0f + 1.0f;
  in.settings.isovalue = 0.5f;
  in.settings.inverseIsovalue = 2.0f;
  in.settings.volumeScale = 0.8f;
  const ElementShape shapes[3] = {ElementShape::Sphere, ElementShape::Cube, ElementShape::Cylinder};
  int step = 0;
  for (int gridSpace = 0; gridSpace <= 1; ++gridSpace) {
    for (int model = 0; model <= 2; ++model) {
      for (int frame = 0; frame < 3; ++frame, ++step) {
        SCOPED_TRACE(testing::Message() << "grid space " << gridSpace << " model " << model << " frame " << frame);
        in.settings.gridSpace = gridSpace;
        in.settings.blendingModel = model;
        in.settings.volumeHyperbolic = frame != 1;  // frame 1 splats models 0 and 2 over the whole lattice
        in.settings.volumeExponential = frame != 1;
        std::vector<MetaElement> elements;
        for (int n = 0; n < 4; ++n) {
          const float shift = 0.37f * static_cast<float>(step + n);
          MetaElement e = Sphere(Float3{std::fmod(shift, 1.8f) - 0.9f, 0.3f - 0.2f * n, std::fmod(3.1f * shift, 5.0f) - 2.5f},
                                 0.2f + 0.05f * n, model, n == 3 ? -1.0f : 1.0f);
          e.shape = shapes[(step + n) % 3];
          e.axisFactor.y *= 1.5f;
          e.height = 0.9f;
          elements.push_back(e);
        }
        const size_t points = in.gridPolygonizer.accumulatedField.PointCount();
        std::vector<float> before(points), beforeNormals(points * 3);
        if (points != 0) {
          std::memcpy(before.data(), in.gridPolygonizer.accumulatedField.Data(), points * 4);
          std::memcpy(beforeNormals.data(), in.gridPolygonizer.accumulatedNormals.Data(), points * 12);
        }
        const int32_t count = static_cast<int32_t>(elements.size());
        in.gridPolygonizer.SimulateStep(in.settings, elements.data(), count);
        const PlainSplat expected = SplatPlainly(in, elements);
        ASSERT_EQ(std::memcmp(in.gridPolygonizer.sampledField.Data(), expected.field.data(), expected.field.size() * 4), 0);
        ASSERT_EQ(std::memcmp(in.gridPolygonizer.sampledNormals.Data(), expected.normals.data(),
                              expected.normals.size() * 4), 0);
        if (points == 0) continue;  // the first step allocated and reset
        const float rate = 1.0f / in.settings.viscosityFactor;
        for (size_t p = 0; p < points; ++p) {
          float a = before[p];
          float n[3] = {beforeNormals[3 * p], beforeNormals[3 * p + 1], beforeNormals[3 * p + 2]};
          const float b = expected.field[p];
          if (gridSpace == 0 || b > a) {
            a += (b - a) * rate;
            for (int c = 0; c < 3; ++c) n[c] += (expected.normals[3 * p + c] - n[c]) * rate;
          } else if (b < -in.settings.isovalue) {
            a = 0.0f;
            n[0] = n[1] = n[2] = 0.0f;
          }
          ASSERT_EQ(std::memcmp(&a, &in.gridPolygonizer.accumulatedField.Data()[p], 4), 0) << p;
          ASSERT_EQ(std::memcmp(n, &in.gridPolygonizer.accumulatedNormals.Data()[3 * p], 12), 0) << p;
        }
      }
    }
  }
}

}  // namespace

TEST(SimulateStepExact, ManyElementsOverALongLatticeMatchAPlainSplat) {
  // 300 elements (more than one batch of boxes), a third of them rotated, on
  // a lattice long enough in k to be worked through in several tiles of rows.
  OperatorInstance in;
  SetBox(in, Int3{6, 9, 2048}, Float3{1.2f, 1.8f, 40.0f});
  SetNormals(in, true, false);
  in.settings.viscosityFactor = 0.396f * 1.0f + 1.0f;
  std::mt19937 random(7);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<MetaElement> elements;
  for (int n = 0; n < 300; ++n) {
    MetaElement e = Sphere(Float3{1.4f * unit(random) - 0.7f, 2.0f * unit(random) - 1.0f, 42.0f * unit(random) - 21.0f},
                           0.15f + 0.2f * unit(random), 1, n % 5 == 4 ? -1.0f : 1.0f);
    if (n % 3 == 0) e.inverseAngles = Float3{unit(random) - 0.5f, 2.0f * unit(random), -unit(random)};
    e.shape = n % 7 == 0 ? ElementShape::Cylinder : ElementShape::Sphere;
    elements.push_back(e);
  }
  for (int frame = 0; frame < 2; ++frame) {
    SCOPED_TRACE(frame);
    if (frame == 1) std::reverse(elements.begin(), elements.end());
    const int32_t count = static_cast<int32_t>(elements.size());
    in.gridPolygonizer.SimulateStep(in.settings, elements.data(), count);
    const PlainSplat expected = SplatPlainly(in, elements);
    ASSERT_EQ(std::memcmp(in.gridPolygonizer.sampledField.Data(), expected.field.data(), expected.field.size() * 4), 0);
    ASSERT_EQ(std::memcmp(in.gridPolygonizer.sampledNormals.Data(), expected.normals.data(), expected.normals.size() * 4),
              0);
    // Relaxed once, after every element is in: from the reset field,
    // 0 + (B - 0) * rate.
    if (frame == 0) {
      const float rate = 1.0f / in.settings.viscosityFactor;
      for (size_t p = 0; p < expected.field.size(); ++p) {
        float a = 0.0f;
        a += (expected.field[p] - a) * rate;
        ASSERT_EQ(std::memcmp(&a, &in.gridPolygonizer.accumulatedField.Data()[p], 4), 0) << p;
      }
    }
  }
}
