#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "field/field_function.h"
#include "base/allocation.h"
#include "front/operator_instance.h"
#include "glomora_rig.h"
#include "host/host_scene.h"
#include "scene/element_settings.h"
#include "scene/gather_elements.h"

using XSI::CRef;
using XSI::CString;
using XSI::LONG;
using XSI::Host::AnimatedPose;
using XSI::Host::AnimatedValue;
using XSI::Host::AnimatedVector;
using XSI::Host::Key;
using XSI::Host::PortSpec;
using XSI::Host::Scene;
using XSI::MATH::CTransformation;
using XSI::MATH::CVector3;
using XSI::MATH::CVector3Array;

namespace {

constexpr double kDegrees = 3.14159265358979323846 / 180.0;

CVector3Array Points(std::initializer_list<CVector3> points) {
  CVector3Array array;
  for (const CVector3& p : points) array.Add(p);
  return array;
}

AnimatedPose Pose(double tx, double ty, double tz, double rx = 0, double ry = 0, double rz = 0, double sx = 1,
                  double sy = 1, double sz = 1) {
  AnimatedPose pose;
  pose.translation = AnimatedVector(tx, ty, tz);
  pose.rotationDegrees = AnimatedVector(rx, ry, rz);
  pose.scaling = AnimatedVector(sx, sy, sz);
  return pose;
}

void SetPose(const CRef& primitive, const AnimatedPose& pose) {
  Scene::Get().SetPose(Scene::Get().GetKinematics(primitive), pose);
}

// Within a few float roundings of the hand-derived value.
void ExpectClose(float actual, float expected) {
  EXPECT_NEAR(actual, expected, 1e-6f * std::fabs(expected) + 1e-7f);
}

void ExpectFloat3(const Float3& actual, float x, float y, float z) {
  ExpectClose(actual.x, x);
  ExpectClose(actual.y, y);
  ExpectClose(actual.z, z);
}

// All eighteen fields.
void ExpectElement(const MetaElement& a, const MetaElement& e) {
  ExpectFloat3(a.centre, e.centre.x, e.centre.y, e.centre.z);
  ExpectFloat3(a.inverseAngles, e.inverseAngles.x, e.inverseAngles.y, e.inverseAngles.z);
  ExpectFloat3(a.scale, e.scale.x, e.scale.y, e.scale.z);
  ExpectFloat3(a.axisFactor, e.axisFactor.x, e.axisFactor.y, e.axisFactor.z);
  ExpectClose(a.radius, e.radius);
  ExpectClose(a.height, e.height);
  ExpectClose(a.radialFactor, e.radialFactor);
  ExpectClose(a.axialFactor, e.axialFactor);
  EXPECT_EQ(a.weight, e.weight);
  EXPECT_EQ(a.shape, e.shape);
}

MetaElement Expected(Float3 centre, Float3 scale, Float3 axisFactor, float radius, float height, float radialFactor,
                     float axialFactor, float weight, ElementShape shape) {
  MetaElement e{};
  e.centre = centre;
  e.inverseAngles = Float3{0, 0, 0};
  e.scale = scale;
  e.axisFactor = axisFactor;
  e.radius = radius;
  e.height = height;
  e.radialFactor = radialFactor;
  e.axialFactor = axialFactor;
  e.weight = weight;
  e.shape = shape;
  return e;
}

MetaElement InertRecord() {
  MetaElement e;
  std::memset(&e, 0, sizeof e);
  e.shape = ElementShape::Inert;
  return e;
}

}  // namespace

class Gather : public ::testing::Test {
 protected:
  void SetUp() override {
    Scene::Get().Reset();
    allocation_faults::Clear();
    rig = std::make_unique<GlomoraRig>();
    instance = std::make_unique<OperatorInstance>();
    instance->settings.fullName = XSI::Operator(rig->op).GetFullName();
    instance->settings.blendingModel = 1;
  }
  void TearDown() override { allocation_faults::Clear(); }

  // Element settings, then gathering, as the driver does for one frame.
  std::vector<MetaElement> Run(bool atCurrentTime = true) { return RunOn(rig->op, atCurrentTime); }

