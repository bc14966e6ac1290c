#include "frame_runner.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "cache_files.h"
#include "glomora_api.h"
#include "interrupt.h"
#include "job_runner.h"
#include "memory_limit.h"
#include "scene_session.h"
#include "tool_threads.h"

using XSI::Host::Scene;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kMaxCheckedFrames = 100000;

// The cores this process may use: those of its affinity mask, and inside a
// Slurm task no more than the CPUs the task was given (a cluster that does
// not bind tasks to cores would otherwise see each task take them all).
int CoreCount() {
  int cores = 0;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) == 0) cores = CPU_COUNT(&cpus);
  if (cores <= 0) cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (const char* given = std::getenv("SLURM_CPUS_PER_TASK")) {
    char* end = nullptr;
    const long count = std::strtol(given, &end, 10);
    if (end != given && *end == '\0' && count > 0 && count < cores) cores = static_cast<int>(count);
  }
  return cores;
}

// Every frame in this process, in order.
RunResult RunInProcess(const SceneDescription& scene, const RunOptions& options, ProgressDisplay& display,
                       const OutputTarget& target, int64_t first, int64_t last) {
  RunResult result = NewRunResult(scene);
  auto fail = [&](int code, const std::string& message) { return FailRun(result, display, code, message); };

  SceneSession session;
  int code = kExitSuccess;
  std::string error;
  SceneSession::Observers observers;
  observers.hostLog = [&display](const std::string& text) { display.HostLog(text); };
  const RunHooks& hooks = options.hooks;
  auto cancelRequested = [&hooks] { return InterruptRequested() || (hooks.cancelRequested && hooks.cancelRequested()); };
  observers.hostProgress = [&display, &cancelRequested](const XSI::Host::ProgressState& state,
                                                        XSI::Host::ProgressEvent event) {
    display.HostProgress(state, event);
    if (cancelRequested()) Scene::Get().SetCancelPressed(true);
  };
  if (!session.Open(scene, options, &target, first, last, std::move(observers), code, error)) return fail(code, error);
  if (cancelRequested()) Scene::Get().SetCancelPressed(true);

  const Clock::time_point start = Clock::now();
  const int64_t total = last - first + 1;
  int64_t emptyFrames = 0;
  int64_t framesDone = 0;
  bool cancelled = false;
  FrameRecord record;
  for (int64_t frame = first; frame <= last && !cancelled; ++frame) {
    const SceneSession::Outcome outcome = session.Evaluate(frame, record, code, error);
    cancelled = session.Cancelled();
    if (outcome == SceneSession::Outcome::Failed) return fail(code, error);
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
  // Every mesh is written, but a frame missing from the cache would show only
  // when it is played back: the run fails (a cancelled run still says 130).
  if (!session.CacheFailures().Empty()) FailRun(result, display, kExitFailure, session.CacheFailures().Message());
  EndRun(result, display, cancelled, framesDone, total, emptyFrames, options.allowEmpty);
  return result;
}

}  // namespace

bool CheckMemoryBudget(const SceneDescription& scene, int64_t first, int64_t last, uint64_t memoryLimit,
                       const std::string& label, std::string& error) {
  if (memoryLimit == 0) return true;
  const LatticeNeed need = LargestLatticeNeed(scene, first, last);
  if (need.bytes <= memoryLimit) return true;
  error = label + ": frame " + std::to_string(need.frame) + ": Resolution " + std::to_string(need.resolution[0]) +
          " x " + std::to_string(need.resolution[1]) + " x " + std::to_string(need.resolution[2]) + " needs " +
          FormatMemorySize(need.bytes) + " for the voxel lattices, above the memory limit of " +
          FormatMemorySize(memoryLimit) + " (--max-memory)";
  return false;
}

