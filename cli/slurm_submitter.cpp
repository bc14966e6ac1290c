#include "slurm_submitter.h"

#include <cstdio>
#include <filesystem>
#include <map>

#include "child_process.h"
#include "frame_runner.h"
#include "slurm_watch.h"

namespace {

using namespace std::chrono_literals;

// The most tasks in one job array (Slurm's default MaxArraySize is 1001).
constexpr size_t kMostArrayTasks = 1000;
// An sbatch or scancel that has not answered by then is given up.
constexpr auto kClientLimit = 120s;

void PrintError(const std::string& text) { std::fprintf(stderr, "glomora: error: %s\n", text.c_str()); }

std::string FramesText(const FarmTask& task) {
  return task.firstFrame == task.lastFrame ? "frame " + std::to_string(task.firstFrame)
                                           : "frames " + std::to_string(task.firstFrame) + " to " +
                                                 std::to_string(task.lastFrame);
}

// sbatch reads "%" in a file name as the start of a pattern ("%j" the job id).
std::string EscapePercent(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

std::string LogBase(const SlurmJob& job, const SlurmOptions& options) {
  return options.logFolder + "/" + job.shot + (job.array ? ".frames." : ".simulation.");
}

std::string Script(const SlurmJob& job, const FarmShot& shot) {
  std::string script = "#!/bin/sh\n# glomora: shot " + shot.name + " (" + shot.scene + "), ";
  if (!job.array) return script + "simulation, " + FramesText(*job.tasks[0]) + "\nexec " + ShellCommand(job.tasks[0]->argv) + "\n";
  script += std::to_string(job.tasks.size()) + " task" + (job.tasks.size() == 1 ? "" : "s") + " of independent frames\n";
  script += "case \"$SLURM_ARRAY_TASK_ID\" in\n";
  for (size_t i = 0; i < job.tasks.size(); ++i) {
    script += "  " + std::to_string(i) + ") exec " + ShellCommand(job.tasks[i]->argv) + " ;;  # " + job.tasks[i]->id + "\n";
  }
  script += "esac\necho \"glomora: error: no task $SLURM_ARRAY_TASK_ID in this job array\" >&2\nexit 2\n";
  return script;
}

void FinishJob(SlurmJob& job, const FarmShot& shot, const SlurmOptions& options) {
  const std::string log = EscapePercent(LogBase(job, options)) + (job.array ? "%A_%a.log" : "%j.log");
  job.options = {"--job-name=glomora:" + shot.name + (job.array ? ":frames" : ":simulation"), "--output=" + log,
                 "--cpus-per-task=" + std::to_string(options.cpusPerTask), "--kill-on-invalid-dep=yes"};
  if (job.array) job.options.push_back("--array=0-" + std::to_string(job.tasks.size() - 1));
  if (!options.partition.empty()) job.options.push_back("--partition=" + options.partition);
  job.script = Script(job, shot);
}

// The sbatch command line of `job`; `jobOfTask` gives the job ids it depends
// on (a placeholder naming the task before they are known).
std::vector<std::string> SbatchCommand(const SlurmJob& job, const std::map<std::string, std::string>& jobOfTask) {
  std::vector<std::string> argv = {"sbatch", "--parsable"};
  argv.insert(argv.end(), job.options.begin(), job.options.end());
  if (!job.after.empty()) {
    std::string dependency = "--dependency=afterok";
    for (const std::string& task : job.after) {
      const auto at = jobOfTask.find(task);
      dependency += ":" + (at != jobOfTask.end() ? at->second : "<job of " + task + ">");
    }
    argv.push_back(dependency);
  }
  return argv;
}

void CancelJobs(const std::vector<SlurmJob>& jobs) {
  std::vector<std::string> argv = {"scancel"};
  for (const SlurmJob& job : jobs) {
    if (!job.id.empty()) argv.push_back(job.id);
  }
  if (argv.size() == 1) return;
  const ProgramResult cancel = RunProgram(argv, "", kClientLimit);
  if (cancel.status != 0) PrintError("scancel: " + cancel.err);
}

void PrintSubmitted(const SlurmJob& job, const std::map<std::string, std::string>& jobOfTask) {
  std::string line = "glomora: " + job.shot + ": ";
  if (job.array) {
    line += "job array " + job.id + " (tasks 0-" + std::to_string(job.tasks.size() - 1) + "): " +
            job.tasks.front()->id + " ... " + job.tasks.back()->id;
  } else {
    line += "job " + job.id + ": " + job.tasks[0]->id;
  }
  for (size_t i = 0; i < job.after.size(); ++i) {
    line += (i == 0 ? ", after job " : ", ") + jobOfTask.at(job.after[i]);
  }
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

std::vector<SlurmJob> SlurmJobs(const FarmPlan& plan, const SlurmOptions& options) {
  std::vector<SlurmJob> simulations;
  std::vector<SlurmJob> arrays;
  for (const FarmShot& shot : plan.shots) {
    for (const FarmTask& task : shot.tasks) {
      if (task.simulation) {
        SlurmJob job{shot.name, false, {&task}, task.after, {}, {}, {}};
        FinishJob(job, shot, options);
        simulations.push_back(std::move(job));
        continue;
      }
      // Chunks that wait for the same tasks share an array.
      if (arrays.empty() || arrays.back().shot != shot.name || arrays.back().after != task.after ||
          arrays.back().tasks.size() == kMostArrayTasks) {
        arrays.push_back(SlurmJob{shot.name, true, {}, task.after, {}, {}, {}});
      }
      arrays.back().tasks.push_back(&task);
    }
    for (SlurmJob& job : arrays) {
      if (job.script.empty()) FinishJob(job, shot, options);
    }
  }
  // A plan's chunks wait only for simulations, which wait for nothing.
  for (SlurmJob& job : arrays) simulations.push_back(std::move(job));
  return simulations;
}

std::string SlurmTaskName(const SlurmJob& job, size_t index) {
  if (!job.array) return job.id;
  return job.id + '_' + std::to_string(index);
}

std::string SlurmLogFile(const SlurmJob& job, const SlurmOptions& options, size_t index) {
  return LogBase(job, options) + SlurmTaskName(job, index) + ".log";
}

int SubmitToSlurm(const FarmPlan& plan, const SlurmOptions& options) {
  std::vector<SlurmJob> jobs = SlurmJobs(plan, options);
  std::map<std::string, std::string> jobOfTask;
  if (options.dryRun) {
    for (const SlurmJob& job : jobs) {
      std::printf("%s <<'EOF'\n%sEOF\n\n", ShellCommand(SbatchCommand(job, jobOfTask)).c_str(), job.script.c_str());
    }
    return kExitSuccess;
  }
  std::error_code failure;
  std::filesystem::create_directories(options.logFolder, failure);
  if (failure) {
    PrintError(options.logFolder + ": cannot make the log folder (" + failure.message() + ")");
    return kExitFailure;
  }
  for (SlurmJob& job : jobs) {
    const ProgramResult sbatch = RunProgram(SbatchCommand(job, jobOfTask), job.script, kClientLimit);
    // --parsable prints "ID" or "ID;CLUSTER".
    const std::string id = sbatch.out.substr(0, sbatch.out.find_first_of(";\n"));
    if (sbatch.status != 0 || id.empty() || id.find_first_not_of("0123456789") != std::string::npos) {
      PrintError("sbatch: the job of " + job.tasks.front()->id + " was not submitted" +
                 (sbatch.err.empty() ? std::string() : " (" + sbatch.err.substr(0, sbatch.err.find_last_not_of('\n') + 1) + ")") +
                 (&job == &jobs.front() ? "" : "; the jobs submitted before it are cancelled"));
      CancelJobs(jobs);
      return kExitFailure;
    }
    job.id = id;
    for (const FarmTask* task : job.tasks) jobOfTask[task->id] = id;
    PrintSubmitted(job, jobOfTask);
  }
  return options.wait ? FollowSlurmJobs(plan, jobs, options) : kExitSuccess;
}