  std::vector<MetaElement> RunOn(const CRef& opRef, bool atCurrentTime) {
    const XSI::Operator op(opRef);
    ReadElementSettings(instance->settings, op, atCurrentTime);
    int32_t count = -1;
    MetaElement* block = GatherElements(count, instance->settings, op, atCurrentTime);
    EXPECT_NE(block, nullptr);
    EXPECT_GE(count, 0);
    std::vector<MetaElement> elements;
    if (block != nullptr) {
      elements.assign(block, block + count);
      std::free(block);
    }
    return elements;
  }

  std::unique_ptr<GlomoraRig> rig;
  std::unique_ptr<OperatorInstance> instance;
};

TEST_F(Gather, NoSourcesGiveAValidEmptyBlock) {
  int32_t count = -1;
  MetaElement* block = GatherElements(count, instance->settings, XSI::Operator(rig->op), true);
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(count, 0);
  std::free(block);
}

TEST_F(Gather, MeshPointsComeBeforeALaterSphereInWalkOrder) {
  const CRef mesh = rig->AddSource(L"mesh", L"polymsh");
  Scene::Get().SetPoints(mesh, Points({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.5, -1, 0.25}}));
  SetPose(mesh, Pose(1, 2, 3));
  SetPose(rig->AddSource(L"ball", L"sphere"), Pose(-1, 0, 0.5));

  const std::vector<MetaElement> elements = Run();
  ASSERT_EQ(elements.size(), 6u);
  const Float3 expected[] = {{1, 2, 3}, {2, 2, 3}, {1, 3, 3}, {1, 2, 4}, {1.5f, 1, 3.25f}, {-1, 0, 0.5f}};
  for (size_t k = 0; k < 6; ++k) {
    SCOPED_TRACE(k);
    ExpectFloat3(elements[k].centre, expected[k].x, expected[k].y, expected[k].z);
  }
  for (size_t k = 0; k < 5; ++k) EXPECT_EQ(elements[k].radius, 0.1f);  // Point_size
  EXPECT_EQ(elements[5].radius, 1.0f);                                  // the sphere's "radius"
}

TEST_F(Gather, CloudWithoutParticlesKeepsLaterSourcesPairedWithTheirTransforms) {
  const CRef cloud = rig->AddSource(L"spray", L"cloud");
  Scene::Get().SetPointsAtFrame(cloud, 1.0, CVector3Array());
  Scene::Get().SetPointsAtFrame(cloud, 5.0, Points({{0, 0, 0}, {1, 0, 0}}));
  SetPose(cloud, Pose(-7, 0, 0));
  SetPose(rig->AddSource(L"ball", L"sphere"), Pose(5, 0, 0));
  SetPose(rig->AddSource(L"box", L"cube"), Pose(0, 3, 0));

  Scene::Get().SetCurrentFrame(1.0);
  std::vector<MetaElement> elements = Run();
  ASSERT_EQ(elements.size(), 2u);
  ExpectFloat3(elements[0].centre, 5, 0, 0);
  EXPECT_EQ(elements[0].shape, ElementShape::Sphere);
  ExpectFloat3(elements[1].centre, 0, 3, 0);
  EXPECT_EQ(elements[1].shape, ElementShape::Cube);

  Scene::Get().SetCurrentFrame(5.0);
  elements = Run();
  ASSERT_EQ(elements.size(), 4u);
  ExpectFloat3(elements[0].centre, -7, 0, 0);
  ExpectFloat3(elements[1].centre, -6, 0, 0);
  ExpectFloat3(elements[2].centre, 5, 0, 0);
  ExpectFloat3(elements[3].centre, 0, 3, 0);
}

TEST_F(Gather, ElementsLiveInTheSpaceOfTheInTransformObject) {
  Scene::Get().SetPose(rig->space, Pose(10, 0, 0, 0, 0, 0, 2, 2, 2));
  // The sphere sits 2 units along world x from that object, whose scale is 2.
  SetPose(rig->AddSource(L"ball", L"sphere"), Pose(12, 0, 0));
  // A mesh with the very pose of the InTransform object: points stay at their
  // object-space positions.
  const CRef mesh = rig->AddSource(L"mesh", L"polymsh");
  SetPose(mesh, Pose(10, 0, 0, 0, 0, 0, 2, 2, 2));
  Scene::Get().SetPoints(mesh, Points({{0.25, -0.5, 3}, {-1, 2, 0}}));

  const std::vector<MetaElement> elements = Run();
  ASSERT_EQ(elements.size(), 3u);
  ExpectFloat3(elements[0].centre, 1, 0, 0);
  ExpectFloat3(elements[0].scale, 0.5f, 0.5f, 0.5f);
  ExpectFloat3(elements[0].axisFactor, 1, 1, 1);  // (1 / 0.5) * 1 / (2 * 1)
  ExpectFloat3(elements[1].centre, 0.25f, -0.5f, 3);
  ExpectFloat3(elements[2].centre, -1, 2, 0);
}

