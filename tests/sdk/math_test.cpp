#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "xsi_math.h"

using XSI::MATH::CRotation;
using XSI::MATH::CTransformation;
using XSI::MATH::CVector3;

namespace {

constexpr double kPi = 3.14159265358979323846;

CTransformation Pose(CVector3 scaling, CVector3 degrees, CVector3 translation) {
  CTransformation t;
  t.SetScaling(scaling);
  t.SetRotationFromXYZAnglesValues(degrees.GetX() * kPi / 180, degrees.GetY() * kPi / 180, degrees.GetZ() * kPi / 180);
  t.SetTranslation(translation);
  return t;
}

void ExpectNear(const CVector3& a, const CVector3& b, double tolerance) {
  EXPECT_NEAR(a.GetX(), b.GetX(), tolerance);
  EXPECT_NEAR(a.GetY(), b.GetY(), tolerance);
  EXPECT_NEAR(a.GetZ(), b.GetZ(), tolerance);
}

CVector3 Apply(const CTransformation& t, CVector3 v) { return v.MulByTransformationInPlace(t); }

}  // namespace

TEST(Rotation, QuarterTurnsAreCounterClockwiseAboutEachAxis) {
  CTransformation t;
  t.SetRotationFromXYZAnglesValues(0, 0, kPi / 2);
  ExpectNear(Apply(t, CVector3(1, 0, 0)), CVector3(0, 1, 0), 1e-15);
  t.SetRotationFromXYZAnglesValues(kPi / 2, 0, 0);
  ExpectNear(Apply(t, CVector3(0, 1, 0)), CVector3(0, 0, 1), 1e-15);
  t.SetRotationFromXYZAnglesValues(0, kPi / 2, 0);
  ExpectNear(Apply(t, CVector3(0, 0, 1)), CVector3(1, 0, 0), 1e-15);
}

TEST(Rotation, OrderXYZRotatesAboutXFirst) {
  // X then Z: (0, 1, 0) -> (0, 0, 1) -> stays; Z then X would give (-1, 0, 0) -> (-1, 0, 0).
  CTransformation xyz;
  xyz.PutRotationOrder(XSI::siXYZ);
  xyz.SetRotationFromXYZAnglesValues(kPi / 2, 0, kPi / 2);
  ExpectNear(Apply(xyz, CVector3(0, 1, 0)), CVector3(0, 0, 1), 1e-15);
  CTransformation zyx;
  zyx.PutRotationOrder(XSI::siZYX);
  zyx.SetRotationFromXYZAnglesValues(kPi / 2, 0, kPi / 2);
  ExpectNear(Apply(zyx, CVector3(0, 1, 0)), CVector3(-1, 0, 0), 1e-15);
}

TEST(Rotation, OrderFiveWithNegatedAnglesInvertsOrderZero) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> angle(-kPi, kPi), coordinate(-5, 5);
  for (int n = 0; n < 200; ++n) {
    const double a = angle(rng), b = angle(rng), c = angle(rng);
    CTransformation forward, inverse;
    forward.PutRotationOrder(0L);
    forward.SetRotationFromXYZAnglesValues(a, b, c);
    inverse.PutRotationOrder(5L);
    inverse.SetRotationFromXYZAnglesValues(-a, -b, -c);
    const CVector3 v(coordinate(rng), coordinate(rng), coordinate(rng));
    ExpectNear(Apply(inverse, Apply(forward, v)), v, 1e-12);
    ExpectNear(Apply(forward, Apply(inverse, v)), v, 1e-12);
  }
}

TEST(Rotation, XYZAnglesRoundTrip) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> angle(-3.0, 3.0), pitch(-1.5, 1.5);
  for (int n = 0; n < 200; ++n) {
    const CVector3 angles(angle(rng), pitch(rng), angle(rng));
    CRotation r;
    r.SetFromXYZAngles(angles);
    ExpectNear(r.GetXYZAngles(), angles, 1e-12);
  }
}

TEST(Pose, RelativePoseComposesBackToTheWorldPose) {
  // Uniform object scale: the relative pose is exact up to rounding.
  const CTransformation object = Pose(CVector3(2, 2, 2), CVector3(10, 20, 30), CVector3(1, -2, 3));
  const CTransformation world = Pose(CVector3(0.5, 3, 1.5), CVector3(-40, 5, 60), CVector3(-4, 0.25, 7));
  const CTransformation relative = XSI::MATH::MapWorldPoseToObjectSpace(object, world);
  for (const CVector3& p : {CVector3(0, 0, 0), CVector3(1, 0, 0), CVector3(0.3, -2, 5)}) {
    const CVector3 direct = XSI::MATH::MapObjectPositionToWorldSpace(world, p);
    const CVector3 viaObject =
        XSI::MATH::MapObjectPositionToWorldSpace(object, XSI::MATH::MapObjectPositionToWorldSpace(relative, p));
    ExpectNear(viaObject, direct, 1e-12);
  }
  ExpectNear(relative.GetScaling(), CVector3(0.25, 1.5, 0.75), 1e-12);
}

TEST(Pose, IdentityObjectKeepsTheWorldPoseExactly) {
  const CTransformation world = Pose(CVector3(-1, 2, 1), CVector3(0, 30, 0), CVector3(1, 2, 3));
  const CTransformation relative = XSI::MATH::MapWorldPoseToObjectSpace(CTransformation(), world);
  EXPECT_EQ(relative.GetScaling(), world.GetScaling());
  EXPECT_EQ(relative.GetTranslation(), world.GetTranslation());
  EXPECT_EQ(relative.GetRotationXYZAngles(), world.GetRotationXYZAngles());
}

TEST(Pose, NonUniformObjectScaleDividesTheScaleAndKeepsItsSigns) {
  const CTransformation object = Pose(CVector3(2, 4, 1), CVector3(0, 0, 0), CVector3(1, 1, 1));
  const CTransformation world = Pose(CVector3(-1, 2, 3), CVector3(0, 0, 0), CVector3(3, 5, 1));
  const CTransformation relative = XSI::MATH::MapWorldPoseToObjectSpace(object, world);
  ExpectNear(relative.GetScaling(), CVector3(-0.5, 0.5, 3), 1e-15);
  ExpectNear(relative.GetTranslation(), CVector3(1, 1, 0), 1e-15);
  ExpectNear(relative.GetRotationXYZAngles(), CVector3(0, 0, 0), 1e-15);
}

TEST(Pose, RotatedSourceUnderNonUniformObjectStaysAProperRotation) {
  // The exact relative transform is sheared; the result is the nearest
  // scaling and rotation, with a rotation matrix that is orthonormal.
  const CTransformation object = Pose(CVector3(1, 3, 1), CVector3(0, 0, 0), CVector3(0, 0, 0));
  const CTransformation world = Pose(CVector3(1, 1, 1), CVector3(0, 0, 45), CVector3(0, 0, 0));
  const CRotation r = XSI::MATH::MapWorldPoseToObjectSpace(object, world).GetRotation();
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      const double dot = r.Get(i, 0) * r.Get(j, 0) + r.Get(i, 1) * r.Get(j, 1) + r.Get(i, 2) * r.Get(j, 2);
      EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-12);
    }
  }
}

TEST(Pose, WorldPositionRoundTrip) {
  const CTransformation pose = Pose(CVector3(2, 0.5, -3), CVector3(15, -70, 100), CVector3(9, 8, 7));
  const CVector3 p(0.1, 0.2, 0.3);
  ExpectNear(XSI::MATH::MapWorldPositionToObjectSpace(pose, XSI::MATH::MapObjectPositionToWorldSpace(pose, p)), p,
             1e-12);
}
