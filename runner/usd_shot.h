#pragma once
// UsdShot: the USD text layer a run writes beside its mesh files
// (RunOptions::usd, `glomora run --usd`), as usd_writer.h lays it out: one
// layer for the whole run, written when the run has succeeded, or, when the
// name holds a frame number, one layer per frame, written as its frame is.
// The stage's time and units are the scene's ("fps", "up_axis",
// "meters_per_unit"). A mesh that carries the velocity "v" (the scene's
// "transfer", or a source's "velocity_attribute") has its `velocities`
// written in units per second: "v" is in units per frame, so each value is
// multiplied by "fps" (in double, rounded to float once).
//
// Frames of worker processes (--jobs): the worker packs its frame's samples
// (UsdFrameSamples::Pack) into a hidden file beside the layer
// (UsdSampleFile), written whole under a temporary name first; the
// coordinator adds it to the layer as the frame is reported and removes it.
// The layer is then the same bytes as a run in one process writes.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frame_pattern.h"
#include "progress_display.h"
#include "run_failure.h"
#include "run_options.h"
#include "scene_file.h"
#include "usd_writer.h"

// The layer pattern of `options.usd` for `scene` (a name ending in .usda,
// "{name}" replaced); nothing with "--usd TEXT: problem" in `error`.
std::optional<FramePattern> ResolveUsdPattern(const std::string& text, const std::string& sceneName,
                                              std::string& error);

// The hidden file beside `layer` that a worker packs frame `frame` into.
std::string UsdSampleFile(const std::string& layer, int64_t frame);

// In a worker process: packs `frame`'s samples (its mesh, which must be
// there, and its velocity "v" times the scene's `fps`) into UsdSampleFile of
// its layer. False with `error` naming the file.
bool WriteUsdSampleFile(const FramePattern& layers, double fps, const WrittenFrame& frame, std::string& error);

class UsdShot {
 public:
  // Prepares the layer `options` asks for `scene` over frames first..last;
  // false with a message (bad input) when the name does not fit, or when
  // the layer's folder cannot hold the frames' samples (then a failure).
  bool Start(const SceneDescription& scene, const RunOptions& options, int64_t first, int64_t last,
             RunFailure& failure, std::string& error);
  // After each frame's mesh: its samples from the mesh, or, for a worker's
  // frame (no mesh here), from the file the worker packed them into. A
  // frame layer is written now.
  bool AfterFrame(const WrittenFrame& frame, std::string& error);
  // At the end of the run: writes the whole run's layer when the run
  // `succeeded` and says so on `display`; otherwise writes nothing and says
  // so. Removes the packed frames that workers left. False with `error`
  // when the layer cannot be written.
  bool Finish(bool succeeded, ProgressDisplay& display, std::string& error);
  // The layers written so far, and the seconds spent on them (formatting,
  // keeping and writing the samples; in this process).
  const std::vector<std::string>& Written() const { return written_; }
  double Seconds() const { return seconds_; }

 private:
  bool AddFrame(int64_t frame, const std::string* packed, const MeshView* mesh, std::string& error);

  std::optional<FramePattern> pattern_;
  UsdStage stage_;
  double fps_ = 24.0;
  int64_t first_ = 0;
  int64_t last_ = 0;
  bool workersMayPack_ = false;
  int64_t framesTaken_ = 0;
  double seconds_ = 0.0;
  UsdLayerWriter layer_;  // the whole run's
  UsdFrameSamples samples_;
  std::vector<std::string> written_;
};
