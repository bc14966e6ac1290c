#include "worker_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
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
#include <optional>
#include <set>
#include <vector>

#include "atomic_file.h"
#include "interrupt.h"
#include "process_memory.h"
#include "process_threads.h"
#include "scene_session.h"
#include "usd_shot.h"
#include "worker_protocol.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

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
  // (process_memory.h) when the caller has not said otherwise.
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

RunResult RunInWorkers(const SceneDescription& scene, const ScenePlan& plan, const RunOptions& options,
                       const FramePattern& output, ProgressDisplay& display, int jobs) {
  RunResult result = NewRunResult(scene);
  jobs = std::min(jobs, kMaxForwarded);
  const int64_t first = plan.firstFrame;
  const int64_t last = plan.lastFrame;

  // 1) the request every worker gets
  const Json request = RunRequest(options, first, last, options.memoryLimit / static_cast<uint64_t>(jobs),
                                  ThreadsFor(options.threads, jobs));

  // 2) the workers
  std::vector<Worker> workers(static_cast<size_t>(jobs));
  std::vector<pid_t> pids;
  RunFailure status = RunFailure::None;
  std::string statusError;
  std::set<std::string> errorsShown;
  // The first failure, unless a later one is bad input (which a retry cannot mend).
  auto failWith = [&](RunFailure failure, const std::string& message) {
    if (ExitStatusOf(failure) == kExitBadInput || status == RunFailure::None) {
      status = failure;
      statusError = message;
    }
    if (errorsShown.insert(message).second) display.Error(message);
  };
  for (Worker& worker : workers) {
    std::string error;
    if (!StartWorker(options.toolPath, worker, error)) {
      failWith(RunFailure::Failed, "could not start a worker process: " + error);
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
  bool stopping = status != RunFailure::None;
  bool cancelled = false;
  std::map<int64_t, FrameRecord> done;
  std::map<int64_t, Json> frameStats;  // the --stats entries of the frames that failed, then of all
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
      FrameRecord record = RecordOfReport(message);
      worker.frame.reset();
      if (record.empty) display.Warning("frame " + std::to_string(record.frame) + ": the mesh is empty");
      const std::string detail = std::to_string(record.vertices) + " vertices, " + std::to_string(record.polygons) +
                                 " polygons -> " + record.file;
      std::string error;
      if (options.afterFrame && !options.afterFrame(WrittenFrame{record.frame, record.file, nullptr, nullptr}, error)) {
        failWith(RunFailure::Failed, error);
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
      if (message.contains("stats")) frameStats[message["stats"]["frame"].get<int64_t>()] = message["stats"];
      failWith(FailureNamed(message.value("failure", "failed")), message["error"].get<std::string>());
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
      failWith(RunFailure::Failed, "worker process " + std::to_string(worker.pid) + " sent a malformed message");
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
        failWith(RunFailure::Failed, "worker process " + std::to_string(worker.pid) + " (" + DescribeStatus(waitStatus) +
                                   ") ended during frame " + std::to_string(*worker.frame) +
                                   ", which was not written");
        stopAll();
      } else if (!clean && !worker.failed) {
        failWith(RunFailure::Failed, "worker process " + std::to_string(worker.pid) + " ended (" +
                                   DescribeStatus(waitStatus) + ")");
        stopAll();
      }
    }
  }
  ForwardSignalsTo(nullptr, 0);
  display.Finish();
  printChecks(true);

  // 4) a worker that died mid-frame may have left its temporary files (its
  // mesh file's, and that of its packed USD samples)
  std::string ignored;
  const std::optional<FramePattern> usdLayers =
      options.usd.empty() ? std::nullopt : ResolveUsdPattern(options.usd, scene.name, ignored);
  for (const Worker& worker : workers) {
    if (!worker.frame || worker.pid < 0) continue;
    ::unlink(TemporaryFileName(output.Expand(*worker.frame), worker.pid).c_str());
    if (usdLayers) {
      ::unlink(TemporaryFileName(UsdSampleFile(usdLayers->Expand(*worker.frame), *worker.frame), worker.pid).c_str());
    }
  }

  // 5) the result, in frame order, the frames that failed among them
  int64_t emptyFrames = 0;
  for (auto& [frame, record] : done) {
    if (record.empty) ++emptyFrames;
    if (result.firstFile.empty()) result.firstFile = record.file;
    result.lastFile = record.file;
    frameStats.emplace(frame, std::move(record.stats));
  }
  for (auto& [frame, stats] : frameStats) result.stats["frames"].push_back(std::move(stats));
  result.filesWritten = static_cast<int64_t>(done.size());
  const int64_t framesDone = static_cast<int64_t>(done.size());
  // Workers that all ended well without writing every frame are not this
  // tool's (a wrong or stale path): the run has not done what it was asked.
  const bool unreported = status == RunFailure::None && !cancelled && !InterruptRequested() && framesDone < total;
  if (unreported) {
    status = RunFailure::Failed;
    statusError = options.toolPath + ": its worker processes ended without reporting frames " +
                  MissingFrames(first, last, done, last + 1) +
                  ", which were not written (is it the glomora tool of this version?)";
    display.Error(statusError);
  }
  if (status != RunFailure::None) {
    if (framesDone < total && !unreported) {
      display.Error("frames not written: " + MissingFrames(first, last, done, last + 1));
    }
    result.failure = status;
    result.error = statusError;
  } else {
    EndRun(result, display, cancelled, framesDone, total, emptyFrames, options.allowEmpty);
  }
  return result;
}

