#include "worker_process.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>

#include "interrupt.h"
#include "output_pattern.h"
#include "process_memory.h"
#include "process_threads.h"
#include "scene_file.h"
#include "scene_session.h"
#include "usd_shot.h"
#include "worker_protocol.h"

using Json = nlohmann::ordered_json;

int RunWorker(int fd, long parent) {
  // 1) a worker stops with its coordinator, and takes its signals as the tool does
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  std::signal(SIGPIPE, SIG_IGN);
  InstallInterruptHandlers(false);
  sigset_t started;  // blocked by StartWorker until now
  sigemptyset(&started);
  sigaddset(&started, SIGINT);
  sigaddset(&started, SIGTERM);
  ::sigprocmask(SIG_UNBLOCK, &started, nullptr);
  if (::getppid() != static_cast<pid_t>(parent)) return kExitFailure;  // it ended before the line above
  auto fail = [fd](RunFailure failure, const std::string& error) {
    SendLine(fd, Json{{"error", error}, {"failure", FailureName(failure)}});
    return ExitStatusOf(failure);
  };

  // 2) the run
  LineBuffer input;
  std::string line;
  while (!input.Next(line)) {
    if (!input.Fill(fd)) return kExitFailure;
  }
  const Json request = Json::parse(line, nullptr, false);
  if (!request.is_object() || !request.contains("source")) return fail(RunFailure::Failed, "malformed worker request");
  const Json& source = request["source"];
  SceneDescription scene;
  std::string error;
  const std::filesystem::path baseDir = source["base_dir"].get<std::string>();
  SceneProblem problem = SceneProblem::BadInput;
  if (!ParseScene(source["text"].get<std::string>(), baseDir, scene, error, &problem)) {
    return fail(problem == SceneProblem::MissingFile ? RunFailure::MissingFile : RunFailure::BadInput,
                request["label"].get<std::string>() + ": " + error);
  }
  for (const auto& assignment : source["overrides"]) {
    if (!ApplyParameterOverride(assignment.get<std::string>(), baseDir, scene, error)) {
      return fail(RunFailure::BadInput, error);
    }
  }
  if (!source["name"].get<std::string>().empty()) scene.name = source["name"].get<std::string>();
  RunOptions options;
  options.label = request["label"].get<std::string>();
  options.output = request["output"].get<std::string>();
  options.check = request["check"].get<bool>();
  options.stats = request["stats"].get<bool>();
  options.memoryLimit = request["memory_limit"].get<uint64_t>();
  UseThreads(request.value("threads", 1));
  const int64_t first = request["first"].get<int64_t>();
  const int64_t last = request["last"].get<int64_t>();
  std::string note;
  if (options.memoryLimit > 0) LimitProcessMemory(options.memoryLimit, note);

  // 3) the host scene
  const std::optional<FramePattern> output =
      ResolveOutputPattern("--output", options.output, scene.name, {".obj", ".ply"}, last > first, error);
  if (!output) return fail(RunFailure::BadInput, error);
  std::optional<FramePattern> usdLayers;
  if (!request.value("usd", "").empty()) {
    usdLayers = ResolveUsdPattern(request["usd"].get<std::string>(), scene.name, error);
    if (!usdLayers) return fail(RunFailure::BadInput, error);
    options.afterFrame = [&usdLayers, &scene](const WrittenFrame& frame, std::string& packError) {
      return WriteUsdSampleFile(*usdLayers, scene.fps, frame, packError);
    };
  }
  SceneSession session;
  SceneSession::Observers observers;
  observers.hostLog = [fd](const std::string& text) { SendLine(fd, Json{{"log", text}}); };
  RunFailure failure = RunFailure::None;
  if (!session.Open(scene, options, &*output, first, last, std::move(observers), failure, error)) {
    return fail(failure, error);
  }
  if (!SendLine(fd, Json{{"ready", true}})) return kExitFailure;

  // 4) the frames it is sent, until the end of the stream or Ctrl-C
  FrameRecord record;
  for (;;) {
    while (!input.Next(line)) {
      if (!input.Fill(fd)) return InterruptRequested() ? kExitCancelled : kExitSuccess;
    }
    if (InterruptRequested()) return kExitCancelled;
    const Json message = Json::parse(line, nullptr, false);
    if (!message.is_object() || !message.contains("frame")) return fail(RunFailure::Failed, "malformed worker request");
    const int64_t frame = message["frame"].get<int64_t>();
    const SceneSession::Outcome outcome = session.Evaluate(frame, record, failure, error);
    if (outcome == SceneSession::Outcome::Failed) {
      SendLine(fd, Json{{"error", error}, {"failure", FailureName(failure)}, {"stats", std::move(record.stats)}});
      return ExitStatusOf(failure);
    }
    if (outcome == SceneSession::Outcome::Nothing) {
      return fail(RunFailure::Failed, "frame " + std::to_string(frame) + ": nothing was written");
    }
    if (!SendLine(fd, FrameReport(std::move(record)))) return kExitFailure;
    if (InterruptRequested()) return kExitCancelled;
  }
}
