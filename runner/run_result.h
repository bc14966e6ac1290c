#pragma once
// RunResult: what a run of one scene gave its caller, and the endings every
// run loop shares.

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "progress_display.h"
#include "run_failure.h"
#include "scene_file.h"

struct RunResult {
  RunFailure failure = RunFailure::None;
  // The message of the failure (also shown as an error); empty when cancelled.
  std::string error;
  // With RunOptions::stats: {"scene", "frames": [...], "processes": worker
  // processes, or 1 when the frames ran in this process}.
  nlohmann::ordered_json stats;
  int64_t filesWritten = 0;
  std::string firstFile;
  std::string lastFile;

  bool Succeeded() const { return failure == RunFailure::None; }
  int ExitStatus() const { return ExitStatusOf(failure); }
};

// A result with the statistics' "scene" and an empty "frames".
RunResult NewRunResult(const SceneDescription& scene);

// Shows `message` as an error and gives `result` with `failure`.
RunResult FailRun(RunResult& result, ProgressDisplay& display, RunFailure failure, const std::string& message);

// The ending of a run that wrote `done` of `total` frames, `empty` of them
// empty: a cancelled run says so, a run whose every frame was empty fails
// unless `allowEmpty`.
void EndRun(RunResult& result, ProgressDisplay& display, bool cancelled, int64_t done, int64_t total, int64_t empty,
            bool allowEmpty);
