#pragma once
// SceneSession: one scene evaluated frame by frame in this process, as the 3D
// host plays its timeline: the host scene built from the description, the
// plug-in's operators started, and per frame the evaluation, the transfer
// operators, the mesh read back from the host and written to its file.
//
// The in-process run (in_process_run.h), a worker process of `--jobs`
// (worker_process.h) and the Python module drive it; the first asks for frames
// in order, a worker for the frames it is handed, which are independent of
// each other, the Python module for the frames its caller asks for, keeping
// each frame's mesh in memory instead of writing a file.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cache_failures.h"
#include "frame_pattern.h"
#include "host/host_scene.h"
#include "mesh_data.h"
#include "progress_display.h"
#include "run_failure.h"
#include "run_options.h"
#include "scene_file.h"

// Writes one frame's mesh to `file` as `glomora run` does (WriteMeshFile:
// OBJ, object `sceneName`, or binary PLY by the file's extension), the
// comment line naming the plug-in's version, the scene and the frame. False
// with `error` naming the file.
bool WriteFrameFile(const std::string& file, const MeshView& mesh, const std::string& sceneName, int64_t frame,
                    std::string& error);

// The mesh of one frame as the host holds it. The arrays are shared with the
// host (copied on write, so holding them copies nothing and a later frame
// leaves them as they are); `view` shows them in the writers' layout, its
// normals and UVs three values per polygon node, present when the plug-in
// made them.
struct FrameMesh {
  XSI::MATH::CVector3Array vertices;
  XSI::CLongArray polygons;
  XSI::CDoubleArray nodeNormals;
  XSI::CDoubleArray nodeUVs;
  // The per-vertex values of the scene's "transfer" (velocity "v" first),
  // carried from the elements onto the vertices.
  std::vector<VertexAttribute> attributes;
  MeshView view;
};

// The width of a transferred value: 3 for the velocity "v", else that of
// the sources' attribute of that name (1 when none has it).
int32_t TransferWidth(const SceneDescription& scene, const std::string& name);

// What one evaluated frame gave.
struct FrameRecord {
  int64_t frame = 0;  // the frame written: the one asked, or the one the recompute loop reached when cancelled
  std::string file;   // empty when the session writes no files
  size_t vertices = 0;
  size_t polygons = 0;
  bool empty = false;
  bool failed = false;           // the frame failed: nothing written; stats hold "frame", "failed", "error"
  std::string checkLine;         // the --check report line (no newline), when asked
  nlohmann::ordered_json stats;  // the frame's entry of --stats
};

class SceneSession {
 public:
  // Where the host's log lines (those to show) and progress bar go.
  struct Observers {
    std::function<void(const std::string&)> hostLog;
    std::function<void(const XSI::Host::ProgressState&, XSI::Host::ProgressEvent)> hostProgress;
  };
  // The host's log lines and progress bar shown on `display`; at each of the
  // bar's events a true `cancelRequested` (when given) presses its Cancel button.
  static Observers ShownOn(ProgressDisplay& display, std::function<bool()> cancelRequested);

  SceneSession();
  ~SceneSession();  // ends the plug-in's instance (Glomora_Term)
  SceneSession(const SceneSession&) = delete;
  SceneSession& operator=(const SceneSession&) = delete;

  // Builds the host scene for frames first..last and starts the plug-in.
  // `scene` and `output` (the pattern of the mesh files, "{name}" replaced)
  // must outlive the session; a null `output` writes no files (Evaluate then
  // hands the mesh to its caller). False with the failure and its message
  // (bad input, a missing file, or the plug-in could not start).
  bool Open(const SceneDescription& scene, const RunOptions& options, const FramePattern* output, int64_t first,
            int64_t last, Observers observers, RunFailure& failure, std::string& error);

  enum class Outcome {
    Written,   // `record` holds the frame written
    Nothing,   // cancelled before the recompute loop stepped a frame: nothing written
    Failed,    // failure and error say why
  };
  // Evaluates `frame` and writes its file (when the session has a target).
  // With `mesh`, the frame's mesh is also kept there. A frame that fails
  // leaves `record` with the frame asked, `failed` and its --stats entry.
  // Mode 3 plays a frame back only from a sound cache file (cache_playback.h);
  // a frame the plug-in logs " -> not enough memory." for fails (OutOfMemory,
  // or OverBudget when it refused the frame's tiles under the budget).
  Outcome Evaluate(int64_t frame, FrameRecord& record, RunFailure& failure, std::string& error,
                   FrameMesh* mesh = nullptr);
  // Gives the plug-in the value the scene now holds for parameter `name`, as
  // the host does when a parameter changes between two frames: the plug-in
  // reads it at the next evaluation and keeps what it has simulated so far.
  void ParameterChanged(const std::string& name);
  // The budget of the plug-in's voxel lattices from the next Evaluate on
  // (RunOptions::memoryLimit; 0: none). Each Evaluate hands it to the
  // plug-in (Glomora_SetLatticeBudget), which refuses a frame of tiled
  // lattices whose tiles would not fit: that frame fails with
  // RunFailure::OverBudget, naming the need and the limit.
  void SetMemoryLimit(uint64_t bytes);
  // The host's Cancel button was pressed during the last Evaluate.
  bool Cancelled() const { return cancelled_; }
  // The cache files the plug-in reported it could not write, so far.
  const CacheWriteFailures& CacheFailures() const;

 private:
  Outcome EvaluateFrame(int64_t frame, FrameRecord& record, RunFailure& failure, std::string& error,
                        FrameMesh* mesh);

  struct State;
  std::unique_ptr<State> state_;
  bool cancelled_ = false;
};
