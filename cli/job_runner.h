#pragma once
// Independent frames in worker processes (`glomora run --jobs N`).
//
// The coordinator (RunInWorkers, in the caller's process) starts N workers
// with posix_spawn of options.toolPath as `TOOL worker --fd 3 --parent PID`, each in its
// own process group and connected by a socket on its descriptor 3; it never
// forks. Over the socket, one JSON object per line:
//
//   coordinator -> worker   {"source": {...}, "output": ..., ...}   the run (once)
//                           {"frame": N}                           evaluate and write frame N
//                           end of stream                          no more frames: exit
//   worker -> coordinator   {"ready": true}                        the scene is built
//                           {"log": TEXT}                          a host log line to show
//                           {"done": N, "file": ..., "stats": ...} frame N is written
//                           {"error": TEXT, "code": C}             the worker failed and exits with C
//
// Each worker is handed one frame at a time, in frame order, so a press of
// Ctrl-C lets every worker finish only the frame it is on. Signals: the
// tool's handlers (interrupt.h) forward SIGINT and SIGTERM to the workers,
// which take them as the tool does (first SIGINT: finish the frame; second:
// remove the temporary file and stop); a worker whose coordinator dies gets
// SIGTERM. A worker that dies mid-frame fails the run with a message naming
// the frame, and its temporary file is removed; a file appears under its
// final name only once complete (atomic_file.h).

#include <cstdint>

#include "frame_runner.h"
#include "progress_display.h"
#include "scene_file.h"

// Runs frames first..last of `scene` (independent, see FramesAreIndependent)
// in `jobs` worker processes; options.source must describe the same scene.
RunResult RunInWorkers(const SceneDescription& scene, const RunOptions& options, ProgressDisplay& display,
                       int64_t first, int64_t last, int jobs);

// The worker's side, talking over descriptor `fd` to its coordinator, process
// `parent`; returns the exit status.
int RunWorker(int fd, long parent);
