#pragma once
// What a caller asks of a run of one scene (RunOptions) and hears while it
// runs: the tool's `glomora run`, a worker process of `--jobs` and the Python
// module all fill one.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "glomora_rig.h"
#include "mesh_data.h"
#include "output_pattern.h"

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
  // progress are finished and written, the run ends as cancelled).
  std::function<bool()> cancelRequested;
};

struct RunOptions {
  // Prefix of error messages about the scene: the scene file's name, or "demo".
  std::string label = "scene";
  // Output file pattern ("{name}" is the scene name; frame placeholders as in
  // frame_pattern.h; the extension .obj or .ply picks the format).
  std::string output{kDefaultOutputPattern};
  std::optional<int64_t> firstFrame;  // overrides the scene's frames
  std::optional<int64_t> lastFrame;
  // Beside each frame's mesh: its voxel field as an OpenVDB volume (a
  // pattern as `output`, ending in .vdb) and a picture (ending in .png) of
  // previewWidth x previewHeight pixels; empty: none.
  std::string volume;
  std::string preview;
  int32_t previewWidth = 768;
  int32_t previewHeight = 768;
  // A USD text layer of the run's meshes (a name ending in .usda, "{name}"
  // as in `output`): one file for the whole run, or one per frame when the
  // name holds a frame number (usd_shot.h); empty: none.
  std::string usd;
  bool check = false;   // report topology per frame on stdout
  bool stats = false;   // collect per-frame statistics (turns "Log_time" on)
  // A run whose every frame is empty succeeds (a part of a longer shot, as a
  // farm's task runs it); otherwise it fails.
  bool allowEmpty = false;
  // Memory budget in bytes (0: none): a scene whose voxel lattices need more
  // is refused before it runs. For the whole run: with several jobs, each
  // worker process gets an equal share and the number of jobs is lowered
  // until the lattices fit.
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
  // Called after each frame's mesh file is written (after its volume and
  // picture), in this process, also for the frames of worker processes (and,
  // in a session that writes no files, after each frame's evaluation, with
  // an empty file name). A false return stops the run as failed with the
  // message in `error`.
  std::function<bool(const WrittenFrame& frame, std::string& error)> afterFrame;
  RunHooks hooks;
};
