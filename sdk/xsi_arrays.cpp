// Storage of the value arrays.

#include "xsi_arrays.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace XSI::detail {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}

void* AllocateValues(size_t bytes, bool zeroed) noexcept {
  if (bytes == 0) bytes = 1;
  if (bytes < kLargeValueBlock) return zeroed ? std::calloc(1, bytes) : std::malloc(bytes);
  // A plain block (an aligned one could not reuse a freed block of the same
  // size, and the allocator's heap grew frame after frame), marked from its
  // first to its last whole 2 MiB. Only a hint: where the kernel has no huge
  // page to give, 4 KiB pages serve.
  // calloc leaves memory fresh from the kernel untouched and clears only a
  // block that was used before.
  void* block = zeroed ? std::calloc(1, bytes) : std::malloc(bytes);
  if (block != nullptr) {
    const auto start = reinterpret_cast<uintptr_t>(block);
    const uintptr_t first = (start + kHugePage - 1) / kHugePage * kHugePage;
    const uintptr_t end = (start + bytes) / kHugePage * kHugePage;
    if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  }
  return block;
}

void FreeValues(void* block) noexcept { std::free(block); }

}  // namespace XSI::detail
