#pragma once
// SceneSession: one scene evaluated frame by frame in this process, as the 3D
// host plays its timeline: the host scene built from the description, the
// plug-in's operators started, and per frame the evaluation, the transfer
// operators, the mesh read back from the host and written to its file.
//
// The in-process run (frame_runner.cpp), a worker process of `--jobs`
// (job_runner.cpp) and the Python module drive it; the first asks for frames
// in order, a worker for the frames it is handed, which are independent of
// each other, the Python module for the frames its caller asks for, keeping
// each frame's mesh in memory instead of writing a file.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cache_files.h"
#include "frame_pattern.h"
#include "frame_runner.h"
#include "host/host_scene.h"
#include "mesh_data.h"
#include "scene_file.h"

// Where a scene's frames go: the pattern with "{name}" replaced (its
// extension, .obj or .ply, picks the format).
struct OutputTarget {
  FramePattern pattern;
};

// Checks `options.output` for `scene` and frames first..last; false with the
// exit code and message when it is unusable.
bool ResolveOutput(const SceneDescription& scene, const RunOptions& options, int64_t first, int64_t last,
                   std::optional<OutputTarget>& target, int& code, std::string& error);

// True when `file` ends in .obj or .ply (either case): a name the writers take.
bool IsMeshFileName(const std::string& file);

// Writes one frame's mesh to `file` as `glomora run` does: OBJ (object
// `sceneName`) or binary PLY by the file's extension, the comment line naming
// the plug-in's version, the scene and the frame; the folder made when
// missing; the file written whole under a temporary name first. False with
// `error` naming the file.
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
  MeshView view;
};

// What one evaluated frame gave.
struct FrameRecord {
  int64_t frame = 0;  // the frame written: the one asked, or the one the recompute loop reached when cancelled
  std::string file;   // empty when the session writes no files
  size_t vertices = 0;
  size_t polygons = 0;
  bool empty = false;
  std::string checkLine;         // the --check report line (no newline), when asked
  nlohmann::ordered_json stats;  // the frame's entry of --stats
};

// Shared by the run loops (frame_runner.cpp, job_runner.cpp): a result with
// the statistics' "scene" and an empty "frames", and the ending of a run that
// wrote `done` of `total` frames, `empty` of them empty: a cancelled run says
// so (exit 130), a run whose every frame was empty fails.
RunResult NewRunResult(const SceneDescription& scene);
// Says `message` as an error and gives `result` with exit status `code`.
RunResult FailRun(RunResult& result, ProgressDisplay& display, int code, const std::string& message);
void EndRun(RunResult& result, ProgressDisplay& display, bool cancelled, int64_t done, int64_t total, int64_t empty);

class SceneSession {
 public:
  // Where the host's log lines (those to show) and progress bar go.
  struct Observers {
    std::function<void(const std::string&)> hostLog;
    std::function<void(const XSI::Host::ProgressState&, XSI::Host::ProgressEvent)> hostProgress;
  };

  SceneSession();
  ~SceneSession();  // ends the plug-in's instance (Glomora_Term)
  SceneSession(const SceneSession&) = delete;
  SceneSession& operator=(const SceneSession&) = delete;

  // Builds the host scene for frames first..last and starts the plug-in.
  // `scene` and `target` must outlive the session; a null `target` writes no
  // files (Evaluate then hands the mesh to its caller). False with the exit
  // code and message (bad input, or the plug-in could not start).
  bool Open(const SceneDescription& scene, const RunOptions& options, const OutputTarget* target, int64_t first,
            int64_t last, Observers observers, int& code, std::string& error);

  enum class Outcome {
    Written,   // `record` holds the frame written
    Nothing,   // cancelled before the recompute loop stepped a frame: nothing written
    Failed,    // code and error say why
  };
  // Evaluates `frame` and writes its file (when the session has a target).
  // With `mesh`, the frame's mesh is also kept there.
  Outcome Evaluate(int64_t frame, FrameRecord& record, int& code, std::string& error, FrameMesh* mesh = nullptr);
  // Gives the plug-in the value the scene now holds for parameter `name`, as
  // the host does when a parameter changes between two frames: the plug-in
  // reads it at the next evaluation and keeps what it has simulated so far.
  void ParameterChanged(const std::string& name);
  // The host's Cancel button was pressed during the last Evaluate.
  bool Cancelled() const { return cancelled_; }
  // The cache files the plug-in reported it could not write, so far.
  const CacheWriteFailures& CacheFailures() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
  bool cancelled_ = false;
};
