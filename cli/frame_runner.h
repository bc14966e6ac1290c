#pragma once
// The command-line host's timeline: evaluates a scene frame by frame through
// the plug-in's callbacks, as the 3D host plays its timeline, and writes one
// mesh file per frame.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

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

// A frame whose mesh file was just written, for RunOptions::afterFrame.
struct WrittenFrame {
  int64_t frame;            // its number (the frame the plug-in reached)
  const std::string& file;  // the mesh file
  const MeshData& mesh;     // what the file holds
  const GlomoraRig& rig;    // the plug-in as that frame's evaluation left it (Glomora_GetField)
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
  // Memory budget in bytes (0: none): a scene whose voxel lattices need more
  // is refused before it runs.
  uint64_t memoryLimit = 0;
  // Called after each frame's mesh file is written (volumes, pictures). A
  // false return stops the run with exit status 1 and the message in `error`.
  std::function<bool(const WrittenFrame& frame, std::string& error)> afterFrame;
};

struct RunResult {
  int exitCode = kExitSuccess;
  // With RunOptions::stats: {"scene", "frames": [...]}.
  nlohmann::ordered_json stats;
  int64_t filesWritten = 0;
  std::string firstFile;
  std::string lastFile;
};

// Runs `scene` (parameters already overridden). Messages go to `display`
// (stderr) and, for --check, to stdout.
RunResult RunScene(const SceneDescription& scene, const RunOptions& options, ProgressDisplay& display);
