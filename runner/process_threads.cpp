#include "process_threads.h"

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "front/glomora_api.h"
#include "tool_threads.h"

int CoreCount() {
  int cores = 0;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) == 0) cores = CPU_COUNT(&cpus);
  if (cores <= 0) cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (const char* given = std::getenv("SLURM_CPUS_PER_TASK")) {
    char* end = nullptr;
    const long count = std::strtol(given, &end, 10);
    if (end != given && *end == '\0' && count > 0 && count < cores) cores = static_cast<int>(count);
  }
  return cores;
}

int JobsFor(int jobs, int64_t frames, uint64_t latticeBytes, uint64_t memoryLimit) {
  int64_t count = jobs > 0 ? jobs : CoreCount();
  count = std::min(count, frames);
  if (latticeBytes > 0 && memoryLimit > 0) {
    count = std::min<int64_t>(count, static_cast<int64_t>(memoryLimit / latticeBytes));
  }
  return static_cast<int>(std::max<int64_t>(count, 1));
}

int ThreadsFor(int threads, int processes) {
  if (threads > 0) return threads;
  return std::max(1, CoreCount() / std::max(1, processes));
}

void UseThreads(int threads) {
  Glomora_SetThreadCount(threads);
  SetToolThreads(threads);
}
