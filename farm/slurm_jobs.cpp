#include "slurm_jobs.h"

namespace {

// The most tasks in one job array (Slurm's default MaxArraySize is 1001).
constexpr size_t kMostArrayTasks = 1000;

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

// `text` for a comment line of a batch script: a line break would end the
// comment (and sbatch reads a following "#SBATCH" line as its option), so
// control characters and the backslash are written as escapes (\n, \x1b, \\).
std::string CommentText(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20 || byte == 0x7f) {
      out += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::string LogBase(const SlurmJob& job, const SlurmOptions& options) {
  return options.logFolder + "/" + job.shot + (job.array ? ".frames." : ".simulation.");
}

std::string Script(const SlurmJob& job, const FarmShot& shot) {
  std::string script = "#!/bin/sh\n# glomora: shot " + CommentText(shot.name) + " (" + CommentText(shot.scene) + "), ";
  if (!job.array) return script + "simulation, " + FramesText(*job.tasks[0]) + "\nexec " + ShellCommand(job.tasks[0]->argv) + "\n";
  script += std::to_string(job.tasks.size()) + " task" + (job.tasks.size() == 1 ? "" : "s") + " of independent frames\n";
  script += "case \"$SLURM_ARRAY_TASK_ID\" in\n";
  for (size_t i = 0; i < job.tasks.size(); ++i) {
    script += "  " + std::to_string(i) + ") exec " + ShellCommand(job.tasks[i]->argv) + " ;;  # " + CommentText(job.tasks[i]->id) + "\n";
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
