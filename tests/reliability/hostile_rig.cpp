#include "hostile_rig.h"

#include <cmath>
#include <limits>
#include <memory>
#include <sstream>

#include "front/glomora_api.h"
#include "support/mesh_checks.h"

using XSI::CValue;
using XSI::LONG;
using XSI::Host::Scene;
using XSI::MATH::CVector3;
using XSI::MATH::CVector3Array;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string Narrow(const std::wstring& text) { return XSI::CString(text).GetAsciiString(); }

CVector3Array Points(std::initializer_list<CVector3> points) {
  CVector3Array out;
  for (const CVector3& p : points) out.Add(p);
  return out;
}

void AddCloud(GlomoraRig& rig, const std::wstring& name, const CVector3Array& points) {
  Scene& scene = Scene::Get();
  const XSI::CRef cloud = rig.AddSource(name.c_str(), L"cloud");
  scene.SetPoints(cloud, points);
}

void AddSource(GlomoraRig& rig, SourceKind kind, int index) {
  Scene& scene = Scene::Get();
  const std::wstring name = L"source" + std::to_wstring(index);
  switch (kind) {
    case SourceKind::None: return;
    case SourceKind::Sphere: rig.AddSource(name.c_str(), L"sphere"); return;
    case SourceKind::Cube: {
      const XSI::CRef cube = rig.AddSource(name.c_str(), L"cube");
      XSI::Host::AnimatedPose pose;
      pose.rotationDegrees = XSI::Host::AnimatedVector(30.0, 45.0, 10.0);
      pose.translation = XSI::Host::AnimatedVector(0.3, 0.0, -0.2);
      scene.SetPose(scene.GetKinematics(cube), pose);
      return;
    }
    case SourceKind::Cylinder: {
      const XSI::CRef cylinder = rig.AddSource(name.c_str(), L"cylinder");
      XSI::Host::AnimatedPose pose;
      pose.scaling = XSI::Host::AnimatedVector(-0.5, -0.5, -0.5);
      scene.SetPose(scene.GetKinematics(cylinder), pose);
      return;
    }
    case SourceKind::Cloud:
      AddCloud(rig, name, Points({CVector3(0, 0, 0), CVector3(0.15, 0, 0), CVector3(0, 0.1, 0.1), CVector3(-0.4, 0.2, 0)}));
      return;
    case SourceKind::EmptyCloud: AddCloud(rig, name, CVector3Array()); return;
    case SourceKind::Coincident: {
      CVector3Array points;
      for (int i = 0; i < 200; ++i) points.Add(CVector3(0.25, -0.25, 0.5));
      AddCloud(rig, name, points);
      return;
    }
    case SourceKind::FarAway:
      AddCloud(rig, name, Points({CVector3(1e30, 1e30, -1e30), CVector3(-1e30, 0, 0), CVector3(0, 3e38, 0)}));
      return;
    case SourceKind::NaNCloud:
      AddCloud(rig, name, Points({CVector3(kNaN, 0, 0), CVector3(0, kNaN, kNaN), CVector3(0.1, 0.1, 0.1)}));
      return;
    case SourceKind::InfiniteCloud:
      AddCloud(rig, name, Points({CVector3(kInf, 0, 0), CVector3(0, -kInf, 0), CVector3(0.1, 0.1, 0.1)}));
      return;
    case SourceKind::HugePrimitive: {
      const XSI::CRef sphere = rig.AddSource(name.c_str(), L"sphere");
      scene.SetParameter(sphere, L"radius", CValue(1e30));
      return;
    }
    case SourceKind::TinyPrimitive: {
      const XSI::CRef sphere = rig.AddSource(name.c_str(), L"sphere");
      scene.SetParameter(sphere, L"radius", CValue(1e-30));
      return;
    }
    case SourceKind::ZeroScaled: {
      const XSI::CRef sphere = rig.AddSource(name.c_str(), L"sphere");
      XSI::Host::AnimatedPose pose;
      pose.scaling = XSI::Host::AnimatedVector(0.0, 0.0, 0.0);
      scene.SetPose(scene.GetKinematics(sphere), pose);
      return;
    }
  }
}

}  // namespace

