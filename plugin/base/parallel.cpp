#include "base/parallel.h"

#include <atomic>
#include <exception>
#include <memory>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

namespace parallel {

namespace {

// Parts per thread: enough for uneven parts to even out, few enough that
// what each part repeats (its own start-up) stays small.
constexpr int64_t kPartsPerThread = 8;

std::atomic<int32_t> threadCount{1};
// The arena of the current count, and the process's allowance of threads
// raised to it (oneTBB allows one per core unless told otherwise; a host
// that allows fewer still has its way). Made by a SetThreadCount above 1.
std::unique_ptr<oneapi::tbb::task_arena> arena;
std::unique_ptr<oneapi::tbb::global_control> allowance;

}  // namespace

int32_t SetThreadCount(int32_t count) {
  const int32_t clamped = count < 1 ? 1 : count > kMaxThreads ? kMaxThreads : count;
  if (clamped == threadCount.load()) return clamped;
  threadCount.store(1);
  arena.reset();
  allowance.reset();
  if (clamped == 1) return 1;
  // The calling thread takes one of the arena's slots when it enters:
  // `clamped` threads in all. Without the memory for them, one thread.
  try {
    allowance = std::make_unique<oneapi::tbb::global_control>(oneapi::tbb::global_control::max_allowed_parallelism,
                                                              static_cast<size_t>(clamped));
    arena = std::make_unique<oneapi::tbb::task_arena>(clamped, 1);
  } catch (const std::exception&) {
    arena.reset();
    allowance.reset();
    return 1;
  }
  threadCount.store(clamped);
  return clamped;
}

int32_t ThreadCount() { return threadCount.load(std::memory_order_relaxed); }

int32_t WorkerIndex() {
  if (ThreadCount() == 1) return 0;
  const int index = oneapi::tbb::this_task_arena::current_thread_index();
  return index >= 0 && index < ThreadCount() ? index : 0;
}

int64_t PartCount(int64_t items) {
  if (items <= 1) return 1;
  const int64_t threads = ThreadCount();
  if (threads == 1) return 1;
  const int64_t parts = threads * kPartsPerThread;
  return items < parts ? items : parts;
}

namespace detail {

void RunParts(int64_t parts, PartFunction function, void* context) {
  arena->execute([&] {
    oneapi::tbb::parallel_for(
        oneapi::tbb::blocked_range<int64_t>(0, parts, 1),
        [&](const oneapi::tbb::blocked_range<int64_t>& range) {
          for (int64_t p = range.begin(); p != range.end(); ++p) function(context, p);
        },
        oneapi::tbb::simple_partitioner());
  });
}

}  // namespace detail

}  // namespace parallel