TEST_F(Gather, PrimitiveRotatedAboutYIsReadBackInItsOwnAxes) {
  const CRef cube = rig->AddSource(L"box", L"cube");  // length 2: radius 1
  const AnimatedPose pose = Pose(1, 2, 3, 0, 30, 0);
  SetPose(cube, pose);

  const std::vector<MetaElement> elements = Run();
  ASSERT_EQ(elements.size(), 1u);
  ExpectFloat3(elements[0].inverseAngles, 0, static_cast<float>(-30 * kDegrees), 0);

  // Model 1 normalises the cube's offsets by radius * sqrt 2, so a point one
  // unit along a local axis has d = 1^4 / 4 = 0.25 and contribution
  // 4 (1 - 0.5)^2 = 1, whatever the rotation.
  const PolynomialField field(elements.data(), 0.0f, 1);
  const CTransformation world = pose.At(1.0);
  const CVector3 alongLocalX = XSI::MATH::MapObjectPositionToWorldSpace(world, CVector3(1, 0, 0));
  const CVector3 alongLocalZ = XSI::MATH::MapObjectPositionToWorldSpace(world, CVector3(0, 0, -1));
  const auto at = [&](const CVector3& p) {
    const float x = static_cast<float>(p.GetX()), y = static_cast<float>(p.GetY()), z = static_cast<float>(p.GetZ());
    return field.Evaluate(x, y, z);
  };
  EXPECT_NEAR(at(alongLocalX), 1.0f, 1e-5f);
  EXPECT_NEAR(at(alongLocalZ), 1.0f, 1e-5f);
  // One unit along world x is (cos 30, 0, sin 30) in the cube's axes:
  // d = (cos^4 + sin^4) / 4 = 0.15625, contribution 4 (1 - 0.3125)^2 = 1.890625.
  EXPECT_NEAR(at(CVector3(2, 2, 3)), 1.890625f, 1e-5f);
}

TEST_F(Gather, FieldRotatesOffsetsBackForAnyRotation) {
  // A cube under a general rotation, its InTransform object rotated too; each
  // model must see a point given in the cube's local axes at that local offset.
  Scene::Get().SetPose(rig->space, Pose(0.5, -1, 2, 10, -15, 25));
  const CRef cube = rig->AddSource(L"box", L"cube");
  const AnimatedPose pose = Pose(1, 2, 3, 20, 35, -50);
  SetPose(cube, pose);
  const CTransformation world = pose.At(1.0);
  const CTransformation space = Pose(0.5, -1, 2, 10, -15, 25).At(1.0);
  const CVector3 local[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, -1}, {0.6, 0.8, 0}, {0.3, -0.4, 0.5}};

  for (int model = 0; model < 3; ++model) {
    SCOPED_TRACE(model);
    instance->settings.blendingModel = model;
    const std::vector<MetaElement> elements = Run();
    ASSERT_EQ(elements.size(), 1u);
    const std::unique_ptr<FieldFunction> field = MakeFieldFunction(model, elements.data(), 0.0f, 1);
    for (const CVector3& l : local) {
      SCOPED_TRACE(testing::Message() << l.GetX() << "," << l.GetY() << "," << l.GetZ());
      // Query in the InTransform object's space.
      const CVector3 q = XSI::MATH::MapWorldPositionToObjectSpace(
          space, XSI::MATH::MapObjectPositionToWorldSpace(world, l));
      const float value = field->Evaluate(static_cast<float>(q.GetX()), static_cast<float>(q.GetY()),
                                          static_cast<float>(q.GetZ()));
      const double quartic = std::pow(l.GetX(), 4) + std::pow(l.GetY(), 4) + std::pow(l.GetZ(), 4);
      double expected;
      if (model == 0) {
        expected = 1.0 / quartic;  // radius^4 / d with radius 1, axisFactor 1
      } else {
        const double d = quartic / 4.0;  // offsets divided by sqrt 2
        expected = model == 1 ? 4.0 * (1.0 - 2.0 * d) * (1.0 - 2.0 * d) : std::exp(-d);
      }
      EXPECT_NEAR(value, expected, 1e-5 * expected + 1e-6);
    }
  }
}

