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

}  // namespace
