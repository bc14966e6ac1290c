#include "usd_shot.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "atomic_file.h"
#include "file_names.h"
#include "front/glomora_api.h"
#include "interrupt.h"
#include "output_pattern.h"

namespace {

// Adds the seconds of its scope to `total`.
class Timer {
 public:
  explicit Timer(double& total) : total_(total), start_(std::chrono::steady_clock::now()) {}
  ~Timer() { total_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }

 private:
  double& total_;
  std::chrono::steady_clock::time_point start_;
};

// The mesh's velocity "v" (three values per vertex, in units per frame) in
// units per second: each value times `fps`, taken in double and rounded to
// float once. Empty when the mesh carries no velocity.
std::vector<float> VelocitiesPerSecond(const MeshView& mesh, double fps) {
  std::vector<float> perSecond;
  for (const AttributeView& attribute : mesh.attributes) {
    if (attribute.name != "v" || attribute.components != 3) continue;
    perSecond.resize(attribute.values.size());
    for (size_t i = 0; i < perSecond.size(); ++i) {
      perSecond[i] = static_cast<float>(static_cast<double>(attribute.values[i]) * fps);
    }
    break;
  }
  return perSecond;
}

std::string FramesText(int64_t first, int64_t last) {
  return first == last ? "frame " + std::to_string(first)
                       : "frames " + std::to_string(first) + "-" + std::to_string(last);
}

}  // namespace

std::optional<FramePattern> ResolveUsdPattern(const std::string& text, const std::string& sceneName,
                                              std::string& error) {
  // A name without a frame number is the whole run's one layer.
  return ResolveOutputPattern("--usd", text, sceneName, {".usda"}, false, error);
}

std::string UsdSampleFile(const std::string& layer, int64_t frame) {
  const std::filesystem::path path(layer);
  std::string name = ".";
  name += path.filename().string();
  name += '.';
  name += std::to_string(frame);
  name += ".frame";
  return (path.parent_path() / name).string();
}

bool WriteUsdSampleFile(const FramePattern& layers, double fps, const WrittenFrame& frame, std::string& error) {
  const std::vector<float> velocities = VelocitiesPerSecond(*frame.mesh, fps);
  UsdFrameSamples samples;
  const std::string file = UsdSampleFile(layers.Expand(frame.frame), frame.frame);
  if (!samples.Take(frame.frame, *frame.mesh, velocities, error) || !MakeParentFolder(file, error) ||
      !WriteFileAtomically(file, samples.Pack(), error)) {
    error = file + ": " + error;
    return false;
  }
  return true;
}

bool UsdShot::Start(const SceneDescription& scene, const RunOptions& options, int64_t first, int64_t last,
                    RunFailure& failure, std::string& error) {
  pattern_.reset();
  written_.clear();
  framesTaken_ = 0;
  seconds_ = 0.0;
  failure = RunFailure::BadInput;
  if (options.usd.empty()) return true;
  pattern_ = ResolveUsdPattern(options.usd, scene.name, error);
  if (!pattern_) return false;
  first_ = first;
  last_ = last;
  workersMayPack_ = options.jobs != 1;
  stage_.meshName = scene.name;
  stage_.comment = std::string("glomora ") + Glomora_Version() + ", " + scene.name + " " + FramesText(first, last);
  stage_.framesPerSecond = scene.fps;
  fps_ = scene.fps;
  stage_.upAxis = scene.upAxis;
  stage_.metersPerUnit = scene.metersPerUnit;
  if (!pattern_->HasFrame() && !layer_.Open(pattern_->Text(), error)) {
    failure = RunFailure::Failed;
    error = pattern_->Text() + ": " + error;
    return false;
  }
  return true;
}

bool UsdShot::AfterFrame(const WrittenFrame& frame, std::string& error) {
  if (!pattern_) return true;
  const Timer timer(seconds_);
  const std::string layer = pattern_->Expand(frame.frame);
  std::string packed;
  if (frame.mesh == nullptr) {
    // A worker's frame: the samples it packed.
    const std::string file = UsdSampleFile(layer, frame.frame);
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(file, bytes, error)) {
      error = file + ": " + error;
      return false;
    }
    ::unlink(file.c_str());
    packed.assign(bytes.begin(), bytes.end());
  }
  return AddFrame(frame.frame, frame.mesh == nullptr ? &packed : nullptr, frame.mesh, error);
}

bool UsdShot::AddFrame(int64_t frame, const std::string* packed, const MeshView* mesh, std::string& error) {
  const std::string layer = pattern_->Expand(frame);
  UsdLayerWriter single;
  UsdLayerWriter& target = pattern_->HasFrame() ? single : layer_;
  if (pattern_->HasFrame() && !target.Open(layer, error)) {
    error = layer + ": " + error;
    return false;
  }
  const bool added = packed != nullptr ? target.AddPacked(*packed, error)
                                       : samples_.Take(frame, *mesh, VelocitiesPerSecond(*mesh, fps_), error) &&
                                             target.Add(samples_, error);
  if (!added) {
    error = layer + ": " + error;
    return false;
  }
  ++framesTaken_;
  if (!pattern_->HasFrame()) return true;
  UsdStage stage = stage_;
  stage.comment = std::string("glomora ") + Glomora_Version() + ", " + stage.meshName + " " + FramesText(frame, frame);
  if (!target.Finish(stage, error)) {
    error = layer + ": " + error;
    return false;
  }
  written_.push_back(layer);
  return true;
}

bool UsdShot::Finish(bool succeeded, ProgressDisplay& display, std::string& error) {
  if (!pattern_) return true;
  const Timer timer(seconds_);
  // A worker that failed or was stopped may have packed a frame nobody took:
  // workers are handed frames in order, one at a time each, so those are
  // among the first frames taken + kMaxForwarded.
  if (!succeeded && workersMayPack_) {
    const int64_t end = std::min(last_, first_ + framesTaken_ + kMaxForwarded);
    for (int64_t frame = first_; frame <= end; ++frame) {
      ::unlink(UsdSampleFile(pattern_->Expand(frame), frame).c_str());
    }
  }
  if (pattern_->HasFrame()) return true;
  const std::string& path = pattern_->Text();
  if (!succeeded || layer_.FrameCount() == 0) {
    layer_.Close();
    display.Warning("--usd " + path + ": not written (the run did not write all its frames)");
    return true;
  }
  if (!layer_.Finish(stage_, error)) {
    error = path + ": " + error;
    return false;
  }
  written_.push_back(path);
  return true;
}
