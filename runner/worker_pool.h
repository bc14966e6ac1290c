#pragma once
// Independent frames in worker processes (`glomora run --jobs N`).
//
// The coordinator (RunInWorkers, in the caller's process) starts N workers
// with posix_spawn of options.toolPath as `TOOL worker --fd 3 --parent PID`,
// each in its own process group and connected by a socket on its descriptor
// 3 (worker_protocol.h); it never forks: the caller may be a Python
// interpreter holding threads, whose /proc/self/exe is not the tool. A
// worker rebuilds the scene from options.source, evaluates the frames it is
// sent and writes their files exactly as a run in this process would, so the
// files are the same bytes whatever the number of jobs.
//
// Each worker is handed one frame at a time, in frame order, so a press of
// Ctrl-C lets every worker finish only the frame it is on. Signals: the
// tool's handlers (interrupt.h) forward SIGINT and SIGTERM to the workers,
// which take them as the tool does (first SIGINT: finish the frame; second:
// remove the temporary file and stop); a worker whose coordinator dies gets
// SIGTERM. A worker that dies mid-frame fails the run with a message naming
// the frame, and its temporary file is removed; a file appears under its
// final name only once complete (atomic_file.h).

#include "frame_pattern.h"
#include "progress_display.h"
#include "run_options.h"
#include "run_result.h"
#include "scene_file.h"
#include "scene_plan.h"

// Runs frames plan.firstFrame..plan.lastFrame of `scene` (independent:
// plan.independentFrames) in `jobs` worker processes, whose mesh files
// follow `output`; options.source must describe the same scene.
RunResult RunInWorkers(const SceneDescription& scene, const ScenePlan& plan, const RunOptions& options,
                       const FramePattern& output, ProgressDisplay& display, int jobs);
