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
#include "slurm_jobs.h"

// Submits the plan (or prints its batch scripts), prints the job ids and, with
// options.wait, follows the jobs to their end (slurm_watch.h). Returns the
// exit status: 0 when everything was submitted (and, with wait, every task
// succeeded), otherwise 1, or 2 when a task failed on bad input. A submission
// that fails part way cancels the jobs it had submitted.
int SubmitToSlurm(const FarmPlan& plan, const SlurmOptions& options);
