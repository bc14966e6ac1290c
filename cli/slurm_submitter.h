#pragma once
// A farm plan as Slurm jobs (`glomora submit --slurm`): one batch job per
// simulation, and per shot a job array of its independent frames, which
// waits for the simulation with an `afterok` dependency. Jobs are submitted
// with sbatch, found on PATH with the cluster's own configuration (SLURM_CONF
// and the rest of the environment pass to sbatch and on to the jobs).
//
// Each job runs its tasks' `glomora run` command lines with `exec`, so the
// job's exit status is the tool's (1: a retry may help; 2: bad input, it
// cannot) and a signal from Slurm (scancel, the time limit) reaches the tool,
// which removes the file it was writing. Every file is written under a
// temporary name and renamed, with the same bytes whenever a task runs, so a
// task run again (a requeue, a resubmission) leaves the same files.

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

// Submits the plan (or prints its batch scripts), prints the job ids and, with
// options.wait, follows the jobs to their end (slurm_watch.h). Returns the
// exit status: 0 when everything was submitted (and, with wait, every task
// succeeded), otherwise 1, or 2 when a task failed on bad input. A submission
// that fails part way cancels the jobs it had submitted.
int SubmitToSlurm(const FarmPlan& plan, const SlurmOptions& options);
