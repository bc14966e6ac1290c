#include "slurm_watch.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "run_failure.h"
#include "interrupt.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kClientLimit = 60s;    // one squeue or sacct
constexpr auto kLostContact = 300s;   // squeue failing this long in a row: give up
constexpr int kPollsBeforeLookup = 3;  // polls in a row without a task before sacct is asked

struct TaskState {
  std::string state;  // Slurm's job state; empty until squeue listed it
  std::string reason;
  int exitStatus = -1;  // the command's exit status, or 128 + signal
  bool ended = false;
  int unlisted = 0;  // polls in a row that did not list it
};

// A task of the plan as Slurm runs it.
struct WatchedTask {
  const FarmTask* task = nullptr;
  const SlurmJob* job = nullptr;
  size_t index = 0;  // in its job array
  std::string key;   // "ID" for a simulation, "ID_INDEX" for an array task, as squeue names them
  TaskState state;
};

bool IsEndState(const std::string& state) {
  static const std::set<std::string> ended = {"COMPLETED", "FAILED",   "CANCELLED", "TIMEOUT",
                                              "NODE_FAIL", "PREEMPTED", "OUT_OF_MEMORY", "BOOT_FAIL",
                                              "DEADLINE",  "REVOKED",   "SPECIAL_EXIT"};
  return ended.count(state) > 0;
}

std::vector<std::string> Split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, separator)) {
    const size_t first = field.find_first_not_of(' ');
    fields.push_back(first == std::string::npos ? std::string() : field.substr(first, field.find_last_not_of(' ') - first + 1));
  }
  return fields;
}

void Apply(TaskState& state, const std::string& slurmState, const std::string& reason, int exitStatus) {
  state.state = slurmState.substr(0, slurmState.find(' '));  // "CANCELLED by 0"
  state.reason = reason;
  state.exitStatus = exitStatus;
  state.unlisted = 0;
  // A chunk whose simulation failed never runs (the job is also cancelled,
  // with --kill-on-invalid-dep, where the cluster honours it).
  state.ended = IsEndState(state.state) || reason == "DependencyNeverSatisfied";
}

// "12,13,14" (squeue), or with `separator` ' ' (scancel).
std::string JobList(const std::vector<SlurmJob>& jobs, char separator = ',') {
  std::string list;
  for (const SlurmJob& job : jobs) list += (list.empty() ? "" : std::string(1, separator)) + job.id;
  return list;
}

// One squeue: the state of every task it lists. False when squeue failed.
bool Poll(const std::vector<SlurmJob>& jobs, std::map<std::string, WatchedTask*>& byKey) {
  const ProgramResult squeue = RunProgram({"squeue", "--noheader", "--array", "--states=all", "--jobs=" + JobList(jobs),
                                           "--Format=JobArrayID:|,State:|,Reason:|,exit_code:|"},
                                          "", kClientLimit);
  if (squeue.status != 0) return false;
  std::set<std::string> listed;
  std::istringstream lines(squeue.out);
  for (std::string line; std::getline(lines, line);) {
    const std::vector<std::string> fields = Split(line, '|');
    if (fields.size() < 4) continue;
    const auto at = byKey.find(fields[0]);
    if (at == byKey.end() || at->second->state.ended) continue;
    // exit_code is a wait status: the exit status in its second byte, a signal in its first.
    const long wait = std::strtol(fields[3].c_str(), nullptr, 10);
    const int status = (wait & 0x7f) != 0 ? 128 + static_cast<int>(wait & 0x7f) : static_cast<int>((wait >> 8) & 0xff);
    Apply(at->second->state, fields[1], fields[2], status);
    listed.insert(fields[0]);
  }
  for (auto& [key, task] : byKey) {
    if (!task->state.ended && listed.count(key) == 0) ++task->state.unlisted;
  }
  return true;
}

