#pragma once
// FrameOutputs: what a run writes beside each frame's mesh: the voxel field
// as an OpenVDB volume (RunOptions::volume) and a picture (RunOptions::preview).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "frame_pattern.h"
#include "progress_display.h"
#include "run_failure.h"
#include "run_options.h"
#include "run_previews.h"
#include "scene_file.h"

class FrameOutputs {
 public:
  // Prepares the outputs `options` asks for `scene` and frames first..last:
  // checks their patterns and that volumes can be written (false with a
  // message and the failure: bad input, or a broken installation), and
  // chooses the camera.
  bool Start(const SceneDescription& scene, const RunOptions& options, int64_t first, int64_t last,
             RunFailure& failure, std::string& error);
  // After each frame's mesh: writes the frame's volume and picture, or says
  // once per run why a frame has no volume (Space 1, Mode 3, no result);
  // says once per run that the container box cuts the surface open, with
  // the box and the elements' bounds.
  bool AfterFrame(const WrittenFrame& frame, ProgressDisplay& display, std::string& error);
  // Draws the pictures that had to wait for the union of the frames' bounds;
  // also after a cancel or a failure, for the meshes that were written.
  bool Finish(ProgressDisplay& display, std::string& error);

 private:
  const SceneDescription* scene_ = nullptr;
  std::optional<FramePattern> volume_;
  std::unique_ptr<RunPreviews> previews_;
  bool toldSpace1_ = false;
  bool toldMode3_ = false;
  bool toldCut_ = false;
};
