#pragma once
// The command-line host's timeline: evaluates a scene frame by frame through
// the plug-in's callbacks, as the 3D host plays its timeline, and writes one
// mesh file per frame.
//
// This is the run loop of every caller: the tool's main, and any other
// program that links the glomora_runner library (a Python extension, say).
// Nothing here assumes that the process is the `glomora` executable.
//
// Independent frames side by side (RunOptions::jobs > 1): frames that do not
// depend on each other (every frame in Space 1, or Space 0 in Mode 3, cache
// playback; see FramesAreIndependent) are handed out one at a time to worker
// processes, each with its own host scene and plug-in instance. Workers are
// started with posix_spawn of RunOptions::toolPath, the tool executable, as
// `glomora worker` (job_runner.h), never by fork(): the caller may be a
// Python interpreter holding threads, whose /proc/self/exe is not the tool.
// A worker rebuilds the scene from RunOptions::source, evaluates the frames
// it is sent and writes their files exactly as a run in this process would,
// so the files are the same bytes whatever the number of jobs. Space 0 in
// Modes 0 to 2 carries the field from frame to frame and always runs here,
// in one process.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "glomora_rig.h"
#include "mesh_data.h"
#include "progress_display.h"
#include "scene_file.h"

// Exit statuses of the tool.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitCancelled = 130;

// How a worker process rebuilds the scene: the scene file's text, parsed
// with relative paths taken from `baseDir`, then the parameter overrides
// (NAME=VALUE, as --set) in order, then `name` when not empty.
struct SceneSource {
  std::string text;
  std::filesystem::path baseDir;
  std::vector<std::string> overrides;
  std::string name;
};

// A frame whose mesh file was just written, for RunOptions::afterFrame.
struct WrittenFrame {
  int64_t frame;            // its number (the frame the plug-in reached)
  const std::string& file;  // the mesh file
  // What the file holds, and the plug-in as that frame's evaluation left it
  // (Glomora_GetField); both null for a frame a worker process wrote, whose
  // mesh is only in its file.
  const MeshView* mesh;
  const GlomoraRig* rig;
};

// What a caller that embeds the run loop (the Python module) hears and says
// while it runs; both are called in the caller's process and thread, never
// in a worker.
struct RunHooks {
  // After each frame written: `done` frames of `total`.
  std::function<void(int64_t done, int64_t total)> frameDone;
  // Asked between frames, at the host's progress events and while waiting
  // for workers: true cancels the run as a first Ctrl-C does (the frames in
  // progress are finished and written, the run ends with kExitCancelled).
  std::function<bool()> cancelRequested;
};

struct RunOptions {
  // Prefix of error messages about the scene: the scene file's name, or "demo".
  std::string label = "scene";
  // Output file pattern ("{name}" is the scene name; frame placeholders as in
  // frame_pattern.h; the extension .obj or .ply picks the format).
  std::string output = "glomora-out/{name}.####.obj";
  std::optional<int64_t> firstFrame;  // overrides the scene's frames
  std::optional<int64_t> lastFrame;
  bool check = false;   // report topology per frame on stdout
  bool stats = false;   // collect per-frame statistics (turns "Log_time" on)
  // A run whose every frame is empty succeeds (a part of a longer shot, as a
  // farm's task runs it); otherwise it fails.
  bool allowEmpty = false;
  // Memory budget in bytes (0: none): a scene whose voxel lattices need more
  // is refused before it runs.
  // For the whole run: with several jobs, each worker process gets an equal
  // share and the number of jobs is lowered until the lattices fit.
  uint64_t memoryLimit = 0;
  // Worker processes for independent frames (0: one per core; 1: all frames
  // in this process). Needs `toolPath` and `source`.
  int jobs = 1;
  // Threads of each process for the plug-in's work and the tool's own (0:
  // the cores shared among the processes: one per core in this process, or
  // max(1, cores / jobs) in each worker). The files are the same bytes at any
  // count.
  int threads = 0;
  // The glomora executable started as a worker.
  std::string toolPath;
  SceneSource source;
  // Called after each frame's mesh file is written (volumes, pictures), in
  // this process, also for the frames of worker processes (and, in a
  // session that writes no files, after each frame's evaluation, with an
  // empty file name). A false return stops the run with exit status 1 and
  // the message in `error`.
  std::function<bool(const WrittenFrame& frame, std::string& error)> afterFrame;
  RunHooks hooks;
};

struct RunResult {
  int exitCode = kExitSuccess;
  // The message of the failure that set `exitCode` (also shown as an error).
  std::string error;
  // The scene was refused before it ran: its lattices need more than the
  // memory limit.
  bool overMemoryBudget = false;
  // With RunOptions::stats: {"scene", "frames": [...], "processes": worker
  // processes, or 1 when the frames ran in this process}.
  nlohmann::ordered_json stats;
  int64_t filesWritten = 0;
  std::string firstFile;
  std::string lastFile;
};

// Runs `scene` (parameters already overridden; options.source describes the
// same scene to a worker). Messages go to `display` (stderr) and, for
// --check, to stdout (in frame order).
RunResult RunScene(const SceneDescription& scene, const RunOptions& options, ProgressDisplay& display);

// False with the message when the voxel lattices that frames first..last of
// `scene` need exceed `memoryLimit` bytes (0: no limit); `label` starts the
// message.
bool CheckMemoryBudget(const SceneDescription& scene, int64_t first, int64_t last, uint64_t memoryLimit,
                       const std::string& label, std::string& error);

// Makes the folder of the scene's cache files: the plug-in opens its cache
// files but makes no folder (that is the host's business). A failure is a
// warning; the plug-in then reports each file it cannot write. A run that may
// write cache files with a "Cache_filename" the plug-in refuses (empty, no
// file name, characters a file name cannot hold) would write none without a
// word: that is a warning too.
void PrepareCacheFiles(const SceneDescription& scene, ProgressDisplay& display);

// True when every frame of first..last can be evaluated on its own: "Space"
// is 1, or "Mode" is 3 (cache playback), at each of them. Animated values
// are read at every frame (a range of more than 100000 frames with animated
// "Space" or "Mode" counts as dependent).
bool FramesAreIndependent(const SceneDescription& scene, int64_t first, int64_t last);

// The number of worker processes a run of `frames` independent frames uses
// for `jobs` asked (0: one per core), at most one per frame, lowered so that
// `jobs` lattices of `latticeBytes` fit in `memoryLimit` (0: no limit).
int JobsFor(int jobs, int64_t frames, uint64_t latticeBytes, uint64_t memoryLimit);

// The threads each of `processes` processes uses for `threads` asked (0: the
// cores shared among them, at least one each).
int ThreadsFor(int threads, int processes);

// Sets the thread count of the plug-in (Glomora_SetThreadCount) and of the
// tool's own work in this process.
void UseThreads(int threads);
