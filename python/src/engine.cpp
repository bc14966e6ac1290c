#include "engine.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "atomic_file.h"
#include "front/glomora_api.h"
#include "host/host_scene.h"
#include "process_threads.h"
#include "progress_display.h"
#include "run_scene.h"
#include "run_start.h"
#include "scene_plan.h"

namespace glomora_python {

namespace {

// The one plug-in instance the process may hold, and whose scene it is.
// Never destroyed: at exit the host scene it points into may be gone first
// (the module ends the instance from Python's atexit instead, see Shutdown).
constexpr size_t kTileValues = 512;

struct Live {
  std::mutex mutex;
  uint64_t owner = 0;
  std::unique_ptr<SceneSession> session;
  // The hooks of the evaluation in progress, for the host's progress events,
  // and where its field goes.
  const RunHooks* hooks = nullptr;
  std::optional<FieldCopy>* field = nullptr;
  // Host log lines and warnings go to stderr, as the tool's -q shows them;
  // errors are raised instead.
  ProgressDisplay display{true, false};
};

Live& TheLive() {
  static Live* live = new Live;
  return *live;
}

std::atomic<uint64_t> nextSceneId{1};

// Must hold the mutex.
void EndLive(Live& live) {
  live.session.reset();
  live.owner = 0;
}

RunFailure FailureOf(SceneProblem problem) {
  return problem == SceneProblem::MissingFile ? RunFailure::MissingFile : RunFailure::BadInput;
}

// The field of the rig's latest evaluation, copied tile by tile; nothing
// when it has none.
void CopyField(const GlomoraRig& rig, std::optional<FieldCopy>& copy) {
  GlomoraFieldTiles field{};
  if (!Glomora_GetFieldTiles(rig.op.GetAsText(), field)) return;
  FieldCopy& out = copy.emplace();
  out.tileOrigins.resize(3 * field.tileCount);
  out.tileValues.resize(kTileValues * field.tileCount);
  for (size_t t = 0; t < field.tileCount; ++t) {
    const GlomoraFieldTile& tile = field.tiles[t];
    std::copy(tile.origin, tile.origin + 3, out.tileOrigins.begin() + static_cast<std::ptrdiff_t>(3 * t));
    std::copy(tile.values, tile.values + kTileValues, out.tileValues.begin() + static_cast<std::ptrdiff_t>(kTileValues * t));
  }
  out.nx = field.nx;
  out.ny = field.ny;
  out.nz = field.nz;
  for (int axis = 0; axis < 3; ++axis) {
    out.cellSize[axis] = field.cellSize[axis];
    out.origin[axis] = field.origin[axis];
  }
  out.isovalue = field.isovalue;
}

std::string Prefixed(const std::string& label, const std::string& message) {
  return label.empty() ? message : label + ": " + message;
}

}  // namespace

std::vector<float> DenseValues(const FieldCopy& field) {
  const size_t ny = static_cast<size_t>(field.ny), nz = static_cast<size_t>(field.nz);
  std::vector<float> values(static_cast<size_t>(field.nx) * ny * nz, 0.0f);
  for (size_t t = 0; t < field.tileOrigins.size() / 3; ++t) {
    const int32_t* o = field.tileOrigins.data() + 3 * t;
    const float* tile = field.tileValues.data() + kTileValues * t;
    const int32_t iEnd = std::min(o[0] + 8, field.nx), jEnd = std::min(o[1] + 8, field.ny);
    const int32_t kCount = std::min(8, field.nz - o[2]);
    for (int32_t i = o[0]; i < iEnd; ++i) {
      for (int32_t j = o[1]; j < jEnd; ++j) {
        std::copy(tile + ((i & 7) * 8 + (j & 7)) * 8, tile + ((i & 7) * 8 + (j & 7)) * 8 + kCount,
                  values.begin() + static_cast<std::ptrdiff_t>((static_cast<size_t>(i) * ny + static_cast<size_t>(j)) * nz +
                                                                static_cast<size_t>(o[2])));
      }
    }
  }
  return values;
}

// --- ModuleScene ---------------------------------------------------------------

std::unique_ptr<ModuleScene> ModuleScene::Parse(std::string text, std::filesystem::path baseDir, std::string label,
                                                Outcome& outcome) {
  std::unique_ptr<ModuleScene> scene(new ModuleScene);
  std::string error;
  SceneProblem problem = SceneProblem::BadInput;
  if (!ParseScene(text, baseDir, scene->description_, error, &problem)) {
    outcome = Outcome{FailureOf(problem), Prefixed(label, error)};
    return nullptr;
  }
  scene->text_ = std::move(text);
  scene->baseDir_ = std::move(baseDir);
  scene->label_ = std::move(label);
  scene->id_ = nextSceneId.fetch_add(1);
  return scene;
}

std::unique_ptr<ModuleScene> ModuleScene::Load(const std::filesystem::path& file, Outcome& outcome) {
  std::error_code failure;
  if (!std::filesystem::exists(file, failure)) {
    outcome = Outcome{RunFailure::MissingFile, file.string() + ": no such file"};
    return nullptr;
  }
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadWholeFile(file.string(), bytes, error)) {
    outcome = Outcome{RunFailure::BadInput, file.string() + ": " + error};
    return nullptr;
  }
  const std::filesystem::path absolute = std::filesystem::absolute(file, failure);
  if (failure) {
    outcome = Outcome{RunFailure::BadInput, file.string() + ": cannot resolve the scene file's folder: " + failure.message()};
    return nullptr;
  }
  return Parse(std::string(bytes.begin(), bytes.end()), absolute.parent_path(), file.string(), outcome);
}

