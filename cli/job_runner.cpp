#include "job_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "atomic_file.h"
#include "interrupt.h"
#include "memory_limit.h"
#include "scene_session.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

// The descriptor a worker talks on.
constexpr int kWorkerFd = 3;

// Sends one JSON line; false when the other side is gone.
bool SendLine(int fd, const Json& message) {
  const std::string line = message.dump() + "\n";
  size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Whole lines out of a byte stream.
class LineBuffer {
 public:
  // Reads what is there (blocking when `fd` is); false at the end of the stream or on an error.
  bool Fill(int fd) {
    char chunk[65536];
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes_.append(chunk, static_cast<size_t>(n));
      return true;
    }
  }
  bool Next(std::string& line) {
    const size_t end = bytes_.find('\n', start_);
    if (end == std::string::npos) {
      bytes_.erase(0, start_);
      start_ = 0;
      return false;
    }
    line.assign(bytes_, start_, end - start_);
    start_ = end + 1;
    return true;
  }

 private:
  std::string bytes_;
  size_t start_ = 0;
};

// "killed by signal 9", "exit status 1".
std::string DescribeStatus(int status) {
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  return "status " + std::to_string(status);
}

struct Worker {
  pid_t pid = -1;
  int fd = -1;
  LineBuffer input;
  bool ready = false;
  bool failed = false;          // reported an error
  std::optional<int64_t> frame;  // the frame it is evaluating
};

// Starts `tool worker --fd 3` connected to a new socket; the coordinator's
// end is returned in `worker.fd`.
bool StartWorker(const std::string& tool, Worker& worker, std::string& error) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    error = std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], kWorkerFd);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own process group, so that a terminal's Ctrl-C reaches the
  // coordinator only, which forwards it once; default dispositions whatever
  // the caller (an interpreter) had. SIGINT and SIGTERM stay blocked until
  // the worker has installed its handlers (RunWorker): a Ctrl-C forwarded to
  // a worker that is still starting then cancels it instead of killing it.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signal : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT}) sigaddset(&defaults, signal);
  sigset_t untilReady;
  sigemptyset(&untilReady);
  sigaddset(&untilReady, SIGINT);
  sigaddset(&untilReady, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &untilReady);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const std::string fdText = std::to_string(kWorkerFd);
  const std::string parentText = std::to_string(::getpid());
  char* const argv[] = {const_cast<char*>(tool.c_str()), const_cast<char*>("worker"),
                        const_cast<char*>("--fd"),       const_cast<char*>(fdText.c_str()),
                        const_cast<char*>("--parent"),   const_cast<char*>(parentText.c_str()),
                        nullptr};
  // The caller's environment, with huge pages for the worker's allocator
  // (memory_limit.h) when the caller has not said otherwise.
  std::vector<char*> environment;
  std::string tunables = HugePageTunables(std::getenv("GLIBC_TUNABLES"));
  if (!tunables.empty()) tunables = "GLIBC_TUNABLES=" + tunables;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (tunables.empty() || std::strncmp(*variable, "GLIBC_TUNABLES=", 15) != 0) environment.push_back(*variable);
  }
  if (!tunables.empty()) environment.push_back(tunables.data());
  environment.push_back(nullptr);
  const int spawned = ::posix_spawn(&worker.pid, tool.c_str(), &actions, &attributes, argv, environment.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(ends[1]);
  if (spawned != 0) {
    ::close(ends[0]);
    error = tool + ": " + std::strerror(spawned);
    return false;
  }
  worker.fd = ends[0];
  return true;
}

// The frames of first..last that no file was written for, as "3, 5-9".
std::string MissingFrames(int64_t first, int64_t last, const std::map<int64_t, FrameRecord>& done, int64_t upTo) {
  std::string text;
  int64_t runStart = 0;
  bool inRun = false;
  auto close = [&](int64_t end) {
    if (!text.empty()) text += ", ";
    text += std::to_string(runStart);
    if (end > runStart) text += "-" + std::to_string(end);
    inRun = false;
  };
  for (int64_t frame = first; frame <= last && frame < upTo; ++frame) {
    const bool missing = done.find(frame) == done.end();
    if (missing && !inRun) {
      runStart = frame;
      inRun = true;
    } else if (!missing && inRun) {
      close(frame - 1);
    }
  }
  if (inRun) close(std::min(last, upTo - 1));
  return text;
}

}  // namespace