std::string Describe(SourceKind kind) {
  static const char* const kNames[] = {"none",          "sphere",      "cube",           "cylinder",     "cloud",
                                       "empty cloud",   "coincident",  "far away",       "NaN cloud",    "infinite cloud",
                                       "huge sphere",   "tiny sphere", "zero-scaled sphere"};
  return kNames[static_cast<int>(kind)];
}

bool IsNonFinite(SourceKind kind) { return kind == SourceKind::NaNCloud || kind == SourceKind::InfiniteCloud; }

std::string HostileCase::Describe() const {
  std::ostringstream text;
  text << "frame " << frame << ", parameters:";
  for (const auto& [name, value] : parameters) text << " " << Narrow(name) << "=" << Narrow(value.GetAsText().Native());
  text << "; sources:";
  for (SourceKind kind : sources) text << " " << ::Describe(kind) << ";";
  return text.str();
}

bool HostileOutcome::LogContains(const std::wstring& text) const {
  for (const std::wstring& line : log) {
    if (line.find(text) != std::wstring::npos) return true;
  }
  return false;
}

HostileOutcome RunHostileCase(const HostileCase& hostile, int evaluations) {
  SCOPED_TRACE(hostile.Describe());
  Scene& scene = Scene::Get();
  scene.Reset();
  HostileOutcome outcome;
  {
    GlomoraRig rig(L"hostile");
    for (size_t i = 0; i < hostile.sources.size(); ++i) AddSource(rig, hostile.sources[i], static_cast<int>(i));
    for (const auto& [name, value] : hostile.parameters) rig.SetParameter(name.c_str(), value);
    EXPECT_EQ(rig.Init(), XSI::CStatus::OK);
    // The user presses Cancel once a recompute loop has stepped 64 frames.
    scene.SetProgressObserver([&scene](const XSI::Host::ProgressState& state, XSI::Host::ProgressEvent event) {
      if (event == XSI::Host::ProgressEvent::Increment && state.value >= 64) scene.SetCancelPressed(true);
    });
    for (int e = 0; e < evaluations; ++e) {
      scene.SetCancelPressed(false);
      outcome.status = rig.Update(hostile.frame + e);
      EXPECT_EQ(outcome.status, XSI::CStatus::OK);
      rig.Transfer();
    }
    scene.GetMesh(rig.mesh, outcome.vertices, outcome.polygons);
    const XSI::CDoubleArray normals = scene.GetClusterValues(rig.normalsProperty);
    const XSI::CDoubleArray uvs = scene.GetClusterValues(rig.uvProperty);
    EXPECT_EQ(rig.Term(), XSI::CStatus::OK);
    scene.SetProgressObserver(nullptr);

    const ::testing::AssertionResult wellFormed = HasValidIndices(outcome.vertices.GetCount(), outcome.polygons);
    EXPECT_TRUE(wellFormed);
    if (!wellFormed) return outcome;
    // Nodes: the sum of the polygon sizes.
    int64_t nodes = 0;
    for (LONG at = 0; at < outcome.polygons.GetCount(); at += outcome.polygons[at] + 1) nodes += outcome.polygons[at];
    // Cluster values are three per node of the mesh they were written for, or none.
    EXPECT_TRUE(normals.GetCount() == 0 || normals.GetCount() == 3 * nodes) << normals.GetCount() << " vs " << nodes;
    EXPECT_TRUE(uvs.GetCount() == 0 || uvs.GetCount() == 3 * nodes) << uvs.GetCount() << " vs " << nodes;
    bool nonFiniteSources = false;
    for (SourceKind kind : hostile.sources) nonFiniteSources = nonFiniteSources || IsNonFinite(kind);
    if (!nonFiniteSources) {
      EXPECT_TRUE(IsFinite(outcome.vertices));
      for (LONG i = 0; i < normals.GetCount(); ++i) {
        if (!std::isfinite(normals[i])) {
          ADD_FAILURE() << "normal value " << i << " is " << normals[i];
          break;
        }
      }
      for (LONG i = 0; i < uvs.GetCount(); ++i) {
        if (!std::isfinite(uvs[i])) {
          ADD_FAILURE() << "UV value " << i << " is " << uvs[i];
          break;
        }
      }
    }
  }
  for (const XSI::Host::LogLine& line : scene.GetLog()) outcome.log.push_back(line.text);
  return outcome;
}
