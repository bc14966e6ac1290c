#include "farm_plan.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "front/glomora_api.h"
#include "output_pattern.h"
#include "parameter_catalogue.h"
#include "run_failure.h"
#include "scene_file.h"
#include "scene_plan.h"

namespace {

namespace fs = std::filesystem;

// A plan lists every file by name: this many in all is the most it takes
// (about 100 MB of JSON).
constexpr int64_t kMostPlannedFiles = 1000000;

XSI::LONG LongAt(const SceneDescription& scene, const char* name, int64_t frame) {
  return static_cast<XSI::LONG>(EffectiveParameter(scene, name).At(static_cast<double>(frame)));
}

bool IsAnimated(const SceneDescription& scene, const char* name) { return EffectiveParameter(scene, name).IsAnimated(); }

// Space 0 and "Mode" `mode` at every frame, neither animated.
bool IsGridScene(const SceneDescription& scene, int32_t mode) {
  return !IsAnimated(scene, "Space") && !IsAnimated(scene, "Mode") && LongAt(scene, "Space", 0) == 0 &&
         LongAt(scene, "Mode", 0) == mode;
}

// True when a Mode 2 simulation evaluated at its last frame alone writes the
// same cache files as one evaluated frame by frame: the plug-in reads its
// operator-level parameters once per evaluation (at the last frame, for every
// frame its recompute loop steps through) and the element settings at each
// stepped frame, so none of the former may be animated.
bool SimulatesInOneEvaluation(const SceneDescription& scene) {
  if (!IsGridScene(scene, 2) || CacheFileOf(scene, 0).empty()) return false;
  for (const ParameterSpec& p : OperatorParameters()) {
    if (!p.elementSetting && IsAnimated(scene, p.name.c_str())) return false;
  }
  return true;
}

std::string FramesText(int64_t first, int64_t last) {
  return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

// What every task of a shot shares.
struct ShotContext {
  const SceneDescription* scene = nullptr;
  std::string sceneFile;  // absolute
  std::string output;     // absolute pattern
  FramePattern target;    // the pattern with "{name}" replaced
  std::string tool;
  std::string usd;                    // absolute USD layer pattern, or empty
  std::optional<FramePattern> layers;  // with "{name}" replaced
};

std::vector<std::string> RunCommand(const ShotContext& shot, int64_t first, int64_t last) {
  // "--frames=A-B": a negative first frame would read as an option otherwise.
  std::vector<std::string> argv = {shot.tool, "run", shot.sceneFile, "--output", shot.output,
                                   "--frames=" + FramesText(first, last)};
  if (shot.layers) argv.insert(argv.end(), {"--usd", shot.usd});
  return argv;
}

void AddMeshes(const ShotContext& shot, FarmTask& task) {
  for (int64_t frame = task.firstFrame; frame <= task.lastFrame; ++frame) {
    task.files.push_back(shot.target.Expand(frame));
    if (shot.layers) task.layers.push_back(shot.layers->Expand(frame));
  }
}

// The cache files a Mode 2 simulation up to `last` writes: one per frame from
// "Start_frame" (frames before it compute nothing).
void AddWrittenCaches(const ShotContext& shot, int64_t last, FarmTask& task) {
  const int64_t start = LongAt(*shot.scene, "Start_frame", last);
  for (int64_t frame = start; frame <= last; ++frame) task.files.push_back(CacheFileOf(*shot.scene, frame));
}

FarmTask SimulationTask(const ShotContext& shot, const std::string& name, int64_t first, int64_t last) {
  FarmTask task;
  task.id = name + ":simulation";
  task.simulation = true;
  task.firstFrame = first;
  task.lastFrame = last;
  task.argv = RunCommand(shot, first, last);
  AddMeshes(shot, task);
  return task;
}

// Chunks of independent frames first..last; `playback`: the scene's own
// frames in Mode 3, reading the cache files.
void AddChunks(const ShotContext& shot, const std::string& name, int64_t first, int64_t last, int64_t chunk,
               bool playback, std::vector<FarmTask>& tasks) {
  for (int64_t from = first; from <= last; from += chunk) {
    FarmTask task;
    task.firstFrame = from;
    task.lastFrame = std::min(last, from + chunk - 1);
    task.id = name + ":" + FramesText(task.firstFrame, task.lastFrame);
    task.argv = RunCommand(shot, task.firstFrame, task.lastFrame);
    if (playback) task.argv.insert(task.argv.end(), {"--set", "Mode=3"});
    // One process per task: a farm gives each task its own share of a machine.
    task.argv.insert(task.argv.end(), {"--jobs", "1", "--allow-empty"});
    AddMeshes(shot, task);
    if (playback || IsGridScene(*shot.scene, 3)) {
      for (int64_t frame = task.firstFrame; frame <= task.lastFrame; ++frame) {
        // Frames before "Start_frame" read nothing; nor does a rejected cache name.
        std::string cache = frame >= LongAt(*shot.scene, "Start_frame", frame) ? CacheFileOf(*shot.scene, frame) : "";
        if (!cache.empty()) task.reads.push_back(std::move(cache));
      }
    }
    tasks.push_back(std::move(task));
  }
}

// The tasks of one shot (see farm_plan.h).
std::vector<FarmTask> ShotTasks(const ShotContext& shot, const ScenePlan& plan, const std::string& name,
                                int64_t chunk) {
  std::vector<FarmTask> tasks;
  const SceneDescription& scene = *shot.scene;
  const int64_t first = plan.firstFrame;
  const int64_t last = plan.lastFrame;
  if (plan.independentFrames) {
    AddChunks(shot, name, first, last, chunk, false, tasks);
  } else if (SimulatesInOneEvaluation(scene)) {
    FarmTask simulation = SimulationTask(shot, name, last, last);
    // Its one frame may be empty where the shot is not.
    simulation.argv.push_back("--allow-empty");
    AddWrittenCaches(shot, last, simulation);
    tasks.push_back(std::move(simulation));
    if (first < last) AddChunks(shot, name, first, last - 1, chunk, true, tasks);
    for (size_t i = 1; i < tasks.size(); ++i) tasks[i].after.push_back(tasks[0].id);
  } else {
    FarmTask simulation = SimulationTask(shot, name, first, last);
    // With "Start_frame" animated the frames it caches are not known beforehand.
    if (IsGridScene(scene, 2) && !IsAnimated(scene, "Start_frame") && !CacheFileOf(scene, 0).empty()) {
      AddWrittenCaches(shot, last, simulation);
    }
    tasks.push_back(std::move(simulation));
  }
  return tasks;
}

// The number of files a shot's plan lists, at most: its meshes, and its cache
// files read or written (from "Start_frame" on).
int64_t FilesToList(const SceneDescription& scene, int64_t first, int64_t last) {
  int64_t caches = 0;
  if (!IsAnimated(scene, "Start_frame")) caches = std::max<int64_t>(0, last - LongAt(scene, "Start_frame", last) + 1);
  return 2 * (last - first + 1) + caches;
}

// Each file written by one task only; playback tasks after the task that
// writes what they read.
bool LinkTasks(FarmPlan& plan, std::string& error) {
  std::map<std::string, std::string> writer;
  for (const FarmShot& shot : plan.shots) {
    for (const FarmTask& task : shot.tasks) {
      std::vector<std::string> written = task.files;
      written.insert(written.end(), task.layers.begin(), task.layers.end());
      for (const std::string& file : written) {
        const auto [at, added] = writer.emplace(file, task.id);
        if (!added) {
          error = file + ": written by both " + at->second + " and " + task.id +
                  ": give each shot files of its own (\"{name}\" in --output, its own \"Cache_filename\")";
          return false;
        }
      }
    }
  }
  for (FarmShot& shot : plan.shots) {
    for (FarmTask& task : shot.tasks) {
      for (const std::string& file : task.reads) {
        const auto at = writer.find(file);
        if (at == writer.end() || at->second == task.id) continue;
        if (std::find(task.after.begin(), task.after.end(), at->second) == task.after.end()) {
          task.after.push_back(at->second);
        }
      }
    }
  }
  return true;
}

fs::path Absolute(const std::string& path) {
  std::error_code ignored;
  return fs::absolute(path, ignored).lexically_normal();
}

}  // namespace

bool BuildFarmPlan(const PlanRequest& request, FarmPlan& plan, int& code, std::string& error) {
  code = kExitBadInput;
  plan = FarmPlan();
  if (request.output.empty()) {
    error = "--output: a pattern is needed (the tasks of a plan run on other machines)";
    return false;
  }
  const std::string output = Absolute(request.output).string();
  std::vector<SceneDescription> scenes(request.scenes.size());
  std::map<std::string, std::string> sceneOfName;
  int64_t files = 0;
  for (size_t i = 0; i < request.scenes.size(); ++i) {
    // 1) the scene and its frames
    const std::string& sceneFile = request.scenes[i];
    SceneDescription& scene = scenes[i];
    if (!LoadSceneFile(sceneFile, scene, error)) {
      error = sceneFile + ": " + error;
      return false;
    }
    const auto [named, added] = sceneOfName.emplace(scene.name, sceneFile);
    if (!added) {
      error = sceneFile + ": the shot \"" + scene.name + "\" is also the name of " + named->second +
              ": every shot of a plan needs a \"name\" of its own";
      return false;
    }
    ScenePlan scenePlan;
    if (!PlanScene(scene, request.firstFrame, request.lastFrame, scenePlan, error)) {
      error = sceneFile + ": the first frame comes after the last";
      return false;
    }
    const int64_t first = scenePlan.firstFrame;
    const int64_t last = scenePlan.lastFrame;
    files += FilesToList(scene, first, last);
    if (files > kMostPlannedFiles) {
      error = sceneFile + ": more than " + std::to_string(kMostPlannedFiles) +
              " files to list in one plan: plan fewer frames (--frames) or fewer shots at a time";
      return false;
    }

    // 2) its output files, checked as `glomora run` checks them
    std::optional<FramePattern> target =
        ResolveOutputPattern("--output", output, scene.name, {".obj", ".ply"}, last > first, error);
    if (!target) {
      error = sceneFile + ": " + error;
      return false;
    }

    // 3) its USD layers: one per frame, each task writing those of its own
    // frames (a layer of the whole shot would need every task's frames)
    ShotContext context{&scene, Absolute(sceneFile).string(), output, std::move(*target), request.tool, {}, {}};
    if (!request.usd.empty()) {
      context.usd = Absolute(request.usd).string();
      context.layers = ResolveOutputPattern("--usd", context.usd, scene.name, {".usda"}, true, error);
      if (!context.layers) {
        error = sceneFile + ": " + error + " (a farm's tasks write one USD layer per frame)";
        return false;
      }
    }

    // 4) its tasks
    FarmShot shot;
    shot.name = scene.name;
    shot.scene = context.sceneFile;
    shot.firstFrame = first;
    shot.lastFrame = last;
    shot.tasks = ShotTasks(context, scenePlan, scene.name, std::max<int64_t>(1, request.chunk));
    plan.shots.push_back(std::move(shot));
  }
  return LinkTasks(plan, error);
}

nlohmann::ordered_json FarmPlanJson(const FarmPlan& plan) {
  nlohmann::ordered_json json;
  json["glomora"] = Glomora_Version();
  json["exit_status"] = {{"0", "success"},
                         {"1", "failed: running the task again may help"},
                         {"2", "bad input: running the task again cannot help"},
                         {"130", "cancelled"}};
  json["shots"] = nlohmann::ordered_json::array();
  for (const FarmShot& shot : plan.shots) {
    nlohmann::ordered_json tasks = nlohmann::ordered_json::array();
    for (const FarmTask& task : shot.tasks) {
      tasks.push_back({{"id", task.id},
                       {"kind", task.simulation ? "simulation" : "frames"},
                       {"frames", {task.firstFrame, task.lastFrame}},
                       {"command", ShellCommand(task.argv)},
                       {"argv", task.argv},
                       {"files", task.files},
                       {"layers", task.layers},
                       {"reads", task.reads},
                       {"after", task.after}});
    }
    json["shots"].push_back({{"name", shot.name},
                             {"scene", shot.scene},
                             {"frames", {shot.firstFrame, shot.lastFrame}},
                             {"tasks", std::move(tasks)}});
  }
  return json;
}

std::string ShellCommand(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& arg : argv) {
    if (!line.empty()) line += ' ';
    const bool plain = !arg.empty() && std::all_of(arg.begin(), arg.end(), [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
             std::string_view("_-./=:+,@%").find(c) != std::string_view::npos;
    });
    if (plain) {
      line += arg;
      continue;
    }
    line += '\'';
    for (char c : arg) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += '\'';
  }
  return line;
}
