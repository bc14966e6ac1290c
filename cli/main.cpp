// glomora: the command-line host. Builds a host scene from a scene file (or the
// built-in demo), evaluates the plug-in's operators frame by frame as the 3D
// host plays its timeline, and writes one mesh file per frame.

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "atomic_file.h"
#include "contact_sheet.h"
#include "demo_scene.h"
#include "farm_commands.h"
#include "frame_outputs.h"
#include "frame_range.h"
#include "frame_runner.h"
#include "tool_threads.h"
#include "glomora_api.h"
#include "interrupt.h"
#include "job_runner.h"
#include "memory_limit.h"
#include "png_image.h"
#include "progress_display.h"
#include "scene_file.h"

namespace {

struct CommonOptions {
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
};

void AddCommonOptions(CLI::App& command, CommonOptions& options) {
  command.add_option("--output,-o", options.output,
                     "Output files: a name with the frame number as #### or %04d, and \"{name}\" for the scene's "
                     "name; .obj or .ply [default: glomora-out/{name}.####.obj]")
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
  command.add_option("--preview-size", options.previewSize, "Size of the pictures: W or WxH pixels [default: 768]")
      ->type_name("W[xH]");
}

void PrintError(const std::string& text) { std::fprintf(stderr, "glomora: error: %s\n", text.c_str()); }

bool ParseFrames(const std::string& text, RunOptions& run) {
  int64_t first = 0;
  int64_t last = 0;
  if (!ParseFrameRange(text, first, last)) return false;
  run.firstFrame = first;
  run.lastFrame = last;
  return true;
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

// This executable, started again as a worker of --jobs; empty when the system
// cannot say (the frames then run in this process).
std::string ToolPath() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// The file patterns of one scene's run: meshes (--output), volumes, pictures.
struct SceneOutputs {
  std::string mesh;
  std::string volume;
  std::string preview;
};

// Runs each scene in turn; writes the statistics file; prints where the files went.
int RunScenes(std::vector<SceneDescription> scenes, const std::vector<SceneSource>& sources,
              const std::vector<SceneOutputs>& outputs, const CommonOptions& common, const std::string& label) {
  RunOptions run;
  run.label = label;
  run.jobs = common.jobs;
  run.threads = common.threads;
  run.toolPath = ToolPath();
  run.check = common.check;
  run.allowEmpty = common.allowEmpty;
  run.stats = !common.statsFile.empty();
  if (!common.frames.empty() && !ParseFrames(common.frames, run)) {
    PrintError("--frames " + common.frames + ": expected A-B (A <= B) or N");
    return kExitBadInput;
  }
  FrameOutputOptions extra;
  if (!common.previewSize.empty() && !ParsePictureSize(common.previewSize, extra.previewWidth, extra.previewHeight)) {
    PrintError("--preview-size " + common.previewSize + ": expected W or WxH, each from " +
               std::to_string(kMinPictureSide) + " to " + std::to_string(kMaxPictureSide) + " pixels");
    return kExitBadInput;
  }
  run.memoryLimit = DefaultMemoryLimit();
  if (!common.maxMemory.empty() && !ParseMemorySize(common.maxMemory, run.memoryLimit)) {
    PrintError("--max-memory " + common.maxMemory + ": expected a size such as 4G, 512M or 1048576");
    return kExitBadInput;
  }
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
    run.source = sources[i];
    extra.volume = outputs[i].volume;
    extra.preview = outputs[i].preview;
    RunResult result = RunSceneWithOutputs(scenes[i], run, extra, display);
    status = WorseStatus(status, result.exitCode);
    if (run.stats) stats["runs"].push_back(std::move(result.stats));
    if (result.filesWritten > 0 && !common.quiet) {
      std::printf("glomora: %s: wrote %lld file%s: %s%s%s\n", scenes[i].name.c_str(),
                  static_cast<long long>(result.filesWritten), result.filesWritten == 1 ? "" : "s",
                  result.firstFile.c_str(), result.filesWritten > 1 ? " ... " : "",
                  result.filesWritten > 1 ? result.lastFile.c_str() : "");
      std::fflush(stdout);
    }
    if (result.exitCode == kExitBadInput || result.exitCode == kExitCancelled) break;
  }
  if (run.stats && status != kExitBadInput) {
    std::string error;
    if (!WriteFileAtomically(common.statsFile, stats.dump(2) + "\n", error)) {
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

bool ApplySets(const CommonOptions& common, SceneDescription& scene) {
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

std::string DefaultOutput(const CommonOptions& common) {
  return common.output.empty() ? "glomora-out/{name}.####.obj" : common.output;
}

// The demo's second run writes next to the first: "{name}" names it, and a
// pattern without "{name}" gets "_tracked" before its extension.
std::string TrackedOutput(const std::string& output) {
  if (output.find("{name}") != std::string::npos) return output;
  const std::filesystem::path path(output);
  return (path.parent_path() / (path.stem().string() + "_tracked" + path.extension().string())).string();
}

// What a worker needs to build the same scene: the text, the folder relative
// paths start from, the --set overrides and a new name.
SceneSource MakeSource(std::string text, std::filesystem::path baseDir, const CommonOptions& common,
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

int RunCommand(const std::string& sceneFile, const CommonOptions& common) {
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
  return RunScenes({scene}, {source}, {SceneOutputs{DefaultOutput(common), common.volume, common.preview}}, common,
                   sceneFile);
}

int DemoCommand(bool printScene, const CommonOptions& common) {
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
  const std::string output = DefaultOutput(common);
  const std::string text(DemoSceneText());
  const std::vector<SceneSource> sources = {MakeSource(text, WorkingFolder(), common),
                                            MakeSource(text, WorkingFolder(), common, {"Space=1"}, tracked.name)};
  auto trackedOf = [](const std::string& pattern) { return pattern.empty() ? pattern : TrackedOutput(pattern); };
  return RunScenes({grid, tracked}, sources,
                   {SceneOutputs{output, common.volume, common.preview},
                    SceneOutputs{TrackedOutput(output), trackedOf(common.volume), trackedOf(common.preview)}},
                   common, "demo");
}

struct PreviewOptions {
  std::vector<std::string> files;
  std::string sheet;
  std::string cellSize;
  int32_t columns = 0;
};

int PreviewCommand(const PreviewOptions& options) {
  SetToolThreads(ThreadsFor(0, 1));  // the pictures are the same bits at any count
  SheetLayout layout;
  if (!options.cellSize.empty() && !ParsePictureSize(options.cellSize, layout.cellWidth, layout.cellHeight)) {
    PrintError("--cell-size " + options.cellSize + ": expected W or WxH, each from " +
               std::to_string(kMinPictureSide) + " to " + std::to_string(kMaxPictureSide) + " pixels");
    return kExitBadInput;
  }
  layout.columns = options.columns;
  std::string extension = std::filesystem::path(options.sheet).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension != ".png") {
    PrintError("--sheet " + options.sheet + ": the file name must end in .png");
    return kExitBadInput;
  }
  Picture sheet;
  std::string error;
  if (!MakeContactSheet(options.files, layout, sheet, error)) {
    PrintError(error);
    return kExitBadInput;
  }
  std::string bytes;
  const std::filesystem::path folder = std::filesystem::path(options.sheet).parent_path();
  std::error_code ignored;
  if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
  if (!EncodePng(sheet, bytes, error) || !WriteFileAtomically(options.sheet, bytes, error)) {
    PrintError(options.sheet + ": " + error);
    return kExitFailure;
  }
  std::printf("glomora: wrote %s (%d x %d, %zu frame%s)\n", options.sheet.c_str(), sheet.width, sheet.height,
              options.files.size(), options.files.size() == 1 ? "" : "s");
  return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  // Memory the system hands out afresh costs a page fault and zeroing per
  // page on first touch: on these machines about 3 ms per MB with 4 KiB
  // pages and 0.1 to 0.5 ms per MB with 2 MiB pages, more than the work done
  // in it. So the allocator is asked for transparent huge pages everywhere
  // (the lattices, the mesh arrays and the writers' buffers alike), through
  // its tunable, which it reads at start: the tool starts itself again, once,
  // with it set (about 2 ms), and its worker processes inherit it. Measured
  // on 100,000 particles at resolution 128 with normals off: 7,000 page
  // faults and 370 ms of processor time without, 730 and 170 ms with.
  // Only the commands that evaluate scenes gain (a worker started by another
  // program than the tool has not inherited it); --version, --help, plan,
  // submit and preview start once.
  const bool evaluates = argc > 1 && (std::strcmp(argv[1], "run") == 0 || std::strcmp(argv[1], "demo") == 0 ||
                                      std::strcmp(argv[1], "worker") == 0);
  const std::string tunables = evaluates ? HugePageTunables(std::getenv("GLIBC_TUNABLES")) : std::string();
  const std::string self = ToolPath();  // by its own name, so that it stays "glomora" in process lists
  if (!tunables.empty() && !self.empty() && ::setenv("GLIBC_TUNABLES", tunables.c_str(), 1) == 0) {
    ::execv(self.c_str(), argv);  // returns only when it failed: go on as we are
  }
  KeepFreedMemory();
  CLI::App app("glomora: turns metaball sources (particle clouds, mesh points, spheres, cubes, cylinders) into one "
               "polygon mesh per frame, through the Glomora plug-in.",
               "glomora");
  app.set_version_flag("--version,-V", std::string("glomora ") + Glomora_Version());
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 success, 1 failure (or every frame empty), 2 bad usage or bad input, 130 cancelled.\n"
      "Ctrl-C once: stop after the current frame (it is written); twice: stop at once.");

  CommonOptions runOptions;
  std::string sceneFile;
  CLI::App* run = app.add_subcommand("run", "Evaluate a scene file frame by frame and write one mesh file per frame");
  run->add_option("SCENE", sceneFile, "Scene file (JSON)")->required()->type_name("SCENE.json");
  AddCommonOptions(*run, runOptions);

  CommonOptions demoOptions;
  bool printScene = false;
  CLI::App* demo = app.add_subcommand(
      "demo", "Evaluate the built-in demo scene (Space 0 with viscosity, then the same scene in Space 1)");
  demo->add_flag("--print-scene", printScene, "Print the demo scene file and exit");
  AddCommonOptions(*demo, demoOptions);

  FarmCommandOptions farmOptions;
  const FarmCommands farm = AddFarmCommands(app, farmOptions);

  // A worker process of --jobs (job_runner.h): not for people.
  int workerFd = -1;
  long workerParent = 0;
  CLI::App* worker = app.add_subcommand("worker", "")->group("");
  worker->add_option("--fd", workerFd)->required();
  worker->add_option("--parent", workerParent)->required();

  PreviewOptions previewOptions;
  CLI::App* preview = app.add_subcommand("preview", "Draw OBJ or PLY files side by side as a contact sheet");
  preview->add_option("MESH_FILES", previewOptions.files, "Mesh files (.obj, .ply), one per frame")
      ->required()
      ->type_name("FILE");
  preview->add_option("--sheet", previewOptions.sheet, "The contact sheet to write")
      ->required()
      ->type_name("OUT.png");
  preview->add_option("--cell-size", previewOptions.cellSize, "Size of each frame's cell: W or WxH pixels [default: 256]")
      ->type_name("W[xH]");
  preview->add_option("--columns", previewOptions.columns, "Cells per row [default: about 3 for every 2 rows]")
      ->type_name("N")
      ->check(CLI::Range(1, 1000));

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitBadInput;
  }
  // Past the memory limit an allocation of the tool itself (not of the
  // plug-in, which handles its own) fails: report it instead of aborting.
  try {
    if (worker->parsed()) return RunWorker(workerFd, workerParent);
    if (run->parsed()) return RunCommand(sceneFile, runOptions);
    if (preview->parsed()) return PreviewCommand(previewOptions);
    if (farm.plan->parsed() || farm.submit->parsed()) return RunFarmCommand(farm, farmOptions, ToolPath());
    return DemoCommand(printScene, demoOptions);
  } catch (const std::bad_alloc&) {
    RemovePendingTemporaryFile();
    PrintError("out of memory (see --max-memory)");
    return kExitFailure;
  } catch (const std::exception& e) {
    // Any other failure of the tool's own code: reported, never an abort.
    RemovePendingTemporaryFile();
    PrintError(e.what());
    return kExitFailure;
  }
}
