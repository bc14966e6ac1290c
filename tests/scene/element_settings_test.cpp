#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <string>

#include "front/operator_instance.h"
#include "glomora_rig.h"
#include "host/host_scene.h"
#include "scene/element_settings.h"

using XSI::Host::AnimatedValue;
using XSI::Host::Key;
using XSI::Host::Scene;

class ElementSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    Scene::Get().Reset();
    rig = std::make_unique<GlomoraRig>();
    instance = std::make_unique<OperatorInstance>();
  }
  void Read(bool atCurrentTime) { ReadElementSettings(instance->settings, XSI::Operator(rig->op), atCurrentTime); }

  std::unique_ptr<GlomoraRig> rig;
  std::unique_ptr<OperatorInstance> instance;
};

TEST_F(ElementSettings, ViscosityFactorRisesByPoint396PerUnit) {
  struct Case {
    double viscosity;
    float factor;
  };
  // 0.396 as a float is 0.39599999785; the factor is formed in float.
  const Case cases[] = {{0.0, 1.0f}, {1.0, 1.396f}, {-1.0, 0.604f}, {2.5, 1.99f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.viscosity);
    rig->SetParameter(L"Viscosity", c.viscosity);
    Read(true);
    EXPECT_EQ(instance->settings.viscosity, static_cast<float>(c.viscosity));
    EXPECT_FLOAT_EQ(instance->settings.viscosityFactor, c.factor);
  }
}

TEST_F(ElementSettings, EachSettingLandsInItsField) {
  rig->SetParameter(L"Isovalue", 0.25);
  rig->SetParameter(L"Particle_size", 0.3);
  rig->SetParameter(L"Point_size", -0.4);
  rig->SetParameter(L"Component_X", 2.0);
  rig->SetParameter(L"Component_Y", -3.0);
  rig->SetParameter(L"Component_Z", 0.5);
  Read(true);
  EXPECT_EQ(instance->settings.isovalue, 0.25f);
  EXPECT_EQ(instance->settings.inverseIsovalue, 4.0f);
  EXPECT_EQ(instance->settings.particleSize, 0.3f);
  EXPECT_EQ(instance->settings.pointSize, -0.4f);
  EXPECT_EQ(instance->settings.component.x, 2.0f);
  EXPECT_EQ(instance->settings.component.y, -3.0f);
  EXPECT_EQ(instance->settings.component.z, 0.5f);
}

TEST_F(ElementSettings, ZeroIsovalueGivesAnInfiniteInverse) {
  rig->SetParameter(L"Isovalue", 0.0);
  Read(true);
  EXPECT_TRUE(std::isinf(instance->settings.inverseIsovalue));
  EXPECT_GT(instance->settings.inverseIsovalue, 0.0f);
}

TEST_F(ElementSettings, RecomputeReadsEverySettingAtTheEvaluatedFrame) {
  // Each setting ramps linearly from frame 0 to frame 10: value = base + frame * slope.
  const struct {
    const wchar_t* name;
    double base;
    double slope;
  } ramps[] = {{L"Viscosity", 0.0, 0.1},        {L"Isovalue", 1.0, 0.1},    {L"Particle_size", 0.2, 0.01},
               {L"Point_size", 0.1, 0.02},      {L"Component_X", 1.0, 0.5}, {L"Component_Y", 2.0, -0.5},
               {L"Component_Z", -1.0, 0.25}};
  for (const auto& r : ramps) {
    rig->SetParameter(r.name, AnimatedValue::Keys({Key{0.0, r.base}, Key{10.0, r.base + 10.0 * r.slope}}));
  }
  std::map<std::wstring, double> readFrames;
  Scene::Get().SetParameterReadObserver(
      [&](const std::wstring& fullName, double frame) { readFrames[fullName] = frame; });
  Scene::Get().SetCurrentFrame(10.0);
  instance->settings.evalFrame = 4;

  Read(false);
  auto at = [](double base, double slope, double frame) { return static_cast<float>(base + frame * slope); };
  EXPECT_FLOAT_EQ(instance->settings.viscosity, at(0.0, 0.1, 4));
  EXPECT_FLOAT_EQ(instance->settings.viscosityFactor, 0.396f * at(0.0, 0.1, 4) + 1.0f);
  EXPECT_FLOAT_EQ(instance->settings.isovalue, at(1.0, 0.1, 4));
  EXPECT_FLOAT_EQ(instance->settings.inverseIsovalue, 1.0f / at(1.0, 0.1, 4));
  EXPECT_FLOAT_EQ(instance->settings.particleSize, at(0.2, 0.01, 4));
  EXPECT_FLOAT_EQ(instance->settings.pointSize, at(0.1, 0.02, 4));
  EXPECT_FLOAT_EQ(instance->settings.component.x, at(1.0, 0.5, 4));
  EXPECT_FLOAT_EQ(instance->settings.component.y, at(2.0, -0.5, 4));
  EXPECT_FLOAT_EQ(instance->settings.component.z, at(-1.0, 0.25, 4));
  const std::wstring opName = XSI::CRef(rig->op).GetAsText().Native();
  for (const auto& r : ramps) {
    SCOPED_TRACE(testing::Message() << r.base);
    EXPECT_EQ(readFrames[opName + L"." + r.name], 4.0);
  }

  // At the current time the same parameters give their frame-10 values.
  Read(true);
  EXPECT_FLOAT_EQ(instance->settings.pointSize, at(0.1, 0.02, 10));
  EXPECT_FLOAT_EQ(instance->settings.component.y, at(2.0, -0.5, 10));
  EXPECT_EQ(readFrames[opName + L".Point_size"], 10.0);
}
