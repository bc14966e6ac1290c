// `glomora run SCENE` and `glomora demo`: scenes evaluated frame by frame,
// one mesh file per frame; and `glomora worker`, a worker process of --jobs.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "command.h"
#include "demo_scene.h"
#include "file_names.h"
#include "frame_range.h"
#include "front/glomora_api.h"
#include "interrupt.h"
#include "output_pattern.h"
#include "parameter_catalogue.h"
#include "picture.h"
#include "process_memory.h"
#include "progress_display.h"
#include "run_scene.h"
#include "scene_file.h"
#include "worker_process.h"

namespace {

// The options `run` and `demo` share.
struct RunCommandOptions {
  std::string output;
  std::string frames;
  std::vector<std::string> sets;
  bool check = false;
  bool allowEmpty = false;
  std::string statsFile;
  bool quiet = false;
  std::string maxMemory;
  int jobs = 0;
  int threads = 0;
  std::string volume;
  std::string preview;
  std::string previewSize;
  std::string usd;
  std::string lattice;
};

void AddRunOptions(CLI::App& command, RunCommandOptions& options) {
  command.add_option("--output,-o", options.output,
                     "Output files: a name with the frame number as #### or %04d, and \"{name}\" for the scene's "
                     "name; .obj or .ply [default: " + std::string(kDefaultOutputPattern) + "]")
      ->type_name("PATTERN");
  command.add_option("--frames,-f", options.frames, "Frames to evaluate: A-B or N [default: the scene's \"frames\"]")
      ->type_name("A-B");
  command.add_option("--set,-s", options.sets, "Override an operator parameter: NAME=VALUE (repeatable)")
      ->type_name("NAME=VALUE")
      ->expected(1)
      ->take_all();
  command.add_flag("--check", options.check,
                   "Report per frame whether the mesh is closed, 2-manifold and consistently oriented");
  command.add_flag("--allow-empty", options.allowEmpty,
                   "Succeed when every frame is empty (for a part of a longer shot; a farm plan's tasks use it)");
  command.add_option("--stats", options.statsFile, "Write per-frame counts, stage timings and memory to FILE.json")
      ->type_name("FILE.json");
  command.add_flag("--quiet,-q", options.quiet, "Show only warnings and errors");
  command.add_option("--max-memory", options.maxMemory,
                     "Memory budget: a scene whose voxel lattices need more is refused, and the process may not "
                     "grow past it (K, M, G suffixes) [default: half the physical memory]")
      ->type_name("SIZE");
  command.add_option("--jobs,-j", options.jobs,
                     "Worker processes for independent frames (Space 1, or Mode 3 cache playback), 1 for none; "
                     "Space 0 in Modes 0-2 carries the field from frame to frame and always runs in one process "
                     "[default: 0, one per core]")
      ->type_name("N")
      ->check(CLI::Range(0, kMaxForwarded));
  command.add_option("--threads,-t", options.threads,
                     "Threads per process for the plug-in's work and the tool's own; the files are the same bytes "
                     "at any count [default: 0, the cores shared among the processes: one per core in one "
                     "process, cores / jobs in each worker]")
      ->type_name("N")
      ->check(CLI::Range(0, 1024));
  command.add_option("--volume", options.volume,
                     "Also write each frame's voxel field (Space 0) as an OpenVDB volume: a name ending in .vdb, "
                     "frame number and \"{name}\" as for --output")
      ->type_name("PATTERN.vdb");
  command.add_option("--preview", options.preview,
                     "Also write a picture of each frame: a name ending in .png, frame number and \"{name}\" as "
                     "for --output")
      ->type_name("PATTERN.png");
  command.add_option("--usd", options.usd,
                     "Also write the meshes as one USD text layer with a time sample per frame: a name ending in "
                     ".usda, \"{name}\" as for --output; with a frame number, one layer per frame")
      ->type_name("FILE.usda");
  command.add_option("--lattice", options.lattice,
                     "Storage of the voxel lattices (Space 0): auto, dense or sparse (tiles where the field is); "
                     "the same bytes either way [default: auto, sparse for large lattices of bounded elements]")
      ->type_name("STORAGE")
      ->check(CLI::IsMember({"auto", "dense", "sparse"}));
  command.add_option("--preview-size", options.previewSize, "Size of the pictures: W or WxH pixels [default: 768]")
      ->type_name("W[xH]");
}

// Exit statuses in order of precedence when several runs report.
int WorseStatus(int a, int b) {
  auto rank = [](int status) {
    switch (status) {
      case kExitCancelled: return 3;
      case kExitBadInput: return 2;
      case kExitFailure: return 1;
      default: return 0;
    }
  };
  return rank(b) > rank(a) ? b : a;
}

// The file patterns of one scene's run: meshes (--output), volumes, pictures.
struct SceneOutputs {
  std::string mesh;
  std::string volume;
  std::string preview;
  std::string usd;
};

// The run every scene of the command shares, from its options; false (a
// message shown) when an option is bad.
bool MakeRunOptions(const RunCommandOptions& common, const std::string& label, RunOptions& run) {
  run.label = label;
  run.jobs = common.jobs;
  run.threads = common.threads;
  run.toolPath = ToolPath();
  run.check = common.check;
  run.allowEmpty = common.allowEmpty;
  run.stats = !common.statsFile.empty();
  if (!ParseFramesOption(common.frames, run.firstFrame, run.lastFrame)) return false;
  if (!common.previewSize.empty() && !ParsePictureSize(common.previewSize, run.previewWidth, run.previewHeight)) {
    PrintError("--preview-size " + common.previewSize + ": expected W or WxH, each from " +
               std::to_string(kMinPictureSide) + " to " + std::to_string(kMaxPictureSide) + " pixels");
    return false;
  }
  if (!common.lattice.empty()) {
    Glomora_SetLatticeStorage(common.lattice == "dense" ? 1 : common.lattice == "sparse" ? 2 : 0);
  }
  run.memoryLimit = DefaultMemoryLimit();
  if (!common.maxMemory.empty() && !ParseMemorySize(common.maxMemory, run.memoryLimit)) {
    PrintError("--max-memory " + common.maxMemory + ": expected a size such as 4G, 512M or 1048576");
    return false;
  }
  return true;
}

// Runs each scene in turn; writes the statistics file; prints where the files went.
int RunScenes(const std::vector<SceneDescription>& scenes, const std::vector<SceneSource>& sources,
              const std::vector<SceneOutputs>& outputs, const RunCommandOptions& common, const std::string& label) {
  RunOptions run;
  if (!MakeRunOptions(common, label, run)) return kExitBadInput;
  // Sanitizer builds keep only the lattice check (see LimitProcessMemory).
  std::string memoryNote;
  LimitProcessMemory(run.memoryLimit, memoryNote);
  InstallInterruptHandlers();
  ProgressDisplay display(common.quiet);
  nlohmann::ordered_json stats;
  stats["glomora"] = Glomora_Version();
  stats["runs"] = nlohmann::ordered_json::array();
  int status = kExitSuccess;
  for (size_t i = 0; i < scenes.size(); ++i) {
    if (InterruptRequested()) break;
    run.output = outputs[i].mesh;
    run.volume = outputs[i].volume;
    run.preview = outputs[i].preview;
    run.usd = outputs[i].usd;
    run.source = sources[i];
    RunResult result = RunScene(scenes[i], run, display);
    status = WorseStatus(status, result.ExitStatus());
    if (run.stats) stats["runs"].push_back(std::move(result.stats));
    if (result.filesWritten > 0 && !common.quiet) {
      std::printf("glomora: %s: wrote %lld file%s: %s%s%s\n", scenes[i].name.c_str(),
                  static_cast<long long>(result.filesWritten), result.filesWritten == 1 ? "" : "s",
                  result.firstFile.c_str(), result.filesWritten > 1 ? " ... " : "",
                  result.filesWritten > 1 ? result.lastFile.c_str() : "");
      std::fflush(stdout);
    }
    if (result.stats.contains("usd") && !common.quiet) {
      const auto& layers = result.stats["usd"];
      std::printf("glomora: %s: wrote %s%s%s\n", scenes[i].name.c_str(), layers.front().get<std::string>().c_str(),
                  layers.size() > 1 ? " ... " : "", layers.size() > 1 ? layers.back().get<std::string>().c_str() : "");
      std::fflush(stdout);
    }
    if (result.ExitStatus() == kExitBadInput || result.failure == RunFailure::Cancelled) break;
  }
  if (run.stats && status != kExitBadInput) {
    std::string error;
    if (!MakeParentFolder(common.statsFile, error) ||
        !WriteFileAtomically(common.statsFile, stats.dump(2) + "\n", error)) {
      PrintError(common.statsFile + ": " + error);
      status = WorseStatus(status, kExitFailure);
    }
  }
  return status;
}

// The working folder, or "." when the system cannot name it (it was removed).
std::filesystem::path WorkingFolder() {
  std::error_code failure;
  std::filesystem::path here = std::filesystem::current_path(failure);
  return failure ? std::filesystem::path(".") : here;
}

bool ApplySets(const RunCommandOptions& common, SceneDescription& scene) {
  const std::filesystem::path here = WorkingFolder();
  for (const std::string& assignment : common.sets) {
    std::string error;
    if (!ApplyParameterOverride(assignment, here, scene, error)) {
      PrintError(error);
      return false;
    }
  }
  return true;
}

std::string OutputOf(const RunCommandOptions& common) {
  return common.output.empty() ? std::string(kDefaultOutputPattern) : common.output;
}

// The demo's second run writes next to the first: "{name}" names it, and a
// pattern without "{name}" gets "_tracked" before its extension.
std::string TrackedOutput(const std::string& output) {
  if (output.empty() || output.find("{name}") != std::string::npos) return output;
  const std::filesystem::path path(output);
  return (path.parent_path() / (path.stem().string() + "_tracked" + path.extension().string())).string();
}

// What a worker needs to build the same scene: the text, the folder relative
// paths start from, the --set overrides and a new name.
SceneSource MakeSource(std::string text, std::filesystem::path baseDir, const RunCommandOptions& common,
                       std::vector<std::string> moreOverrides = {}, std::string name = {}) {
  SceneSource source{std::move(text), std::move(baseDir), {}, std::move(name)};
  const std::string here = WorkingFolder().string();
  for (const std::string& assignment : common.sets) {
    // --set takes a relative Cache_filename from the current folder, the
    // scene from its own: give the worker the absolute name.
    const size_t equals = assignment.find('=');
    const std::string parameter = assignment.substr(0, equals);
    std::string value = equals == std::string::npos ? std::string() : assignment.substr(equals + 1);
    if (parameter == "Cache_filename" && !value.empty() && std::filesystem::path(value).is_relative()) {
      value = (std::filesystem::path(here) / value).string();
    }
    source.overrides.push_back(equals == std::string::npos ? assignment : parameter + "=" + value);
  }
  for (std::string& assignment : moreOverrides) source.overrides.push_back(std::move(assignment));
  return source;
}

int RunSceneFile(const std::string& sceneFile, const RunCommandOptions& common) {
  SceneDescription scene;
  std::string error;
  std::vector<uint8_t> bytes;
  if (!LoadSceneFile(sceneFile, scene, error) || !ReadWholeFile(sceneFile, bytes, error)) {
    PrintError(sceneFile + ": " + error);
    return kExitBadInput;
  }
  if (!ApplySets(common, scene)) return kExitBadInput;
  std::filesystem::path baseDir = std::filesystem::path(sceneFile).parent_path();
  if (baseDir.is_relative()) baseDir = WorkingFolder() / baseDir;
  SceneSource source = MakeSource(std::string(bytes.begin(), bytes.end()), baseDir, common);
  return RunScenes({scene}, {source}, {SceneOutputs{OutputOf(common), common.volume, common.preview, common.usd}},
                   common, sceneFile);
}

int RunDemo(bool printScene, const RunCommandOptions& common) {
  if (printScene) {
    std::fwrite(DemoSceneText().data(), 1, DemoSceneText().size(), stdout);
    return kExitSuccess;
  }
  SceneDescription grid;
  std::string error;
  if (!ParseScene(DemoSceneText(), WorkingFolder(), grid, error)) {
    PrintError("demo: " + error);
    return kExitFailure;
  }
  if (!ApplySets(common, grid)) return kExitBadInput;
  // The same scene through the continuation polygonizer.
  SceneDescription tracked = grid;
  tracked.name = grid.name + "_tracked";
  std::string ignored;
  ApplyParameterOverride("Space=1", WorkingFolder(), tracked, ignored);
  const std::string output = OutputOf(common);
  const std::string text(DemoSceneText());
  const std::vector<SceneSource> sources = {MakeSource(text, WorkingFolder(), common),
                                            MakeSource(text, WorkingFolder(), common, {"Space=1"}, tracked.name)};
  return RunScenes({grid, tracked}, sources,
                   {SceneOutputs{output, common.volume, common.preview, common.usd},
                    SceneOutputs{TrackedOutput(output), TrackedOutput(common.volume), TrackedOutput(common.preview),
                                 TrackedOutput(common.usd)}},
                   common, "demo");
}

}  // namespace

