#pragma once
// The cores, worker processes and threads of a run.

#include <cstdint>

// The cores this process may use: those of its affinity mask, and inside a
// Slurm task no more than the CPUs the task was given (SLURM_CPUS_PER_TASK;
// a cluster that does not bind tasks to cores would otherwise see each task
// take them all).
int CoreCount();

// The number of worker processes a run of `frames` independent frames uses
// for `jobs` asked (0: one per core), at most one per frame, lowered so that
// `jobs` lattices of `latticeBytes` fit in `memoryLimit` (0: no limit).
int JobsFor(int jobs, int64_t frames, uint64_t latticeBytes, uint64_t memoryLimit);

// The threads each of `processes` processes uses for `threads` asked (0: the
// cores shared among them, at least one each).
int ThreadsFor(int threads, int processes);

// Sets the thread count of the plug-in (Glomora_SetThreadCount) and of the
// tool's own work in this process.
void UseThreads(int threads);