void PrepareCacheFiles(const SceneDescription& scene, ProgressDisplay& display) {
  if (!MayWriteCacheFiles(scene)) return;
  const std::string name = CacheFilename(scene);
  if (Glomora_CacheFilePath(name.c_str(), 0, nullptr, 0) == 0) {
    const bool blank = name.find_first_not_of(' ') == std::string::npos;
    display.Warning(scene.name + ": \"Mode\" 2 writes no cache files: \"Cache_filename\" " +
                    (blank ? "is empty"
                           : "\"" + name + "\" is refused (it needs a file name, without * ? \" < > | or :)"));
    return;
  }
  const std::string cacheFolder = CacheFolder(scene);
  std::error_code failure;
  if (!cacheFolder.empty()) std::filesystem::create_directories(cacheFolder, failure);
  if (failure) display.Warning(cacheFolder + ": cannot make the cache folder (" + failure.message() + ")");
}

bool FramesAreIndependent(const SceneDescription& scene, int64_t first, int64_t last) {
  const XSI::Host::AnimatedValue space = EffectiveParameter(scene, "Space");
  const XSI::Host::AnimatedValue mode = EffectiveParameter(scene, "Mode");
  const bool animated = space.IsAnimated() || mode.IsAnimated();
  if (animated && last - first >= kMaxCheckedFrames) return false;
  for (int64_t frame = first; frame <= (animated ? last : first); ++frame) {
    const double at = static_cast<double>(frame);
    if (static_cast<XSI::LONG>(space.At(at)) != 1 && static_cast<XSI::LONG>(mode.At(at)) != 3) return false;
  }
  return true;
}

int JobsFor(int jobs, int64_t frames, uint64_t latticeBytes, uint64_t memoryLimit) {
  int64_t count = jobs > 0 ? jobs : CoreCount();
  count = std::min(count, frames);
  if (latticeBytes > 0 && memoryLimit > 0) count = std::min<int64_t>(count, static_cast<int64_t>(memoryLimit / latticeBytes));
  return static_cast<int>(std::max<int64_t>(count, 1));
}

int ThreadsFor(int threads, int processes) {
  if (threads > 0) return threads;
  return std::max(1, CoreCount() / std::max(1, processes));
}

void UseThreads(int threads) {
  Glomora_SetThreadCount(threads);
  SetToolThreads(threads);
}

RunResult RunScene(const SceneDescription& scene, const RunOptions& options, ProgressDisplay& display) {
  RunResult result = NewRunResult(scene);
  auto fail = [&](int code, const std::string& message) { return FailRun(result, display, code, message); };

  // 1) frames and output files
  const int64_t first = options.firstFrame.value_or(scene.firstFrame);
  const int64_t last = options.lastFrame.value_or(scene.lastFrame);
  if (first > last) return fail(kExitBadInput, "--frames: the first frame comes after the last");
  std::optional<OutputTarget> target;
  int code = kExitSuccess;
  std::string error;
  if (!ResolveOutput(scene, options, first, last, target, code, error)) return fail(code, error);
  if (!CheckMemoryBudget(scene, first, last, options.memoryLimit, options.label, error)) {
    result.overMemoryBudget = true;
    return fail(kExitBadInput, error);
  }

  PrepareCacheFiles(scene, display);

  // 2) in this process, or independent frames side by side
  int jobs = 1;
  if (options.jobs != 1 && !options.toolPath.empty() && last > first && FramesAreIndependent(scene, first, last)) {
    const uint64_t latticeBytes = options.memoryLimit > 0 ? LargestLatticeNeed(scene, first, last).bytes : 0;
    jobs = JobsFor(options.jobs, last - first + 1, latticeBytes, options.memoryLimit);
  }
  if (jobs == 1) UseThreads(ThreadsFor(options.threads, 1));
  result = jobs > 1 ? RunInWorkers(scene, options, display, first, last, jobs)
                    : RunInProcess(scene, options, display, *target, first, last);
  result.stats["processes"] = jobs;
  return result;
}
