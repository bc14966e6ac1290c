#pragma once
// FrameOutputs: what a run writes beside each frame's mesh: the voxel field
// as an OpenVDB volume (--volume) and a picture (--preview), hooked into the
// timeline as RunOptions::afterFrame.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "frame_pattern.h"
#include "frame_runner.h"
#include "progress_display.h"
#include "run_previews.h"
#include "scene_file.h"

struct FrameOutputOptions {
  std::string volume;   // file pattern as --output ("{name}", frame placeholders), ending in .vdb; empty: none
  std::string preview;  // file pattern ending in .png; empty: none
  int32_t previewWidth = 768;
  int32_t previewHeight = 768;
};

// Runs `scene` as RunScene does, with the volumes and pictures `outputs`
// asks for: their patterns are checked first (a bad one fails the run as bad
// input, before any frame), and the pictures that wait for the union of the
// frames' bounds are drawn at the end, also after a cancel or a failure, for
// the meshes that were written. `options.afterFrame` is this run's own.
RunResult RunSceneWithOutputs(const SceneDescription& scene, RunOptions options, const FrameOutputOptions& outputs,
                              ProgressDisplay& display);

class FrameOutputs {
 public:
  // Prepares the outputs of `scene` for frames first..last: checks the
  // patterns (false with a message: bad input) and chooses the camera.
  bool Start(const SceneDescription& scene, const FrameOutputOptions& options, int64_t first, int64_t last,
             std::string& error);
  // The run's afterFrame: writes the frame's volume and picture, or says
  // once per run why a frame has no volume (Space 1, Mode 3, no result).
  bool AfterFrame(const WrittenFrame& frame, ProgressDisplay& display, std::string& error);
  // Draws the pictures that had to wait for the union of the frames' bounds.
  bool Finish(ProgressDisplay& display, std::string& error);

 private:
  const SceneDescription* scene_ = nullptr;
  std::optional<FramePattern> volume_;
  std::unique_ptr<RunPreviews> previews_;
  bool toldSpace1_ = false;
  bool toldMode3_ = false;
};