std::unique_ptr<ModuleScene> ModuleScene::ForPoints(const std::string& parametersJson, std::vector<double> points,
                                                    std::filesystem::path baseDir, Outcome& outcome) {
  std::unique_ptr<ModuleScene> scene = Parse("{\"parameters\": " + parametersJson + "}", std::move(baseDir), "", outcome);
  if (!scene) return nullptr;
  std::string error;
  if (!AddCloudSource(std::move(points), scene->description_, error)) {
    outcome = Outcome{RunFailure::BadInput, error};
    return nullptr;
  }
  return scene;
}

ModuleScene::~ModuleScene() {
  // Another scene in the engine means this one's instance is already ended,
  // or about to be (Evaluate and Run end another's first): never wait here,
  // where the caller may hold the interpreter's lock that the engine's hooks need.
  Live& live = TheLive();
  std::unique_lock lock(live.mutex, std::try_to_lock);
  if (lock.owns_lock() && live.owner == id_) EndLive(live);
}

bool ModuleScene::SetParameter(const std::string& name, const nlohmann::ordered_json& value, Outcome& outcome) {
  Live& live = TheLive();
  std::lock_guard lock(live.mutex);
  std::string error;
  if (!SetSceneParameter(name, nlohmann::json(value), baseDir_, description_, error)) {
    outcome = Outcome{RunFailure::BadInput, Prefixed(label_, error)};
    return false;
  }
  nlohmann::ordered_json root = nlohmann::ordered_json::parse(text_);
  root["parameters"][name] = value;
  text_ = root.dump(2);
  if (live.owner == id_) live.session->ParameterChanged(name);
  return true;
}

void ModuleScene::ResetParameter(const std::string& name) {
  Live& live = TheLive();
  std::lock_guard lock(live.mutex);
  if (description_.parameters.erase(name) == 0) return;
  nlohmann::ordered_json root = nlohmann::ordered_json::parse(text_);
  root["parameters"].erase(name);
  text_ = root.dump(2);
  if (live.owner == id_) live.session->ParameterChanged(name);
}

// --- Engine --------------------------------------------------------------------

