#include "slurm_submitter.h"

#include <cstdio>
#include <filesystem>
#include <map>

#include "child_process.h"
#include "progress_display.h"
#include "run_failure.h"
#include "slurm_watch.h"

namespace {

using namespace std::chrono_literals;

// An sbatch or scancel that has not answered by then is given up.
constexpr auto kClientLimit = 120s;

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

// The delimiter of a here-document holding `text`: "EOF", or "EOF1", "EOF2"
// ... when a line of the text is that word, which would end it early.
std::string HeredocDelimiter(const std::string& text) {
  const std::string lines = "\n" + text;
  std::string word = "EOF";
  for (int n = 1; lines.find("\n" + word + "\n") != std::string::npos || lines.ends_with("\n" + word); ++n) {
    word = "EOF" + std::to_string(n);
  }
  return word;
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

int SubmitToSlurm(const FarmPlan& plan, const SlurmOptions& options) {
  std::vector<SlurmJob> jobs = SlurmJobs(plan, options);
  std::map<std::string, std::string> jobOfTask;
  if (options.dryRun) {
    for (const SlurmJob& job : jobs) {
      const std::string end = HeredocDelimiter(job.script);
      std::printf("%s <<'%s'\n%s%s\n\n", ShellCommand(SbatchCommand(job, jobOfTask)).c_str(), end.c_str(),
                  job.script.c_str(), end.c_str());
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
