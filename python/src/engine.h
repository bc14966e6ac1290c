#pragma once
// The Python module's side of the run loop: scenes as the module holds them,
// and the one host scene of the process that every Scene, surface() and
// run() share. Plain C++ (no Python calls): module.cpp turns Python values
// into these and the outcomes into Python objects and exceptions.
//
// The stand-in host is process-wide, like the 3D host's scene: at most one
// plug-in instance lives at a time. A Scene's evaluations keep theirs alive
// between calls (so its simulation carries over from frame to frame, as in
// the host); any other use of the engine (another Scene, surface(), run())
// ends it, and that Scene's next evaluation starts a new instance. All entry
// points serialise on one mutex and may be called from any thread.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "run_failure.h"
#include "run_options.h"
#include "run_result.h"
#include "scene_file.h"
#include "scene_session.h"

namespace glomora_python {

// How an engine call ended, beside its result: the runner's failure (None
// when it succeeded) and its message.
struct Outcome {
  RunFailure failure = RunFailure::None;
  std::string message;
};

// A scene as the module holds it: the scene file's text (the one truth: the
// description is parsed from it and a worker process rebuilds it from it),
// the folder its relative paths start from, and the parsed description.
class ModuleScene {
 public:
  // Parses `text`; relative paths from `baseDir` (absolute). `label` starts
  // error messages (the scene file's name; empty for a dict). False with the
  // outcome on a bad scene.
  static std::unique_ptr<ModuleScene> Parse(std::string text, std::filesystem::path baseDir, std::string label,
                                            Outcome& outcome);
  // Reads a scene file (relative paths from its folder).
  static std::unique_ptr<ModuleScene> Load(const std::filesystem::path& file, Outcome& outcome);
  // A scene of `parametersJson` (a JSON object of parameters, paths relative
  // to `baseDir`) and one point cloud of `points` (x, y, z each), frame 1.
  static std::unique_ptr<ModuleScene> ForPoints(const std::string& parametersJson, std::vector<double> points,
                                                std::filesystem::path baseDir, Outcome& outcome);
  // Ends this scene's plug-in instance if it is the live one.
  ~ModuleScene();

  const std::string& Text() const { return text_; }
  const std::filesystem::path& BaseDir() const { return baseDir_; }
  const SceneDescription& Description() const { return description_; }

  // Sets parameter `name` to `value` (as the file's "parameters" give it) in
  // the description and the text; a live instance of this scene gets it as
  // the host gives a changed parameter. False with the outcome when refused.
  bool SetParameter(const std::string& name, const nlohmann::ordered_json& value, Outcome& outcome);
  // Removes the parameter (it returns to its default).
  void ResetParameter(const std::string& name);

 private:
  friend class Engine;
  ModuleScene() = default;
  std::string text_;
  std::filesystem::path baseDir_;
  std::string label_;
  SceneDescription description_;
  uint64_t id_ = 0;
};

// A copy of the voxel field a Space 0 evaluation extracted its mesh from,
// in the tiles the plug-in hands out (GlomoraFieldTiles of glomora_api.h:
// tile t's first point is tileOrigins[3t .. 3t + 2], its point (i, j, k) is
// tileValues[512 t + ((i & 7) * 8 + (j & 7)) * 8 + (k & 7)]; every point of
// an unlisted tile, and every point past the lattice, is 0) so that a large
// sparse field costs what its tiles cost. Point (i, j, k) lies at
// origin + (i, j, k) * cellSize. A copy, because the plug-in's lattice
// changes at its next evaluation.
struct FieldCopy {
  std::vector<int32_t> tileOrigins;
  std::vector<float> tileValues;
  int32_t nx = 0, ny = 0, nz = 0;
  float cellSize[3] = {0.0f, 0.0f, 0.0f};
  float origin[3] = {0.0f, 0.0f, 0.0f};
  float isovalue = 0.0f;
};

// The dense lattice of a field copy: point (i, j, k) at (i * ny + j) * nz + k.
std::vector<float> DenseValues(const FieldCopy& field);

// What an evaluation gave: the frame's mesh (shared with the host, copied on
// write), its statistics (as --stats writes them, without "file") and, in
// Space 0 (Modes 0 to 2), its field.
struct Evaluation {
  std::shared_ptr<const FrameMesh> mesh;
  FrameRecord record;
  std::optional<FieldCopy> field;
};

struct EngineOptions {
  uint64_t memoryLimit = 0;  // bytes; 0: none
  int threads = 0;           // the plug-in's threads (0: one per core)
  RunHooks hooks;            // an evaluation asks only cancelRequested (at the host's progress events)
};

class Engine {
 public:
  // Evaluates `frame` of `scene` in the live instance (starting one over the
  // scene's frames and `frame` when the live one belongs to another scene).
  static Outcome Evaluate(ModuleScene& scene, int64_t frame, const EngineOptions& options, Evaluation& evaluation);
  // Ends the scene's instance when it is the live one (its simulation is lost).
  static void Close(const ModuleScene& scene);
  // Runs frames first..last as `glomora run` does (`options` as the tool's,
  // with the source and label filled here); ends any live instance first.
  static Outcome Run(const ModuleScene& scene, RunOptions options, bool quiet, RunResult& result);
  // Writes a frame's mesh as the tool does (WriteFrameFile). Taking turns
  // with the engine: the file writer keeps the name of the file it is
  // writing in one place per process.
  static bool WriteMesh(const std::string& file, const FrameMesh& mesh, const std::string& sceneName, int64_t frame,
                        std::string& error);
  // Ends the live instance, whoever's (at the interpreter's exit).
  static void Shutdown();
};

}  // namespace glomora_python
