#include "run_scene.h"

#include <optional>

#include "frame_outputs.h"
#include "in_process_run.h"
#include "output_pattern.h"
#include "process_threads.h"
#include "run_start.h"
#include "scene_plan.h"
#include "usd_shot.h"
#include "worker_pool.h"

RunResult RunScene(const SceneDescription& scene, const RunOptions& options, ProgressDisplay& display) {
  RunResult result = NewRunResult(scene);
  std::string error;

  // 1) what the scene needs, and where its files go
  ScenePlan plan;
  if (!PlanScene(scene, options.firstFrame, options.lastFrame, plan, error)) {
    return FailRun(result, display, RunFailure::BadInput, error);
  }
  const bool severalFrames = plan.lastFrame > plan.firstFrame;
  const std::optional<FramePattern> output =
      ResolveOutputPattern("--output", options.output, scene.name, {".obj", ".ply"}, severalFrames, error);
  if (!output) return FailRun(result, display, RunFailure::BadInput, error);
  FrameOutputs frameOutputs;
  RunFailure failure = RunFailure::None;
  if (!frameOutputs.Start(scene, options, plan.firstFrame, plan.lastFrame, failure, error)) {
    return FailRun(result, display, failure, error);
  }
  UsdShot usd;
  if (!usd.Start(scene, options, plan.firstFrame, plan.lastFrame, failure, error)) {
    return FailRun(result, display, failure, error);
  }
  if (!StartRun(scene, plan, options.memoryLimit, options.label, display, result)) return result;

  // 2) the volumes, pictures and USD samples beside each frame's mesh, then
  // the caller's hook
  RunOptions run = options;
  run.afterFrame = [&](const WrittenFrame& frame, std::string& problem) {
    return frameOutputs.AfterFrame(frame, display, problem) && usd.AfterFrame(frame, problem) &&
           (!options.afterFrame || options.afterFrame(frame, problem));
  };

  // 3) in this process, or independent frames side by side
  int jobs = 1;
  if (options.jobs > 1 && severalFrames && !plan.independentFrames) {
    display.Note("--jobs " + std::to_string(options.jobs) +
                 ": the frames are not independent (Space 0 in Modes 0 to 2 carries the field from frame to frame): "
                 "they run in one process");
  }
  if (options.jobs != 1 && !options.toolPath.empty() && severalFrames && plan.independentFrames) {
    jobs = JobsFor(options.jobs, plan.FrameCount(), options.memoryLimit > 0 ? plan.lattice.bytes : 0,
                   options.memoryLimit);
  }
  if (jobs == 1) UseThreads(ThreadsFor(options.threads, 1));
  result = jobs > 1 ? RunInWorkers(scene, plan, run, *output, display, jobs)
                    : RunInProcess(scene, plan, run, *output, display);
  result.stats["processes"] = jobs;

  // 4) the whole run's USD layer, once every frame is in; the pictures that
  // waited for every frame's bounds
  if (!usd.Finish(result.Succeeded(), display, error)) {
    display.Error(error);
    result.failure = RunFailure::Failed;
    result.error = error;
  }
  if (!usd.Written().empty()) {
    result.stats["usd"] = usd.Written();
    result.stats["usd_seconds"] = usd.Seconds();
  }
  if (!frameOutputs.Finish(display, error)) {
    display.Error(error);
    if (result.Succeeded()) {
      result.failure = RunFailure::Failed;
      result.error = error;
    }
  }
  display.Finish();
  return result;
}
