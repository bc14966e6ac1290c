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
using XSI::Host::Scene;

namespace {

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
  std::shared_ptr<std::string> error;
  int64_t cachedFrame = std::numeric_limits<int64_t>::min();
  bool cachedOk = false;
  CVector3Array cached;

  bool Points(double frame, CVector3Array& points) {
    const auto whole = static_cast<int64_t>(std::llround(frame));
    if (whole != cachedFrame) {
      cachedFrame = whole;
      cached.Clear();
      cachedOk = false;
      const std::string path = pattern.Expand(whole);
      MeshData mesh;
      std::string problem;
      std::error_code ignored;
      if (missingFramesEmpty && !std::filesystem::exists(path, ignored)) {
        cachedOk = true;  // an empty frame, as asked
      } else if (ReadMeshFile(path, mesh, problem)) {
        cached = ToPoints(mesh.positions);
        cachedOk = true;
      } else if (error->empty()) {
        *error = keyPath + ".file: " + path + ": " + problem;
      }
    }
    points = cached;
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
    if (!pattern->HasFrame()) {
      MeshData mesh;
      if (!ReadMeshFile(source.file, mesh, reason)) {
        std::error_code ignored;
        if (problem != nullptr && !std::filesystem::exists(source.file, ignored)) *problem = SceneProblem::MissingFile;
        error = source.keyPath + ".file: " + source.file + ": " + reason;
        return false;
      }
      host.SetPoints(primitive, ToPoints(mesh.positions));
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
    files->error = sourceError_;
    host.SetPointsProvider(primitive, [files](double frame, CVector3Array& points) { return files->Points(frame, points); });
  }
  return true;
}

bool HostSceneBuilder::TakeSourceError(std::string& error) {
  if (sourceError_->empty()) return false;
  error = *sourceError_;
  sourceError_->clear();
  return true;
}
