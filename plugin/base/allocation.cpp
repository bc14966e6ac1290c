#include "base/allocation.h"

#include <sys/mman.h>

#include <cstdint>

namespace allocation_faults {

namespace {
int remaining = -1;  // allocations left before the injected failure; -1: none armed
}

void FailAfter(int successes) { remaining = successes; }

void Clear() { remaining = -1; }

bool NextFails() {
  if (remaining < 0) return false;
  if (remaining == 0) {
    remaining = -1;
    return true;
  }
  --remaining;
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
