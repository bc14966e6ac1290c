#include "front/allocation.h"

#include <sys/mman.h>

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
  if (bytes > SIZE_MAX - kHugePage) return nullptr;
  // aligned_alloc wants a size that is a multiple of the alignment; the
  // part past `bytes` is never touched, so it costs address space only.
  const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* block = std::aligned_alloc(kHugePage, rounded);
  // Only a hint: where the kernel has no huge page to give, 4 KiB pages serve.
  if (block != nullptr) ::madvise(block, rounded, MADV_HUGEPAGE);
  return block;
}