RunResult RunInWorkers(const SceneDescription& scene, const RunOptions& options, ProgressDisplay& display,
                       int64_t first, int64_t last, int jobs) {
  RunResult result = NewRunResult(scene);
  jobs = std::min(jobs, kMaxForwarded);

  // 1) the request every worker gets
  Json request;
  request["source"] = {{"text", options.source.text},
                       {"base_dir", options.source.baseDir.string()},
                       {"overrides", options.source.overrides},
                       {"name", options.source.name}};
  request["label"] = options.label;
  request["output"] = options.output;
  request["first"] = first;
  request["last"] = last;
  request["check"] = options.check;
  request["stats"] = options.stats;
  request["memory_limit"] = options.memoryLimit / static_cast<uint64_t>(jobs);
  request["threads"] = ThreadsFor(options.threads, jobs);

  // 2) the workers
  std::vector<Worker> workers(static_cast<size_t>(jobs));
  std::vector<pid_t> pids;
  int status = kExitSuccess;
  std::string statusError;
  std::set<std::string> errorsShown;
  auto failWith = [&](int code, const std::string& message) {
    if (code == kExitBadInput || status == kExitSuccess) {
      status = code;
      statusError = message;
    }
    if (errorsShown.insert(message).second) display.Error(message);
  };
  for (Worker& worker : workers) {
    std::string error;
    if (!StartWorker(options.toolPath, worker, error)) {
      failWith(kExitFailure, "could not start a worker process: " + error);
      break;
    }
    pids.push_back(worker.pid);
    ForwardSignalsTo(pids.data(), static_cast<int>(pids.size()));
    if (!SendLine(worker.fd, request)) ::shutdown(worker.fd, SHUT_WR);
  }

  // 3) hand out frames in order, one per worker at a time, until every
  // worker has ended
  const Clock::time_point start = Clock::now();
  const int64_t total = last - first + 1;
  int64_t next = first;
  bool stopping = status != kExitSuccess;
  bool cancelled = false;
  std::map<int64_t, FrameRecord> done;
  int64_t nextCheck = first;  // --check lines are printed in frame order
  auto stopAll = [&] {
    stopping = true;
    for (Worker& worker : workers) {
      if (worker.fd >= 0) ::shutdown(worker.fd, SHUT_WR);
    }
  };
  // The caller's cancel request: every worker finishes the frame it is on,
  // as after a first Ctrl-C (one still building its scene has no handler
  // yet, and ends when it finds no frame to do).
  auto cancelRequested = [&] {
    if (stopping || !options.hooks.cancelRequested || !options.hooks.cancelRequested()) return false;
    for (const Worker& worker : workers) {
      if (worker.fd >= 0 && worker.ready) ::kill(worker.pid, SIGINT);
    }
    cancelled = true;
    stopAll();
    return true;
  };
  auto handOut = [&](Worker& worker) {
    if (stopping || next > last || cancelRequested()) {
      ::shutdown(worker.fd, SHUT_WR);
      return;
    }
    worker.frame = next;
    ++next;
    if (!SendLine(worker.fd, Json{{"frame", *worker.frame}})) ::shutdown(worker.fd, SHUT_WR);
  };
  auto printChecks = [&](bool all) {
    if (!options.check) return;
    for (auto it = done.lower_bound(nextCheck); it != done.end() && (all || it->first == nextCheck); ++it) {
      display.Finish();
      std::printf("%s\n", it->second.checkLine.c_str());
      nextCheck = it->first + 1;
    }
    std::fflush(stdout);
  };
  // One message of a worker; false when it is malformed.
  auto handle = [&](Worker& worker, const std::string& line) {
    Json message = Json::parse(line, nullptr, false);
    if (!message.is_object()) return false;
    if (message.contains("log")) {
      display.HostLog(message["log"].get<std::string>());
    } else if (message.contains("ready")) {
      worker.ready = true;
      handOut(worker);
    } else if (message.contains("done")) {
      FrameRecord record;
      record.frame = message["done"].get<int64_t>();
      record.file = message["file"].get<std::string>();
      record.vertices = message["vertices"].get<size_t>();
      record.polygons = message["polygons"].get<size_t>();
      record.empty = message["empty"].get<bool>();
      record.checkLine = message["check"].get<std::string>();
      record.stats = std::move(message["stats"]);
      worker.frame.reset();
      if (record.empty) display.Warning("frame " + std::to_string(record.frame) + ": the mesh is empty");
      const std::string detail = std::to_string(record.vertices) + " vertices, " + std::to_string(record.polygons) +
                                 " polygons -> " + record.file;
      std::string error;
      if (options.afterFrame && !options.afterFrame(WrittenFrame{record.frame, record.file, nullptr, nullptr}, error)) {
        failWith(kExitFailure, error);
        stopAll();
      }
      done.emplace(record.frame, std::move(record));
      printChecks(false);
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      display.FrameDone(detail, static_cast<int64_t>(done.size()), total, elapsed);
      if (options.hooks.frameDone) options.hooks.frameDone(static_cast<int64_t>(done.size()), total);
      handOut(worker);
    } else if (message.contains("error")) {
      worker.failed = true;
      failWith(message.value("code", kExitFailure), message["error"].get<std::string>());
      stopAll();
    } else {
      return false;
    }
    return true;
  };
  auto handleSafely = [&](Worker& worker, const std::string& line) {
    bool ok = false;
    try {
      ok = handle(worker, line);
    } catch (const nlohmann::json::exception&) {
    }
    if (!ok) {
      failWith(kExitFailure, "worker process " + std::to_string(worker.pid) + " sent a malformed message");
      stopAll();
    }
  };

  std::vector<pollfd> polled;
  for (;;) {
    if (!stopping && InterruptRequested()) {
      cancelled = true;  // the handler forwarded the signal; each worker finishes its frame
      stopAll();
    }
    cancelRequested();
    polled.clear();
    for (const Worker& worker : workers) {
      if (worker.fd >= 0) polled.push_back(pollfd{worker.fd, POLLIN, 0});
    }
    if (polled.empty()) break;
    if (::poll(polled.data(), polled.size(), 200) < 0 && errno != EINTR) break;
    for (Worker& worker : workers) {
      if (worker.fd < 0) continue;
      const auto it = std::find_if(polled.begin(), polled.end(), [&](const pollfd& p) { return p.fd == worker.fd; });
      if (it == polled.end() || it->revents == 0) continue;
      const bool open = worker.input.Fill(worker.fd);
      std::string line;
      while (worker.input.Next(line)) handleSafely(worker, line);
      if (open) continue;

      // The worker has ended: its status, and the frame it held.
      ::close(worker.fd);
      worker.fd = -1;
      int waitStatus = 0;
      while (::waitpid(worker.pid, &waitStatus, 0) < 0 && errno == EINTR) {
      }
      // After Ctrl-C a worker ends with 130 before a frame it was sent but
      // had not started: that frame is cancelled, not lost.
      const bool interrupted = cancelled || InterruptRequested();
      const bool clean = WIFEXITED(waitStatus) &&
                         (WEXITSTATUS(waitStatus) == 0 || (interrupted && WEXITSTATUS(waitStatus) == kExitCancelled));
      if (clean) worker.frame.reset();
      if (worker.frame && !worker.failed) {
        failWith(kExitFailure, "worker process " + std::to_string(worker.pid) + " (" + DescribeStatus(waitStatus) +
                                   ") ended during frame " + std::to_string(*worker.frame) +
                                   ", which was not written");
        stopAll();
      } else if (!clean && !worker.failed) {
        failWith(kExitFailure, "worker process " + std::to_string(worker.pid) + " ended (" +
                                   DescribeStatus(waitStatus) + ")");
        stopAll();
      }
    }
  }
  ForwardSignalsTo(nullptr, 0);
  display.Finish();
  printChecks(true);

  // 4) a worker that died mid-frame may have left its temporary file
  for (const Worker& worker : workers) {
    if (!worker.frame || worker.pid < 0) continue;
    std::optional<OutputTarget> target;
    int code = 0;
    std::string error;
    if (ResolveOutput(scene, options, first, last, target, code, error)) {
      ::unlink(TemporaryFileName(target->pattern.Expand(*worker.frame), worker.pid).c_str());
    }
  }

  // 5) the result, in frame order
  int64_t emptyFrames = 0;
  for (auto& [frame, record] : done) {
    if (record.empty) ++emptyFrames;
    if (result.firstFile.empty()) result.firstFile = record.file;
    result.lastFile = record.file;
    result.stats["frames"].push_back(std::move(record.stats));
  }
  result.filesWritten = static_cast<int64_t>(done.size());
  const int64_t framesDone = static_cast<int64_t>(done.size());
  if (status != kExitSuccess) {
    if (framesDone < total) display.Error("frames not written: " + MissingFrames(first, last, done, last + 1));
    result.exitCode = status;
    result.error = statusError;
  } else {
    EndRun(result, display, cancelled, framesDone, total, emptyFrames, options.allowEmpty);
  }
  return result;
}

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
  auto fail = [fd](int code, const std::string& error) {
    SendLine(fd, Json{{"error", error}, {"code", code}});
    return code;
  };

  // 2) the run
  LineBuffer input;
  std::string line;
  while (!input.Next(line)) {
    if (!input.Fill(fd)) return kExitFailure;
  }
  const Json request = Json::parse(line, nullptr, false);
  if (!request.is_object() || !request.contains("source")) return fail(kExitFailure, "malformed worker request");
  const Json& source = request["source"];
  SceneDescription scene;
  std::string error;
  const std::filesystem::path baseDir = source["base_dir"].get<std::string>();
  if (!ParseScene(source["text"].get<std::string>(), baseDir, scene, error)) {
    return fail(kExitBadInput, request["label"].get<std::string>() + ": " + error);
  }
  for (const auto& assignment : source["overrides"]) {
    if (!ApplyParameterOverride(assignment.get<std::string>(), baseDir, scene, error)) return fail(kExitBadInput, error);
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
  std::optional<OutputTarget> target;
  int code = kExitSuccess;
  if (!ResolveOutput(scene, options, first, last, target, code, error)) return fail(code, error);
  SceneSession session;
  SceneSession::Observers observers;
  observers.hostLog = [fd](const std::string& text) { SendLine(fd, Json{{"log", text}}); };
  if (!session.Open(scene, options, &*target, first, last, std::move(observers), code, error)) return fail(code, error);
  if (!SendLine(fd, Json{{"ready", true}})) return kExitFailure;

  // 4) the frames it is sent, until the end of the stream or Ctrl-C
  FrameRecord record;
  for (;;) {
    while (!input.Next(line)) {
      if (!input.Fill(fd)) return InterruptRequested() ? kExitCancelled : kExitSuccess;
    }
    if (InterruptRequested()) return kExitCancelled;
    const Json message = Json::parse(line, nullptr, false);
    if (!message.is_object() || !message.contains("frame")) return fail(kExitFailure, "malformed worker request");
    const int64_t frame = message["frame"].get<int64_t>();
    const SceneSession::Outcome outcome = session.Evaluate(frame, record, code, error);
    if (outcome == SceneSession::Outcome::Failed) return fail(code, error);
    if (outcome == SceneSession::Outcome::Nothing) return fail(kExitFailure, "frame " + std::to_string(frame) + ": nothing was written");
    Json reply;
    reply["done"] = record.frame;
    reply["file"] = record.file;
    reply["vertices"] = record.vertices;
    reply["polygons"] = record.polygons;
    reply["empty"] = record.empty;
    reply["check"] = record.checkLine;
    reply["stats"] = std::move(record.stats);
    if (!SendLine(fd, reply)) return kExitFailure;
    if (InterruptRequested()) return kExitCancelled;
  }
}
