#include "host_scene_builder.h"

#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

#include "frame_pattern.h"
#include "mesh_files.h"

using XSI::CString;
using XSI::MATH::CVector3;
using XSI::MATH::CVector3Array;
using XSI::Host::PointAttribute;
using XSI::Host::Scene;

namespace {

// What a source's points carry to the host: the attribute named by
// "radius_attribute" as "radius_scale", the one named by
// "velocity_attribute" as "v", and every other name of the scene's
// "transfer" under its own name.
struct AttributeNeeds {
  std::string radius;
  std::string velocity;
  std::vector<std::string> transfer;
};

AttributeNeeds NeedsOf(const SceneDescription& scene, const SourceDescription& source) {
  AttributeNeeds needs{source.radiusAttribute, source.velocityAttribute, {}};
  for (const std::string& name : scene.transfer) {
    if (name != "v") needs.transfer.push_back(name);
  }
  return needs;
}

std::string AttributeNames(const MeshData& mesh) {
  std::string names;
  for (const VertexAttribute& attribute : mesh.attributes) names += (names.empty() ? "" : ", ") + attribute.name;
  return names.empty() ? "none" : names;
}

// The host attributes of `mesh` for `needs`; false with the attribute and
// the value in `error` when one is missing, of another width, of another
// count than the points, not finite, or (the radius) negative.
bool HostAttributes(const MeshData& mesh, const AttributeNeeds& needs, std::vector<PointAttribute>& attributes,
                    std::string& error) {
  attributes.clear();
  auto take = [&](const std::string& name, const std::string& hostName, int32_t lowWidth, int32_t highWidth,
                  bool nonNegative) {
    const VertexAttribute* attribute = mesh.FindAttribute(name);
    if (attribute == nullptr) {
      error = "the points have no attribute \"" + name + "\" (they have: " + AttributeNames(mesh) + ")";
      return false;
    }
    if (attribute->components < lowWidth || attribute->components > highWidth) {
      error = "attribute \"" + name + "\" has " + std::to_string(attribute->components) + " values per point, expected " +
              (lowWidth == highWidth ? std::to_string(lowWidth) : "1 to " + std::to_string(highWidth));
      return false;
    }
    if (attribute->Count() != mesh.VertexCount() ||
        attribute->values.size() != attribute->Count() * static_cast<size_t>(attribute->components)) {
      error = "attribute \"" + name + "\" has " + std::to_string(attribute->Count()) + " values for " +
              std::to_string(mesh.VertexCount()) + " points";
      return false;
    }
    for (size_t i = 0; i < attribute->values.size(); ++i) {
      const float value = attribute->values[i];
      if (std::isfinite(value) && !(nonNegative && value < 0.0f)) continue;
      error = "attribute \"" + name + "\" of point " + std::to_string(i / static_cast<size_t>(attribute->components) + 1) +
              " is " + std::to_string(value) + (nonNegative ? " (expected a finite value >= 0)" : " (expected a finite value)");
      return false;
    }
    PointAttribute host;
    host.name = CString(hostName.c_str()).GetWideString();
    host.components = attribute->components;
    host.values.Resize(static_cast<XSI::LONG>(attribute->values.size()));
    for (size_t i = 0; i < attribute->values.size(); ++i) host.values[static_cast<XSI::LONG>(i)] = attribute->values[i];
    attributes.push_back(std::move(host));
    return true;
  };
  if (!needs.radius.empty() && !take(needs.radius, "radius_scale", 1, 1, true)) return false;
  if (!needs.velocity.empty() && !take(needs.velocity, "v", 3, 3, false)) return false;
  for (const std::string& name : needs.transfer) {
    if (!take(name, name, 1, 4, false)) return false;
  }
  return true;
}

CVector3Array ToPoints(const std::vector<double>& positions) {
  CVector3Array points(static_cast<XSI::LONG>(positions.size() / 3));
  for (size_t i = 0; i + 2 < positions.size(); i += 3) {
    points[static_cast<XSI::LONG>(i / 3)] = CVector3(positions[i], positions[i + 1], positions[i + 2]);
  }
  return points;
}

// Points of one source read from one file per frame, the last frame kept: the
// plug-in asks twice per frame (to count, then to build).
struct PerFrameFiles {
  FramePattern pattern;
  std::string keyPath;
  bool missingFramesEmpty = false;
  AttributeNeeds needs;
  std::shared_ptr<std::string> error;
  int64_t cachedFrame = std::numeric_limits<int64_t>::min();
  bool cachedOk = false;
  CVector3Array cached;
  std::vector<PointAttribute> cachedAttributes;