Outcome Engine::Evaluate(ModuleScene& scene, int64_t frame, const EngineOptions& options, Evaluation& evaluation) {
  Live& live = TheLive();
  std::lock_guard lock(live.mutex);
  XSI::Host::Scene& host = XSI::Host::Scene::Get();
  const SceneDescription& description = scene.description_;
  const std::string label = scene.label_.empty() ? "scene" : scene.label_;
  RunFailure failure = RunFailure::None;
  std::string error;

  // 1) this scene's instance: the live one, or a new one over the scene's
  // frames and `frame`, started as a run starts
  if (live.owner != scene.id_) {
    EndLive(live);
    ScenePlan plan;
    PlanScene(description, std::min(description.firstFrame, frame), std::max(description.lastFrame, frame), plan,
              error);
    RunResult start;
    if (!StartRun(description, plan, options.memoryLimit, label, live.display, start)) {
      return Outcome{start.failure, start.error};
    }
    RunOptions runOptions;
    runOptions.label = label;
    runOptions.stats = true;
    runOptions.afterFrame = [&live](const WrittenFrame& written, std::string&) {
      if (live.field != nullptr && written.rig != nullptr) CopyField(*written.rig, *live.field);
      return true;
    };
    auto cancelRequested = [&live] {
      const RunHooks* hooks = live.hooks;
      return hooks != nullptr && hooks->cancelRequested && hooks->cancelRequested();
    };
    auto session = std::make_unique<SceneSession>();
    if (!session->Open(description, runOptions, nullptr, plan.firstFrame, plan.lastFrame,
                       SceneSession::ShownOn(live.display, cancelRequested), failure, error)) {
      return Outcome{failure, error};
    }
    live.session = std::move(session);
    live.owner = scene.id_;
  }

  // 2) the frame, its mesh kept
  UseThreads(ThreadsFor(options.threads, 1));
  host.SetCancelPressed(options.hooks.cancelRequested && options.hooks.cancelRequested());
  live.hooks = &options.hooks;
  live.field = &evaluation.field;
  live.session->SetMemoryLimit(options.memoryLimit);
  auto mesh = std::make_shared<FrameMesh>();
  const SceneSession::Outcome outcome = live.session->Evaluate(frame, evaluation.record, failure, error, mesh.get());
  live.hooks = nullptr;
  live.field = nullptr;
  if (outcome == SceneSession::Outcome::Failed) {
    EndLive(live);
    return Outcome{failure, error};
  }
  if (outcome == SceneSession::Outcome::Nothing || live.session->Cancelled()) {
    return Outcome{RunFailure::Cancelled, "cancelled at frame " + std::to_string(evaluation.record.frame)};
  }
  if (!live.session->CacheFailures().Empty()) {
    const std::string message = live.session->CacheFailures().Message();
    EndLive(live);
    return Outcome{RunFailure::Failed, message};
  }
  evaluation.mesh = std::move(mesh);
  return Outcome{};
}

void Engine::Close(const ModuleScene& scene) {
  Live& live = TheLive();
  std::lock_guard lock(live.mutex);
  if (live.owner == scene.id_) EndLive(live);
}

Outcome Engine::Run(const ModuleScene& scene, RunOptions options, bool quiet, RunResult& result) {
  Live& live = TheLive();
  std::lock_guard lock(live.mutex);
  EndLive(live);
  options.label = scene.label_.empty() ? "scene" : scene.label_;
  options.stats = true;
  options.source = SceneSource{scene.text_, scene.baseDir_, {}, {}};
  ProgressDisplay display(quiet, false);
  result = RunScene(scene.description_, std::move(options), display);
  return Outcome{result.failure, result.error};
}

bool Engine::WriteMesh(const std::string& file, const FrameMesh& mesh, const std::string& sceneName, int64_t frame,
                       std::string& error) {
  std::lock_guard lock(TheLive().mutex);
  return WriteFrameFile(file, mesh.view, sceneName, frame, error);
}

void Engine::Shutdown() {
  Live& live = TheLive();
  std::lock_guard lock(live.mutex);
  EndLive(live);
}

}  // namespace glomora_python