TEST_F(Gather, FactorsOfEachElementKind) {
  rig->SetParameter(L"Point_size", 0.2);
  rig->SetParameter(L"Particle_size", 0.2);
  rig->SetParameter(L"Component_X", 1.0);
  rig->SetParameter(L"Component_Y", 2.0);
  rig->SetParameter(L"Component_Z", 0.5);
  const CRef mesh = rig->AddSource(L"mesh", L"polymsh");
  Scene::Get().SetPoints(mesh, Points({{1, 2, 3}}));
  const CRef cloud = rig->AddSource(L"spray", L"cloud");
  Scene::Get().SetPoints(cloud, Points({{-1, 0, 0}}));
  const CRef sphere = rig->AddSource(L"ball", L"sphere");
  Scene::Get().SetParameter(sphere, L"radius", 1.5);
  SetPose(sphere, Pose(0, 0, 0, 0, 0, 0, 2, 1, 0.5));
  rig->AddSource(L"box", L"cube");  // length 2
  const CRef tube = rig->AddSource(L"tube", L"cylinder");
  Scene::Get().SetParameter(tube, L"radius", 0.5);
  Scene::Get().SetParameter(tube, L"height", 4.0);
  const CRef disc = rig->AddSource(L"disc", L"cylinder");  // radius 1
  Scene::Get().SetParameter(disc, L"height", 0.0);

  // By hand: mesh point radius = Point_size, radialFactor 1 / 0.4; particle
  // radius = Particle_size / 2, radialFactor 1 / 0.2; cube of length 2:
  // radius 1, radialFactor 1 / sqrt 2; cylinder axialFactor 1 / (sqrt 2 *
  // height / 4): 1 / sqrt 2 for height 4, 2828.427 for the clamped 0.001;
  // its Y scale is height / 2.
  const float invSqrt2 = 0.70710678f;
  const float discAxial = 2828.4271f;
  const Float3 points{1, 2, 0.5f};
  for (int model = 0; model < 2; ++model) {
    SCOPED_TRACE(model);
    instance->settings.blendingModel = model;
    const std::vector<MetaElement> elements = Run();
    ASSERT_EQ(elements.size(), 6u);
    // axisFactor = 1 / scale, and for model 1 also times radialFactor
    // (axialFactor on a cylinder's Y).
    const auto f = [&](float inverseScale, float factor) { return model == 0 ? inverseScale : inverseScale * factor; };
    const MetaElement expected[] = {
        Expected({1, 2, 3}, points, {f(1, 2.5f), f(0.5f, 2.5f), f(2, 2.5f)}, 0.2f, 1, 2.5f, 0, 1, ElementShape::Sphere),
        Expected({-1, 0, 0}, points, {f(1, 5), f(0.5f, 5), f(2, 5)}, 0.1f, 1, 5, 0, 1, ElementShape::Sphere),
        Expected({0, 0, 0}, {2, 1, 0.5f}, {f(0.5f, 1 / 3.0f), f(1, 1 / 3.0f), f(2, 1 / 3.0f)}, 1.5f, 1, 1 / 3.0f, 0, 1,
                 ElementShape::Sphere),
        Expected({0, 0, 0}, {1, 1, 1}, {f(1, invSqrt2), f(1, invSqrt2), f(1, invSqrt2)}, 1, 1, invSqrt2, 0, 1,
                 ElementShape::Cube),
        Expected({0, 0, 0}, {1, 2, 1}, {f(1, 1), f(0.5f, invSqrt2), f(1, 1)}, 0.5f, 4, 1, invSqrt2, 1,
                 ElementShape::Cylinder),
        Expected({0, 0, 0}, {1, 0.0005f, 1}, {f(1, 0.5f), f(2000, discAxial), f(1, 0.5f)}, 1, 0.001f, 0.5f, discAxial,
                 1, ElementShape::Cylinder),
    };
    for (size_t k = 0; k < 6; ++k) {
      SCOPED_TRACE(k);
      ExpectElement(elements[k], expected[k]);
    }
  }
}