// Tasks the controller no longer lists: from the accounting, where there is
// one; otherwise they end as UNKNOWN.
void LookUp(std::map<std::string, WatchedTask*>& byKey, std::vector<WatchedTask*> tasks) {
  std::set<std::string> jobIds;
  for (WatchedTask* task : tasks) jobIds.insert(task->job->id);
  std::string list;
  for (const std::string& id : jobIds) list += (list.empty() ? "" : ",") + id;
  const ProgramResult sacct = RunProgram(
      {"sacct", "--noheader", "--parsable2", "--allocations", "--jobs=" + list, "--format=JobID,State,ExitCode"}, "",
      kClientLimit);
  if (sacct.status == 0) {
    std::istringstream lines(sacct.out);
    for (std::string line; std::getline(lines, line);) {
      const std::vector<std::string> fields = Split(line, '|');
      if (fields.size() < 3) continue;
      const auto at = byKey.find(fields[0]);
      if (at == byKey.end() || at->second->state.ended) continue;
      // ExitCode is "STATUS:SIGNAL".
      const int signal = std::atoi(fields[2].substr(fields[2].find(':') + 1).c_str());
      Apply(at->second->state, fields[1], "", signal != 0 ? 128 + signal : std::atoi(fields[2].c_str()));
    }
  }
  for (WatchedTask* task : tasks) {
    if (!task->state.ended) Apply(task->state, "UNKNOWN", "no longer known to Slurm", -1);
    task->state.ended = true;
  }
}

// The last "glomora: error: " line of a log, without that prefix.
std::string LastError(const std::string& log) {
  std::ifstream in(log, std::ios::binary);
  if (!in) return std::string();
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  const std::streamoff start = std::max<std::streamoff>(0, size - 65536);
  in.seekg(start);
  std::string line;
  std::string last;
  const std::string prefix = "glomora: error: ";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) last = line.substr(prefix.size());
  }
  return last;
}

std::string Describe(const WatchedTask& watched) {
  const TaskState& state = watched.state;
  if (state.reason == "DependencyNeverSatisfied") {
    std::string after;
    for (const std::string& id : watched.task->after) after += (after.empty() ? "" : ", ") + id;
    return "not run: " + after + " did not succeed";
  }
  if (state.state == "FAILED") {
    std::string text = "failed with exit status " + std::to_string(state.exitStatus);
    if (state.exitStatus == kExitBadInput) return text + " (bad input: running it again cannot help)";
    if (state.exitStatus == kExitFailure) return text + " (running it again may help)";
    return text;
  }
  if (state.state == "UNKNOWN") return "ended unseen (" + state.reason + ")";
  return "ended as " + state.state + (state.reason.empty() || state.reason == "None" ? "" : " (" + state.reason + ")");
}

std::string FrameRange(int64_t first, int64_t last) {
  return first == last ? std::to_string(first) : std::to_string(first) + " to " + std::to_string(last);
}

// "1 to 4, 9": the ranges in order, those that touch merged.
std::string FrameRanges(std::vector<std::pair<int64_t, int64_t>> ranges) {
  std::sort(ranges.begin(), ranges.end());
  std::string text;
  for (size_t i = 0; i < ranges.size();) {
    int64_t last = ranges[i].second;
    size_t j = i + 1;
    for (; j < ranges.size() && ranges[j].first <= last + 1; ++j) last = std::max(last, ranges[j].second);
    text += (text.empty() ? "" : ", ") + FrameRange(ranges[i].first, last);
    i = j;
  }
  return text;
}

