#pragma once
// A farm plan as Slurm jobs: one batch job per simulation, and per shot a job
// array of its independent frames, which waits for the simulation with an
// `afterok` dependency; their sbatch options, batch scripts and log files.

#include <string>
#include <vector>

#include "farm_plan.h"

struct SlurmOptions {
  std::string partition;  // empty: the cluster's default partition
  int cpusPerTask = 1;    // the tool's threads follow (SLURM_CPUS_PER_TASK)
  std::string logFolder;  // absolute; each job's output goes to a file there
  bool dryRun = false;    // print the batch scripts instead of submitting them
  bool wait = false;      // follow the jobs to their end and report per shot
};

// One sbatch submission: a shot's simulation, or a job array of its chunks of
// independent frames (array index i runs tasks[i]).
struct SlurmJob {
  std::string shot;
  bool array = false;
  std::vector<const FarmTask*> tasks;  // into the plan, which must outlive the job
  std::vector<std::string> after;      // ids of the tasks (in other jobs) it waits for
  std::vector<std::string> options;    // sbatch's options but the dependency (name, output, array, ...)
  std::string script;                  // the batch script: the tasks' command lines
  std::string id;                      // the job id, once submitted
};

// The plan's jobs in an order that submits every job after those it waits for.
std::vector<SlurmJob> SlurmJobs(const FarmPlan& plan, const SlurmOptions& options);

// Slurm's name of array index `index` of a submitted job: "ID_INDEX", or "ID"
// for a simulation.
std::string SlurmTaskName(const SlurmJob& job, size_t index);

// The log file of array index `index` of a submitted job.
std::string SlurmLogFile(const SlurmJob& job, const SlurmOptions& options, size_t index);
