#pragma once
// Follows submitted Slurm jobs to their end (`glomora submit --slurm --wait`)
// and reports per shot what was written and what failed.
//
// Task states come from squeue (every state, so that it lists a job that has
// ended until the controller forgets it, MinJobAge after its end: 300 s by
// default), asked every second during the first minute and every 5 s after.
// A task the controller no longer lists is looked up with sacct, where the
// cluster keeps accounting; otherwise it counts as failed, state UNKNOWN.

#include <vector>

#include "farm_plan.h"
#include "slurm_jobs.h"

// Waits until every task of `jobs` (submitted: their ids are set) has ended,
// then reports per shot: each task that did not succeed with its frames, job,
// state, exit status, the last error line of its log and the log's name; and
// how many of the shot's files were written. Returns the exit status: 0 when
// every task succeeded and its files are there, 2 when a task failed on bad
// input, otherwise 1 (a task failed or never ran, a file is missing, or
// squeue failed for 5 minutes in a row); 130 when Ctrl-C stopped the
// following (the jobs go on).
int FollowSlurmJobs(const FarmPlan& plan, const std::vector<SlurmJob>& jobs, const SlurmOptions& options);
