#pragma once
// The thread counts the determinism tests compare, and a scope that sets the
// plug-in's thread count and puts it back to one.

#include "base/parallel.h"

namespace test_support {

// One thread, two (this machine's cores), an odd count, and more threads
// than cores (parts run in every interleaving).
constexpr int kThreadCounts[] = {1, 2, 3, 8};

class ScopedThreadCount {
 public:
  explicit ScopedThreadCount(int count) { parallel::SetThreadCount(count); }
  ~ScopedThreadCount() { parallel::SetThreadCount(1); }
  ScopedThreadCount(const ScopedThreadCount&) = delete;
  ScopedThreadCount& operator=(const ScopedThreadCount&) = delete;
};

}  // namespace test_support
