#include "engine.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>

#include "atomic_file.h"
#include "glomora_api.h"
#include "host/host_scene.h"
#include "progress_display.h"

namespace glomora_python {

namespace {

// The one plug-in instance the process may hold, and whose scene it is.
// Never destroyed: at exit the host scene it points into may be gone first
// (the module ends the instance from Python's atexit instead, see Shutdown).
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

bool ContainsNoCase(const std::string& text, std::string_view part) {
  const auto it = std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
  return it != text.end();
}

// The kind of a failure the runner reported with an exit status and a
// message. The runner's messages say "no such file" (scene files, the
// system's "No such file or directory") and "out of memory" for those two
// cases; everything else is told by the status.
Outcome Classify(int code, std::string message) {
  Outcome outcome;
  outcome.message = std::move(message);
  if (code == kExitCancelled) {
    outcome.kind = Outcome::Kind::Cancelled;
  } else if (ContainsNoCase(outcome.message, "no such file")) {
    outcome.kind = Outcome::Kind::MissingFile;
  } else if (ContainsNoCase(outcome.message, "out of memory")) {
    outcome.kind = Outcome::Kind::OutOfMemory;
  } else if (code == kExitBadInput) {
    outcome.kind = Outcome::Kind::BadInput;
  } else {
    outcome.kind = Outcome::Kind::Failed;
  }
  return outcome;
}

// The field of the rig's latest evaluation, copied; nothing when it has none.
void CopyField(const GlomoraRig& rig, std::optional<FieldCopy>& copy) {
  GlomoraField field{};
  if (!Glomora_GetField(rig.op.GetAsText(), field)) return;
  FieldCopy& out = copy.emplace();
  out.values.assign(field.values, field.values + static_cast<size_t>(field.nx) * field.ny * field.nz);
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

// --- ModuleScene ---------------------------------------------------------------

std::unique_ptr<ModuleScene> ModuleScene::Parse(std::string text, std::filesystem::path baseDir, std::string label,
                                                Outcome& outcome) {
  std::unique_ptr<ModuleScene> scene(new ModuleScene);
  std::string error;
  if (!ParseScene(text, baseDir, scene->description_, error)) {
    outcome = Classify(kExitBadInput, Prefixed(label, error));
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
    outcome = Classify(kExitBadInput, file.string() + ": no such file");
    return nullptr;
  }
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadWholeFile(file.string(), bytes, error)) {
    outcome = Classify(kExitBadInput, file.string() + ": " + error);
    return nullptr;
  }
  const std::filesystem::path absolute = std::filesystem::absolute(file, failure);
  if (failure) {
    outcome = Classify(kExitBadInput, file.string() + ": cannot resolve the scene file's folder: " + failure.message());
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
    outcome = Classify(kExitBadInput, error);
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
    outcome = Classify(kExitBadInput, Prefixed(label_, error));
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
  int code = kExitSuccess;
  std::string error;

  // 1) this scene's instance: the live one, or a new one
  if (live.owner != scene.id_) {
    EndLive(live);
    const int64_t first = std::min(description.firstFrame, frame);
    const int64_t last = std::max(description.lastFrame, frame);
    if (!CheckMemoryBudget(description, first, last, options.memoryLimit, label, error)) {
      return Outcome{Outcome::Kind::OverBudget, error};
    }
    PrepareCacheFiles(description, live.display);
    RunOptions runOptions;
    runOptions.label = label;
    runOptions.stats = true;
    runOptions.afterFrame = [&live](const WrittenFrame& written, std::string&) {
      if (live.field != nullptr && written.rig != nullptr) CopyField(*written.rig, *live.field);
      return true;
    };
    SceneSession::Observers observers;
    observers.hostLog = [&live](const std::string& text) { live.display.HostLog(text); };
    observers.hostProgress = [&live](const XSI::Host::ProgressState&, XSI::Host::ProgressEvent) {
      const RunHooks* hooks = live.hooks;
      if (hooks != nullptr && hooks->cancelRequested && hooks->cancelRequested()) {
        XSI::Host::Scene::Get().SetCancelPressed(true);
      }
    };
    auto session = std::make_unique<SceneSession>();
    if (!session->Open(description, runOptions, nullptr, first, last, std::move(observers), code, error)) {
      return Classify(code, error);
    }
    live.session = std::move(session);
    live.owner = scene.id_;
  }

  // 2) the frame, its mesh kept
  UseThreads(ThreadsFor(options.threads, 1));
  host.SetCancelPressed(options.hooks.cancelRequested && options.hooks.cancelRequested());
  live.hooks = &options.hooks;
  live.field = &evaluation.field;
  auto mesh = std::make_shared<FrameMesh>();
  const SceneSession::Outcome outcome = live.session->Evaluate(frame, evaluation.record, code, error, mesh.get());
  live.hooks = nullptr;
  live.field = nullptr;
  if (outcome == SceneSession::Outcome::Failed) {
    EndLive(live);
    return Classify(code, error);
  }
  if (outcome == SceneSession::Outcome::Nothing || live.session->Cancelled()) {
    return Outcome{Outcome::Kind::Cancelled, "cancelled at frame " + std::to_string(evaluation.record.frame)};
  }
  if (!live.session->CacheFailures().Empty()) {
    const std::string message = live.session->CacheFailures().Message();
    EndLive(live);
    return Classify(kExitFailure, message);
  }
  evaluation.mesh = std::move(mesh);
  return Outcome{};
}

void Engine::Close(const ModuleScene& scene) {
  Live& live = TheLive();
  std::lock_guard lock(live.mutex);
  if (live.owner == scene.id_) EndLive(live);
}

Outcome Engine::Run(const ModuleScene& scene, RunOptions options, const FrameOutputOptions& outputs, bool quiet,
                    RunResult& result) {
  Live& live = TheLive();
  std::lock_guard lock(live.mutex);
  EndLive(live);
  options.label = scene.label_.empty() ? "scene" : scene.label_;
  options.stats = true;
  options.source = SceneSource{scene.text_, scene.baseDir_, {}, {}};
  ProgressDisplay display(quiet, false);
  result = RunSceneWithOutputs(scene.description_, std::move(options), outputs, display);
  if (result.exitCode == kExitSuccess) return Outcome{};
  if (result.overMemoryBudget) return Outcome{Outcome::Kind::OverBudget, result.error};
  return Classify(result.exitCode, result.error);
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
