#include "run_result.h"

RunResult NewRunResult(const SceneDescription& scene) {
  RunResult result;
  result.stats["scene"] = scene.name;
  result.stats["frames"] = nlohmann::ordered_json::array();
  return result;
}

RunResult FailRun(RunResult& result, ProgressDisplay& display, RunFailure failure, const std::string& message) {
  display.Error(message);
  result.failure = failure;
  result.error = message;
  return result;
}

void EndRun(RunResult& result, ProgressDisplay& display, bool cancelled, int64_t done, int64_t total, int64_t empty,
            bool allowEmpty) {
  if (cancelled) {
    display.Warning("cancelled after " + std::to_string(done) + " of " + std::to_string(total) + " frames");
    result.failure = RunFailure::Cancelled;
  } else if (done > 0 && empty == done && !allowEmpty) {
    FailRun(result, display, RunFailure::Failed, "every frame was empty");
  }
}