TEST_F(Gather, CylinderHeightBelowTheThresholdIsBuiltAsOneThousandth) {
  struct Case {
    double height;
    float built;
  };
  const Case cases[] = {{0.0, 0.001f}, {0.000009, 0.001f}, {-3.0, 0.001f}, {0.00001, 0.00001f}, {0.5, 0.5f}};
  const CRef tube = rig->AddSource(L"tube", L"cylinder");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.height);
    Scene::Get().SetParameter(tube, L"height", c.height);
    const std::vector<MetaElement> elements = Run();
    ASSERT_EQ(elements.size(), 1u);
    EXPECT_EQ(elements[0].height, c.built);
    ExpectClose(elements[0].scale.y, c.built * 0.5f);
    ExpectClose(elements[0].axialFactor, 1.0f / (1.41421356f * c.built * 0.25f));
  }
}

TEST_F(Gather, NegativeSettingsAndScalesMakeElementsSubtractive) {
  const CRef mesh = rig->AddSource(L"mesh", L"polymsh");
  Scene::Get().SetPoints(mesh, Points({{0, 0, 0}}));
  const CRef cloud = rig->AddSource(L"spray", L"cloud");
  Scene::Get().SetPoints(cloud, Points({{0, 0, 0}}));
  const CRef ball = rig->AddSource(L"ball", L"sphere");
  const CRef tube = rig->AddSource(L"tube", L"cylinder");
  instance->settings.blendingModel = 0;

  struct Case {
    const char* what;
    double pointSize, particleSize, componentY;
    double ballScaleX, tubeScaleY;
    float mesh, cloud, ball, tube;  // expected weights
  };
  const Case cases[] = {
      {"all positive", 0.1, 0.2, 1, 1, 1, 1, 1, 1, 1},
      {"negative Component_Y", 0.1, 0.2, -1, 1, 1, -1, -1, 1, 1},
      {"negative Point_size", -0.1, 0.2, 1, 1, 1, -1, -1, 1, 1},
      {"negative Particle_size", 0.1, -0.2, 1, 1, 1, 1, -1, 1, 1},
      {"mirrored primitives", 0.1, 0.2, 1, -1, -2, 1, 1, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    rig->SetParameter(L"Point_size", c.pointSize);
    rig->SetParameter(L"Particle_size", c.particleSize);
    rig->SetParameter(L"Component_Y", c.componentY);
    SetPose(ball, Pose(0, 0, 0, 0, 0, 0, c.ballScaleX, 1, 1));
    SetPose(tube, Pose(0, 0, 0, 0, 0, 0, 1, c.tubeScaleY, 1));
    const std::vector<MetaElement> elements = Run();
    ASSERT_EQ(elements.size(), 4u);
    EXPECT_EQ(elements[0].weight, c.mesh);
    EXPECT_EQ(elements[1].weight, c.cloud);
    EXPECT_EQ(elements[2].weight, c.ball);
    EXPECT_EQ(elements[3].weight, c.tube);
    // The Y factor of point elements follows the sign of Component_Y.
    EXPECT_EQ(elements[0].axisFactor.y < 0.0f, c.componentY < 0.0);
    EXPECT_EQ(elements[1].axisFactor.y < 0.0f, c.componentY < 0.0);
  }
}

TEST_F(Gather, UnrecognisedSourceIsOneInertElement) {
  SetPose(rig->AddSource(L"first", L"sphere"), Pose(1, 0, 0));
  SetPose(rig->AddSource(L"patch", L"nurbs"), Pose(99, 99, 99));
  SetPose(rig->AddSource(L"second", L"sphere"), Pose(0, 2, 0));
  // An instance whose ports are not connected at all is of no known type either.
  const LONG group = XSI::PortGroup(XSI::Operator(rig->op).GetPortGroups().GetItem(L"GroupMetaballsGeometry")).GetIndex();
  Scene::Get().AddGroupInstance(rig->op, group, {CRef(), CRef()});

  const std::vector<MetaElement> elements = Run();
  ASSERT_EQ(elements.size(), 4u);
  ExpectFloat3(elements[0].centre, 1, 0, 0);
  const MetaElement inert = InertRecord();
  EXPECT_EQ(std::memcmp(&elements[1], &inert, sizeof inert), 0);
  ExpectFloat3(elements[2].centre, 0, 2, 0);  // still paired with its own transform
  EXPECT_EQ(std::memcmp(&elements[3], &inert, sizeof inert), 0);

  const std::vector<MetaElement> inertOnly = {elements[1], elements[3]};
  const float iso = 0.4f;
  EXPECT_EQ(InverseSquareField(inertOnly.data(), iso, 2).Evaluate(0, 0, 0), -iso);
  EXPECT_EQ(PolynomialField(inertOnly.data(), iso, 2).Evaluate(0, 0, 0), -iso);
  EXPECT_EQ(ExponentialField(inertOnly.data(), iso, 2).Evaluate(0.5f, 0, 0), -iso);
}

TEST_F(Gather, RecomputeGathersMovingSourcesAndAnimatedParametersAtTheEvaluatedFrame) {
  // Everything moves linearly between frames 1 and 11.
  AnimatedPose spacePose;
  spacePose.translation.y = AnimatedValue::Keys({Key{1, 0}, Key{11, -10}});
  Scene::Get().SetPose(rig->space, spacePose);
  const CRef ball = rig->AddSource(L"ball", L"sphere");
  AnimatedPose ballPose;
  ballPose.translation.x = AnimatedValue::Keys({Key{1, 0}, Key{11, 10}});
  SetPose(ball, ballPose);
  Scene::Get().SetParameter(ball, L"radius", AnimatedValue::Keys({Key{1, 1}, Key{11, 2}}));
  const CRef mesh = rig->AddSource(L"mesh", L"polymsh");
  Scene::Get().SetPointsAtFrame(mesh, 1, Points({{0, 0, 0}}));
  Scene::Get().SetPointsAtFrame(mesh, 6, Points({{1, 0, 0}, {0, 0, 1}}));
  const CRef cloud = rig->AddSource(L"spray", L"cloud");  // particles only from frame 8 on
  Scene::Get().SetPointsAtFrame(cloud, 1, CVector3Array());
  Scene::Get().SetPointsAtFrame(cloud, 8, Points({{0, 0, -3}}));
  rig->SetParameter(L"Point_size", AnimatedValue::Keys({Key{1, 0.1}, Key{11, 0.6}}));

  Scene::Get().SetCurrentFrame(11.0);
  instance->settings.evalFrame = 6;
  std::vector<MetaElement> elements = Run(false);
  ASSERT_EQ(elements.size(), 3u);
  ExpectFloat3(elements[0].centre, 5, 5, 0);  // the sphere at x = 5, the space at y = -5
  EXPECT_FLOAT_EQ(elements[0].radius, 1.5f);
  ExpectFloat3(elements[1].centre, 1, 5, 0);
  ExpectFloat3(elements[2].centre, 0, 5, 1);
  EXPECT_FLOAT_EQ(elements[1].radius, 0.35f);  // Point_size at frame 6

  elements = Run(true);
  ASSERT_EQ(elements.size(), 4u);
  ExpectFloat3(elements[0].centre, 10, 10, 0);
  EXPECT_FLOAT_EQ(elements[0].radius, 2.0f);
  ExpectFloat3(elements[1].centre, 1, 10, 0);
  EXPECT_FLOAT_EQ(elements[1].radius, 0.6f);
  ExpectFloat3(elements[3].centre, 0, 10, -3);
}

TEST_F(Gather, AllocationFailureIsLoggedAndKeepsTheCount) {
  const CRef mesh = rig->AddSource(L"mesh", L"polymsh");
  Scene::Get().SetPoints(mesh, Points({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}));
  rig->AddSource(L"ball", L"sphere");
  const XSI::Operator op(rig->op);
  ReadElementSettings(instance->settings, op, true);
  Scene::Get().ClearLog();

  allocation_faults::FailAfter(0);
  int32_t count = -1;
  EXPECT_EQ(GatherElements(count, instance->settings, op, true), nullptr);
  EXPECT_EQ(count, 4);
  const auto& log = Scene::Get().GetLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].text, L"blob.polymsh.GlomoraGeometry.Glomora (graph) -> not enough memory.");
  EXPECT_EQ(log[0].severity, XSI::siInfoMsg);
}

