// Storage of the value arrays.

#include "xsi_arrays.h"

#include <sys/mman.h>

#include <cstdlib>

namespace XSI::detail {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}

void* AllocateValues(size_t bytes) noexcept {
  if (bytes < kLargeValueBlock) return std::malloc(bytes == 0 ? 1 : bytes);
  if (bytes > SIZE_MAX - kHugePage) return nullptr;
  // aligned_alloc wants a size that is a multiple of the alignment; the
  // part past `bytes` is never touched, so it costs address space only.
  const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* block = std::aligned_alloc(kHugePage, rounded);
  // Only a hint: where the kernel has no huge page to give, 4 KiB pages serve.
  if (block != nullptr) ::madvise(block, rounded, MADV_HUGEPAGE);
  return block;
}

void FreeValues(void* block) noexcept { std::free(block); }

}  // namespace XSI::detail
