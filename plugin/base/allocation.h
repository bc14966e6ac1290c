#pragma once
// Allocation of the system's own large buffers (element arrays, lattices,
// dataset records, scratch) as a value that can fail: a null result, never an
// exception and never an overflowed size. Tests can make the n-th allocation
// fail.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace allocation_faults {

// The next `successes` allocations succeed, the one after fails, then all succeed again.
void FailAfter(int successes);
// No injected failure.
void Clear();
// Consumes one allocation; true when it must fail.
bool NextFails();

}  // namespace allocation_faults

// Blocks of this size and more (the voxel lattices, the tracker's tables) are
// marked for transparent huge pages (their whole 2 MiB pages): their first
// touch then takes one page fault per 2 MiB instead of one per 4 KiB (a
// 128-cell lattice set, 69 MB, went from 16,800 faults to 33). Freed with
// std::free like any other block.
constexpr size_t kHugePageBlock = size_t{4} << 20;
void* AllocateHugePageBlock(size_t bytes);

// malloc of count * size bytes; null when the product overflows, the memory is
// not there or a failure is injected. A zero count yields a valid empty block.
inline void* TryAllocateBlock(size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  if (allocation_faults::NextFails()) return nullptr;
  const size_t bytes = count * size;
  return bytes >= kHugePageBlock ? AllocateHugePageBlock(bytes) : std::malloc(bytes == 0 ? 1 : bytes);
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Uninitialised array of trivially constructible T, or null (see TryAllocateBlock).
template <class T>
std::unique_ptr<T[], FreeDeleter> TryAllocateArray(size_t count) {
  return std::unique_ptr<T[], FreeDeleter>(static_cast<T*>(TryAllocateBlock(count, sizeof(T))));
}

// A buffer of trivially constructible T that grows on demand and is kept
// between uses, so that repeated work allocates nothing once it is big enough.
template <class T>
struct ScratchBuffer {
  std::unique_ptr<T[], FreeDeleter> data;
  size_t capacity = 0;
  // Room for n values (the contents are not kept when it grows); false,
  // leaving the buffer empty, when the memory cannot be had.
  bool Reserve(size_t n) {
    if (data && n <= capacity) return true;
    data.reset();
    capacity = 0;
    data = TryAllocateArray<T>(n);
    if (!data) return false;
    capacity = n;
    return true;
  }
};
