#pragma once
// FarmPlan: the work of meshing several shots (scene files), split into tasks
// that a render farm can run on any of its machines, each a `glomora run`
// command line, with the order some of them need. The JSON form is what
// `glomora plan` prints; the README ("Farm plans") documents it.
//
// How a shot splits (frames first..last):
// - Independent frames (every frame in Space 1, Space 0 in Mode 3, cache
//   playback; see FramesAreIndependent): chunks of at most `chunk` frames,
//   one task each, in any order on any machine. Playback chunks run after the
//   task of this plan that writes the cache files they read, if any.
// - Space 0 in Mode 2 with a usable "Cache_filename" and no operator-level
//   parameter animated (the element settings and the sources may be): a
//   simulation task evaluates the last frame only, so that the plug-in steps
//   through every frame from "Start_frame" and writes each one's cache file
//   as it goes, and the tool writes that frame's mesh; then playback chunks
//   write the meshes of the other frames from the cache files (the scene with
//   "Mode" 3), after the simulation. The files are the same bytes as those of
//   `glomora run` over first..last: a cache file holds the frame's mesh before
//   post-processing, which playback applies again with the same settings.
// - Any other Space 0 scene (Modes 0 and 1, or an animated parameter that the
//   plug-in reads once per evaluation, which playback would read differently):
//   one simulation task, `glomora run` over first..last as it is.
//
// Every path in a plan is absolute; the tasks read and write them on shared
// storage, so the scene files and what they read, the cache folder and the
// output folder must be the same paths on every machine.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct FarmTask {
  std::string id;           // "SHOT:simulation", or "SHOT:A-B" for the frames A to B
  bool simulation = false;  // a simulation (carries the field from frame to frame) or a chunk of independent frames
  int64_t firstFrame = 0;   // the frames whose meshes it writes
  int64_t lastFrame = 0;
  std::vector<std::string> argv;   // the command line: the glomora executable, "run", ...
  std::vector<std::string> files;  // what it writes: the mesh files in frame order, then the cache files
  std::vector<std::string> layers; // with --usd: the USD layers it writes, one per frame, in frame order
  std::vector<std::string> reads;  // the cache files it plays back
  std::vector<std::string> after;  // ids of the tasks that must succeed before it starts
};

struct FarmShot {
  std::string name;   // the scene's "name"
  std::string scene;  // the scene file
  int64_t firstFrame = 0;
  int64_t lastFrame = 0;
  std::vector<FarmTask> tasks;  // the simulation first, when there is one
};

struct FarmPlan {
  std::vector<FarmShot> shots;  // in the order of the scene files
};

struct PlanRequest {
  std::vector<std::string> scenes;     // scene files, one shot each
  std::string output;                  // output pattern as for `glomora run --output`
  // Empty, or a USD layer pattern as for `glomora run --usd`, with a frame
  // number: each task writes its frames' layers.
  std::string usd;
  std::optional<int64_t> firstFrame;   // instead of each scene's "frames"
  std::optional<int64_t> lastFrame;
  int64_t chunk = 10;                  // frames per task of independent frames (at least 1)
  std::string tool;                    // the glomora executable the tasks run
};

// Builds the plan. False with the exit status (2: bad input) and a message
// naming the file or option when a scene cannot be read, the output or USD
// pattern does not fit, two shots share a name, or two tasks would write the
// same file.
bool BuildFarmPlan(const PlanRequest& request, FarmPlan& plan, int& code, std::string& error);

// The plan as `glomora plan` prints it.
nlohmann::ordered_json FarmPlanJson(const FarmPlan& plan);

// A command line for a POSIX shell: each argument as it is when it holds only
// characters no shell treats specially, otherwise in single quotes.
std::string ShellCommand(const std::vector<std::string>& argv);
