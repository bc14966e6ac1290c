#include "in_process_run.h"

#include <chrono>
#include <cstdio>

#include "interrupt.h"
#include "scene_session.h"

using XSI::Host::Scene;

RunResult RunInProcess(const SceneDescription& scene, const ScenePlan& plan, const RunOptions& options,
                       const FramePattern& output, ProgressDisplay& display) {
  using Clock = std::chrono::steady_clock;
  RunResult result = NewRunResult(scene);
  const int64_t first = plan.firstFrame;
  const int64_t last = plan.lastFrame;

  // 1) the session
  const RunHooks& hooks = options.hooks;
  auto cancelRequested = [&hooks] { return InterruptRequested() || (hooks.cancelRequested && hooks.cancelRequested()); };
  SceneSession session;
  RunFailure failure = RunFailure::None;
  std::string error;
  if (!session.Open(scene, options, &output, first, last, SceneSession::ShownOn(display, cancelRequested), failure,
                    error)) {
    return FailRun(result, display, failure, error);
  }
  if (cancelRequested()) Scene::Get().SetCancelPressed(true);

  // 2) the frames
  const Clock::time_point start = Clock::now();
  const int64_t total = plan.FrameCount();
  int64_t emptyFrames = 0;
  int64_t framesDone = 0;
  bool cancelled = false;
  FrameRecord record;
  for (int64_t frame = first; frame <= last && !cancelled; ++frame) {
    const SceneSession::Outcome outcome = session.Evaluate(frame, record, failure, error);
    cancelled = session.Cancelled();
    if (outcome == SceneSession::Outcome::Failed) {
      display.Finish();
      result.stats["frames"].push_back(std::move(record.stats));
      return FailRun(result, display, failure, error);
    }
    if (outcome == SceneSession::Outcome::Nothing) break;
    if (record.empty) {
      ++emptyFrames;
      display.Warning("frame " + std::to_string(record.frame) + ": the mesh is empty");
    }
    ++framesDone;
    ++result.filesWritten;
    if (result.firstFile.empty()) result.firstFile = record.file;
    result.lastFile = record.file;
    if (options.check) {
      display.Finish();  // the status line on a shared terminal
      std::printf("%s\n", record.checkLine.c_str());
      std::fflush(stdout);
    }
    result.stats["frames"].push_back(std::move(record.stats));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    display.FrameDone(std::to_string(record.vertices) + " vertices, " + std::to_string(record.polygons) +
                          " polygons -> " + record.file,
                      framesDone, total, elapsed);
    if (hooks.frameDone) hooks.frameDone(framesDone, total);
    // Between frames a request stops the run here, before the next frame.
    if (frame < last && cancelRequested()) cancelled = true;
  }
  display.Finish();

  // 3) the ending. Every mesh is written, but a frame missing from the cache
  // would show only when it is played back: the run fails (a cancelled run
  // still says so).
  if (!session.CacheFailures().Empty()) {
    FailRun(result, display, RunFailure::Failed, session.CacheFailures().Message());
  }
  EndRun(result, display, cancelled, framesDone, total, emptyFrames, options.allowEmpty);
  return result;
}