Command RunCommand() {
  return {"run", "Evaluate a scene file frame by frame and write one mesh file per frame", true,
          [](CLI::App& command) -> std::function<int()> {
            auto options = std::make_shared<RunCommandOptions>();
            auto sceneFile = std::make_shared<std::string>();
            command.add_option("SCENE", *sceneFile, "Scene file (JSON)")->required()->type_name("SCENE.json");
            AddRunOptions(command, *options);
            // Before the required SCENE is asked for: CLI11 runs a flag's callback first.
            command.add_flag_callback(
                "--help-parameters",
                [] {
                  const std::string reference = ParameterReference();
                  std::fwrite(reference.data(), 1, reference.size(), stdout);
                  throw CLI::Success();
                },
                "Print every operator parameter (meaning, kind, default, accepted values, codes) and exit");
            return [options, sceneFile] { return RunSceneFile(*sceneFile, *options); };
          }};
}

Command DemoCommand() {
  return {"demo", "Evaluate the built-in demo scene (Space 0 with viscosity, then the same scene in Space 1)", true,
          [](CLI::App& command) -> std::function<int()> {
            auto options = std::make_shared<RunCommandOptions>();
            auto printScene = std::make_shared<bool>(false);
            command.add_flag("--print-scene", *printScene, "Print the demo scene file and exit");
            AddRunOptions(command, *options);
            return [options, printScene] { return RunDemo(*printScene, *options); };
          }};
}

Command WorkerCommand() {
  return {"worker", "", true, [](CLI::App& command) -> std::function<int()> {
            auto fd = std::make_shared<int>(-1);
            auto parent = std::make_shared<long>(0);
            command.add_option("--fd", *fd)->required();
            command.add_option("--parent", *parent)->required();
            return [fd, parent] { return RunWorker(*fd, *parent); };
          }};
}