TEST(ElementBlockBytes, RefusesCountsWhoseSizeDoesNotFitIn32Bits) {
  // 72-byte records: 4294967295 / 72 = 59652323.5.
  struct Case {
    int64_t count;
    bool fits;
    uint32_t bytes;
  };
  const Case cases[] = {
      {0, true, 0},
      {1, true, 72},
      {59652323, true, 4294967256u},
      {59652324, false, 0},
      {INT32_MAX, false, 0},
      {int64_t{1} << 40, false, 0},
      {-1, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    uint32_t bytes = 12345;
    EXPECT_EQ(ElementBlockBytes(c.count, bytes), c.fits);
    EXPECT_EQ(bytes, c.bytes);
  }
}

TEST(GatherWithoutMetaballGroup, GivesNoElementsAndAValidBlock) {
  Scene& scene = Scene::Get();
  scene.Reset();
  const CRef op = scene.AddOperator(L"lone.Glomora", L"Glomora");
  const CRef space = scene.AddNull(L"lone_space");
  const LONG transform = scene.AddPortGroup(op, L"GroupTransform", {PortSpec{L"InTransform", XSI::siPortInput}});
  scene.AddGroupInstance(op, transform, {space});
  // Metaball ports under another group name are not sources.
  const CRef ball = scene.AddPrimitive(L"ball", L"sphere");
  const LONG other = scene.AddPortGroup(
      op, L"GroupOther", {PortSpec{L"InMetaballGeometry", XSI::siPortInput}, PortSpec{L"InMetaballTransform", XSI::siPortInput}});
  scene.AddGroupInstance(op, other, {ball, scene.GetKinematics(ball)});

  OperatorInstance instance;
  int32_t count = -1;
  MetaElement* block = GatherElements(count, instance.settings, XSI::Operator(op), true);
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(count, 0);
  std::free(block);
}

TEST_F(Gather, SourceWithoutTransformPortSitsAtTheOrigin) {
  // A group whose instances have no transform port: the pose is the identity.
  Scene& scene = Scene::Get();
  const CRef op = scene.AddOperator(L"bare.Glomora", L"Glomora");
  const LONG group = scene.AddPortGroup(op, L"GroupMetaballsGeometry", {PortSpec{L"InMetaballGeometry", XSI::siPortInput}});
  const CRef ball = scene.AddPrimitive(L"ball", L"sphere");
  scene.SetParameter(ball, L"radius", 1.0);
  SetPose(ball, Pose(5, 0, 0));
  scene.AddGroupInstance(op, group, {ball});
  const CRef box = scene.AddPrimitive(L"box", L"cube");
  scene.SetParameter(box, L"length", 2.0);
  scene.AddGroupInstance(op, group, {box});

  const XSI::Operator bare(op);
  int32_t count = -1;
  MetaElement* block = GatherElements(count, instance->settings, bare, true);
  ASSERT_NE(block, nullptr);
  ASSERT_EQ(count, 2);
  ExpectFloat3(block[0].centre, 0, 0, 0);
  EXPECT_EQ(block[0].shape, ElementShape::Sphere);
  EXPECT_EQ(block[1].shape, ElementShape::Cube);
  std::free(block);
}

TEST_F(Gather, PointCountChangingBetweenPassesNeverOverrunsTheBlock) {
  // A cloud whose host answers 3 particles when counted and 1 when built, or
  // the other way round: the block keeps the counted size, surplus particles
  // are dropped and records left over are inert.
  const CRef cloud = rig->AddSource(L"spray", L"cloud");
  rig->AddSource(L"ball", L"sphere");
  struct Case {
    int firstCount, secondCount;
    size_t elements;
    int inertTail;
  };
  const Case cases[] = {{3, 1, 4, 2}, {1, 3, 2, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.firstCount);
    int calls = 0;
    Scene::Get().SetPointsProvider(cloud, [&](double, CVector3Array& points) {
      const int n = calls++ == 0 ? c.firstCount : c.secondCount;
      for (int i = 0; i < n; ++i) points.Add(CVector3(i, 0, 0));
      return true;
    });
    const std::vector<MetaElement> elements = Run();
    ASSERT_EQ(elements.size(), c.elements);
    const MetaElement inert = InertRecord();
    for (int k = 0; k < c.inertTail; ++k) {
      EXPECT_EQ(std::memcmp(&elements[elements.size() - 1 - k], &inert, sizeof inert), 0);
    }
    for (size_t k = 0; k + c.inertTail < elements.size(); ++k) EXPECT_EQ(elements[k].weight, 1.0f);
  }
}
