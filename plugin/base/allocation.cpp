#include "base/allocation.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>

namespace allocation_faults {

namespace {
// Allocations left before the injected failure; -1: none armed. Atomic:
// allocations may come from the plug-in's worker threads.
std::atomic<int> remaining{-1};
}  // namespace

void FailAfter(int successes) { remaining.store(successes); }

void Clear() { remaining.store(-1); }

bool NextFails() {
  int left = remaining.load();
  while (left >= 0) {
    if (remaining.compare_exchange_weak(left, left == 0 ? -1 : left - 1)) return left == 0;
  }
  return false;
}

}  // namespace allocation_faults

void* AllocateHugePageBlock(size_t bytes) {
  constexpr size_t kHugePage = size_t{2} << 20;
  // A plain block (an aligned one could not reuse a freed block of the same
  // size, and the allocator's heap grew frame after frame), marked from its
  // first to its last whole 2 MiB. Only a hint: where the kernel has no huge
  // page to give, 4 KiB pages serve.
  void* block = std::malloc(bytes);
  if (block != nullptr) {
    const auto start = reinterpret_cast<uintptr_t>(block);
    const uintptr_t first = (start + kHugePage - 1) / kHugePage * kHugePage;
    const uintptr_t end = (start + bytes) / kHugePage * kHugePage;
    if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  }
  return block;
}
