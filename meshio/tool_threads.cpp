#include "tool_threads.h"

#include <memory>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_pipeline.h>
#include <oneapi/tbb/task_arena.h>

namespace {

int toolThreads = 1;
std::unique_ptr<oneapi::tbb::global_control> allowance;
std::unique_ptr<oneapi::tbb::task_arena> arena;

}  // namespace

void SetToolThreads(int threads) {
  const int clamped = threads < 1 ? 1 : threads > 1024 ? 1024 : threads;
  if (clamped == toolThreads) return;
  arena.reset();
  allowance.reset();
  if (clamped > 1) {
    allowance = std::make_unique<oneapi::tbb::global_control>(oneapi::tbb::global_control::max_allowed_parallelism,
                                                              static_cast<size_t>(clamped));
    arena = std::make_unique<oneapi::tbb::task_arena>(clamped, 1);
  }
  toolThreads = clamped;
}

int ToolThreads() { return toolThreads; }

void ForEachToolPart(int64_t parts, const std::function<void(int64_t)>& part) {
  if (toolThreads == 1 || parts <= 1) {
    for (int64_t p = 0; p < parts; ++p) part(p);
    return;
  }
  arena->execute([&] {
    oneapi::tbb::parallel_for(int64_t{0}, parts, [&](int64_t p) { part(p); });
  });
}

void PipelineInOrder(int64_t items, int64_t inFlight, const std::function<void(int64_t)>& make,
                     const std::function<void(int64_t)>& use) {
  if (toolThreads == 1 || items <= 1) {
    for (int64_t item = 0; item < items; ++item) {
      make(item);
      use(item);
    }
    return;
  }
  arena->execute([&] {
    int64_t next = 0;
    oneapi::tbb::parallel_pipeline(
        static_cast<size_t>(inFlight < 1 ? 1 : inFlight),
        oneapi::tbb::make_filter<void, int64_t>(oneapi::tbb::filter_mode::serial_in_order,
                                                [&](oneapi::tbb::flow_control& control) -> int64_t {
                                                  if (next >= items) {
                                                    control.stop();
                                                    return 0;
                                                  }
                                                  return next++;
                                                }) &
            oneapi::tbb::make_filter<int64_t, int64_t>(oneapi::tbb::filter_mode::parallel,
                                                       [&](int64_t item) {
                                                         make(item);
                                                         return item;
                                                       }) &
            oneapi::tbb::make_filter<int64_t, void>(oneapi::tbb::filter_mode::serial_in_order,
                                                    [&](int64_t item) { use(item); }));
  });
}
