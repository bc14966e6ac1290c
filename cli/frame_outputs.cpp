#include "frame_outputs.h"

#include <chrono>
#include <filesystem>

#include "field_volume.h"
#include "host_scene_builder.h"
#include "scene_session.h"

namespace {

std::string ReplaceName(std::string text, const std::string& name) {
  for (size_t at = text.find("{name}"); at != std::string::npos; at = text.find("{name}", at + name.size())) {
    text.replace(at, 6, name);
  }
  return text;
}

// The pattern of option `option`, checked: its extension, and a frame
// number when several frames are written.
std::optional<FramePattern> CheckedPattern(const std::string& option, const std::string& text,
                                           const std::string& extension, bool severalFrames, std::string& error) {
  std::string problem;
  std::optional<FramePattern> pattern = FramePattern::Parse(text, problem);
  if (!pattern) {
    error = option + " " + text + ": " + problem;
    return std::nullopt;
  }
  std::string actual = std::filesystem::path(text).extension().string();
  for (char& c : actual) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (actual != extension) {
    error = option + " " + text + ": the file name must end in " + extension;
    return std::nullopt;
  }
  if (severalFrames && !pattern->HasFrame()) {
    error = option + " " + text + ": writing several frames needs a frame number in the name (#### or %04d)";
    return std::nullopt;
  }
  return pattern;
}

// The container box of the voxel grid at `frame`, centred on the origin of
// the mesh's space, when the scene is in Space 0 there; otherwise nothing.
std::optional<Box3> ContainerBoxAt(const SceneDescription& scene, double frame) {
  if (static_cast<XSI::LONG>(EffectiveParameter(scene, "Space").At(frame)) != 0) return std::nullopt;
  double half[3];
  const char* const sizes[3] = {"Size_X", "Size_Y", "Size_Z"};
  for (int axis = 0; axis < 3; ++axis) {
    half[axis] = 0.5 * static_cast<double>(EffectiveParameter(scene, sizes[axis]).At(frame));
  }
  Box3 box;
  box.Add(-half[0], -half[1], -half[2]);
  box.Add(half[0], half[1], half[2]);
  return box;
}

// The container box when it is the same at every frame (Space and the sizes
// not animated, Space 0): then each picture can be drawn as its frame comes.
std::optional<Box3> FixedContainerBox(const SceneDescription& scene) {
  for (const char* name : {"Space", "Size_X", "Size_Y", "Size_Z"}) {
    if (EffectiveParameter(scene, name).IsAnimated()) return std::nullopt;
  }
  return ContainerBoxAt(scene, 0.0);
}

}  // namespace

bool FrameOutputs::Start(const SceneDescription& scene, const FrameOutputOptions& options, int64_t first,
                         int64_t last, std::string& error) {
  scene_ = &scene;
  volume_.reset();
  previews_.reset();
  toldSpace1_ = toldMode3_ = false;
  if (!options.volume.empty()) {
    volume_ = CheckedPattern("--volume", ReplaceName(options.volume, scene.name), ".vdb", last > first, error);
    if (!volume_) return false;
  }
  if (!options.preview.empty()) {
    std::optional<FramePattern> pattern =
        CheckedPattern("--preview", ReplaceName(options.preview, scene.name), ".png", last > first, error);
    if (!pattern) return false;
    previews_ = std::make_unique<RunPreviews>(std::move(*pattern), options.previewWidth, options.previewHeight,
                                              FixedContainerBox(scene));
  }
  return true;
}

bool FrameOutputs::AfterFrame(const WrittenFrame& frame, ProgressDisplay& display, std::string& error) {
  // 1) the volume
  if (volume_) {
    const std::string path = volume_->Expand(frame.frame);
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
    // A worker process's frame (no rig here) is Space 1 or Mode 3: no field.
    const VolumeWrite result =
        frame.rig ? WriteFieldVolume(*frame.rig, scene_->name, path, error) : VolumeWrite::NoField;
    if (result == VolumeWrite::Failed) {
      error = path + ": " + error;
      return false;
    }
    if (result == VolumeWrite::NoField) {
      const auto at = static_cast<double>(frame.frame);
      if (static_cast<XSI::LONG>(EffectiveParameter(*scene_, "Space").At(at)) != 0) {
        if (!toldSpace1_) {
          display.Warning(scene_->name + ": --volume: Space 1 tracks the surface without a voxel lattice: no volume "
                                         "is written for its frames");
        }
        toldSpace1_ = true;
      } else if (static_cast<XSI::LONG>(EffectiveParameter(*scene_, "Mode").At(at)) == 3) {
        if (!toldMode3_) {
          display.Warning(scene_->name + ": --volume: Mode 3 plays meshes back from the cache, without the field: "
                                         "no volume is written for its frames");
        }
        toldMode3_ = true;
      } else {
        display.Warning("frame " + std::to_string(frame.frame) + ": no voxel field (the evaluation had no result): "
                        "no volume written");
      }
    }
  }

  // 2) the picture, now or at Finish
  if (previews_) {
    std::string written;
    const std::optional<Box3> box = ContainerBoxAt(*scene_, static_cast<double>(frame.frame));
    // A frame a worker process wrote is known here only by its file.
    MeshData fromFile;
    if (!frame.mesh && !ReadMeshFile(frame.file, fromFile, error)) {
      error = frame.file + ": " + error;
      return false;
    }
    const MeshView mesh = frame.mesh ? *frame.mesh : MeshView(fromFile);
    if (!previews_->AddFrame(frame.frame, mesh, frame.file, box, written, error)) return false;
  }
  return true;
}

bool FrameOutputs::Finish(ProgressDisplay& display, std::string& error) {
  if (!previews_ || previews_->Pending() == 0) return true;
  const auto start = std::chrono::steady_clock::now();
  return previews_->Finish(
      [&](int64_t done, int64_t total, const std::string& file) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        display.FrameDone("preview -> " + file, done, total, elapsed);
      },
      error);
}

RunResult RunSceneWithOutputs(const SceneDescription& scene, RunOptions options, const FrameOutputOptions& outputs,
                              ProgressDisplay& display) {
  FrameOutputs frameOutputs;
  std::string error;
  if (!frameOutputs.Start(scene, outputs, options.firstFrame.value_or(scene.firstFrame),
                          options.lastFrame.value_or(scene.lastFrame), error)) {
    RunResult result = NewRunResult(scene);
    return FailRun(result, display, kExitBadInput, error);
  }
  // A broken installation stops the run before its first frame.
  if (!outputs.volume.empty() && !FieldVolumesAvailable(error)) {
    RunResult result = NewRunResult(scene);
    return FailRun(result, display, kExitFailure, "--volume: " + error);
  }
  options.afterFrame = [&](const WrittenFrame& frame, std::string& problem) {
    return frameOutputs.AfterFrame(frame, display, problem);
  };
  RunResult result = RunScene(scene, options, display);
  if (!frameOutputs.Finish(display, error)) {
    display.Error(error);
    if (result.exitCode == kExitSuccess) {
      result.exitCode = kExitFailure;
      result.error = error;
    }
  }
  display.Finish();
  return result;
}