  void Load(double frame) {
    const auto whole = static_cast<int64_t>(std::llround(frame));
    if (whole == cachedFrame) return;
    cachedFrame = whole;
    cached.Clear();
    cachedAttributes.clear();
    cachedOk = false;
    const std::string path = pattern.Expand(whole);
    MeshData mesh;
    std::string problem;
    std::error_code ignored;
    if (missingFramesEmpty && !std::filesystem::exists(path, ignored)) {
      cachedOk = true;  // an empty frame, as asked
    } else if (ReadMeshFile(path, mesh, problem) && HostAttributes(mesh, needs, cachedAttributes, problem)) {
      cached = ToPoints(mesh.positions);
      cachedOk = true;
    } else if (error->empty()) {
      *error = keyPath + ".file: " + path + ": " + problem;
    }
  }

  bool Points(double frame, CVector3Array& points) {
    Load(frame);
    points = cached;
    return cachedOk;
  }

  bool Attributes(double frame, std::vector<PointAttribute>& attributes) {
    Load(frame);
    attributes = cachedAttributes;
    return cachedOk;
  }
};

}  // namespace

bool HostSceneBuilder::Build(const SceneDescription& scene, int64_t firstFrame, int64_t lastFrame, std::string& error,
                             SceneProblem* problem) {
  if (problem != nullptr) *problem = SceneProblem::BadInput;
  Scene& host = Scene::Get();
  host.Reset();
  sourceError_->clear();
  rig_ = std::make_unique<GlomoraRig>(CString(scene.name.c_str()));
  for (const auto& [name, value] : scene.parameters) rig_->SetParameter(CString(name.c_str()), value);
  host.SetPose(rig_->space, scene.transform);

  for (const SourceDescription& source : scene.sources) {
    const XSI::CRef primitive = rig_->AddSource(CString(source.name.c_str()), CString(source.type.c_str()));
    for (const auto& [name, value] : source.primitiveParameters) {
      host.SetParameter(primitive, CString(name.c_str()), value);
    }
    host.SetPose(host.GetKinematics(primitive), source.pose);
    if (source.type != "cloud" && source.type != "polymsh") continue;

    if (source.file.empty()) {
      host.SetPoints(primitive, ToPoints(source.points));
      continue;
    }
    std::string reason;
    const auto pattern = FramePattern::Parse(source.file, reason);
    if (!pattern) {
      error = source.keyPath + ".file: " + reason;
      return false;
    }
    const AttributeNeeds needs = NeedsOf(scene, source);
    if (!pattern->HasFrame()) {
      MeshData mesh;
      if (!ReadMeshFile(source.file, mesh, reason)) {
        std::error_code ignored;
        if (problem != nullptr && !std::filesystem::exists(source.file, ignored)) *problem = SceneProblem::MissingFile;
        error = source.keyPath + ".file: " + source.file + ": " + reason;
        return false;
      }
      std::vector<PointAttribute> attributes;
      if (!HostAttributes(mesh, needs, attributes, reason)) {
        error = source.keyPath + ".file: " + source.file + ": " + reason;
        return false;
      }
      host.SetPoints(primitive, ToPoints(mesh.positions));
      host.SetPointAttributes(primitive, std::move(attributes));
      continue;
    }
    if (!source.missingFramesEmpty) {
      for (int64_t frame = firstFrame; frame <= lastFrame; ++frame) {
        const std::string path = pattern->Expand(frame);
        std::error_code ignored;
        if (!std::filesystem::is_regular_file(path, ignored)) {
          if (problem != nullptr) *problem = SceneProblem::MissingFile;
          error = source.keyPath + ".file: no such file \"" + path + "\" (frame " + std::to_string(frame) + ")";
          return false;
        }
      }
    }
    auto files = std::make_shared<PerFrameFiles>();
    files->pattern = *pattern;
    files->keyPath = source.keyPath;
    files->missingFramesEmpty = source.missingFramesEmpty;
    files->needs = needs;
    files->error = sourceError_;
    host.SetPointsProvider(primitive, [files](double frame, CVector3Array& points) { return files->Points(frame, points); });
    host.SetPointAttributesProvider(primitive, [files](double frame, std::vector<PointAttribute>& attributes) {
      return files->Attributes(frame, attributes);
    });
  }
  return true;
}

bool HostSceneBuilder::TakeSourceError(std::string& error) {
  if (sourceError_->empty()) return false;
  error = *sourceError_;
  sourceError_->clear();
  return true;
}