// Prints the report of one shot; returns its exit status.
int ReportShot(const FarmShot& shot, const std::vector<WatchedTask>& tasks, const SlurmOptions& options) {
  int status = kExitSuccess;
  int64_t meshes = 0;
  int64_t meshesWritten = 0;
  int64_t cachesWritten = 0;
  std::vector<std::pair<int64_t, int64_t>> notWritten;
  for (const WatchedTask& watched : tasks) {
    if (watched.job->shot != shot.name) continue;
    const FarmTask& task = *watched.task;
    const auto frames = static_cast<size_t>(task.lastFrame - task.firstFrame + 1);
    meshes += static_cast<int64_t>(frames);
    if (watched.state.state != "COMPLETED") {
      const std::string log = SlurmLogFile(*watched.job, options, watched.index);
      const std::string error = LastError(log);
      const std::string job = SlurmTaskName(*watched.job, watched.index);
      std::fprintf(stderr, "glomora: error: %s: frame%s %s (task %s, job %s): %s%s (log: %s)\n", shot.name.c_str(),
                   task.firstFrame == task.lastFrame ? "" : "s", FrameRange(task.firstFrame, task.lastFrame).c_str(),
                   task.id.c_str(), job.c_str(),
                   Describe(watched).c_str(), error.empty() ? "" : (": " + error).c_str(), log.c_str());
      status = std::max(status, watched.state.exitStatus == kExitBadInput ? kExitBadInput : kExitFailure);
      notWritten.emplace_back(task.firstFrame, task.lastFrame);
      continue;
    }
    for (size_t i = 0; i < task.files.size(); ++i) {
      std::error_code ignored;
      if (std::filesystem::exists(task.files[i], ignored)) {
        ++(i < frames ? meshesWritten : cachesWritten);
        continue;
      }
      std::fprintf(stderr,
                   "glomora: error: %s: %s is missing although task %s succeeded: the machines that ran it must "
                   "write to the same storage as this one (the output and cache folders shared)\n",
                   shot.name.c_str(), task.files[i].c_str(), task.id.c_str());
      if (status == kExitSuccess) status = kExitFailure;
    }
  }
  std::printf("glomora: %s: wrote %lld of %lld mesh files%s%s\n", shot.name.c_str(),
              static_cast<long long>(meshesWritten), static_cast<long long>(meshes),
              cachesWritten > 0 ? (" and " + std::to_string(cachesWritten) + " cache files").c_str() : "",
              notWritten.empty() ? "" : ("; frames not written: " + FrameRanges(notWritten)).c_str());
  return status;
}

}  // namespace

int FollowSlurmJobs(const FarmPlan& plan, const std::vector<SlurmJob>& jobs, const SlurmOptions& options) {
  // 1) the tasks to follow, by squeue's name for them
  std::vector<WatchedTask> tasks;
  for (const SlurmJob& job : jobs) {
    for (size_t i = 0; i < job.tasks.size(); ++i) {
      tasks.push_back({job.tasks[i], &job, i, SlurmTaskName(job, i), {}});
    }
  }
  std::map<std::string, WatchedTask*> byKey;
  for (WatchedTask& task : tasks) byKey[task.key] = &task;

  // 2) poll until every task has ended
  InstallInterruptHandlers(false);
  const Clock::time_point start = Clock::now();
  Clock::time_point lastAnswer = start;
  for (;;) {
    if (Poll(jobs, byKey)) {
      lastAnswer = Clock::now();
      std::vector<WatchedTask*> unlisted;
      for (WatchedTask& task : tasks) {
        if (!task.state.ended && task.state.unlisted >= kPollsBeforeLookup) unlisted.push_back(&task);
      }
      if (!unlisted.empty()) LookUp(byKey, unlisted);
    } else if (Clock::now() - lastAnswer > kLostContact) {
      std::fprintf(stderr, "glomora: error: squeue has failed for %lld s: stopped following the jobs (%s)\n",
                   static_cast<long long>(kLostContact.count()), JobList(jobs).c_str());
      return kExitFailure;
    }
    if (std::all_of(tasks.begin(), tasks.end(), [](const WatchedTask& task) { return task.state.ended; })) break;
    const auto pause = Clock::now() - start < 60s ? 1s : 5s;
    for (auto slept = 0ms; slept < pause && !InterruptRequested(); slept += 100ms) std::this_thread::sleep_for(100ms);
    if (InterruptRequested()) {
      std::fprintf(stderr, "glomora: stopped following the jobs; they go on (scancel %s stops them)\n",
                   JobList(jobs, ' ').c_str());
      return kExitCancelled;
    }
  }

  // 3) the report, shot by shot
  int status = kExitSuccess;
  for (const FarmShot& shot : plan.shots) {
    status = std::max(status, ReportShot(shot, tasks, options));
  }
  return status;
}
