#pragma once
// The command-line host's memory budget (--max-memory): parsing sizes, the
// memory a scene's voxel lattices need, and the limit on the process.

#include <cstdint>
#include <string>
#include <string_view>

#include "scene_file.h"

// Bytes the plug-in's four voxel lattices take per lattice point: the
// simulated and sampled fields (float each) and their gradients (3 floats each).
constexpr uint64_t kLatticeBytesPerPoint = 32;

// "1048576", "512K", "300M", "1.5G", "2T" (powers of 1024, either case, an
// optional trailing "B" or "iB"). False for anything else, zero or an
// overflowing size.
bool ParseMemorySize(std::string_view text, uint64_t& bytes);

// "1.5 GiB", "300 MiB", "12 KiB", "17 bytes".
std::string FormatMemorySize(uint64_t bytes);

// Half of the machine's physical memory (1 GiB when it cannot be read).
uint64_t DefaultMemoryLimit();

// kLatticeBytesPerPoint * (x + 1) * (y + 1) * (z + 1), saturating at
// UINT64_MAX; 0 when a resolution is below 1 (the plug-in makes no lattice).
uint64_t LatticeBytes(int64_t x, int64_t y, int64_t z);

// The largest lattice a scene's evaluation of frames first..last asks for: at
// each frame where "Space" is 0, the lattice of "Resolution_X/Y/Z" at that
// frame (every frame of a range up to 100000 frames, else 100000 frames
// evenly spread with both ends; an unanimated scene is read once).
struct LatticeNeed {
  uint64_t bytes = 0;
  int64_t frame = 0;
  int64_t resolution[3] = {0, 0, 0};
};
LatticeNeed LargestLatticeNeed(const SceneDescription& scene, int64_t first, int64_t last);

// Lets the process's address space grow by at most `bytes` beyond what it
// holds now (RLIMIT_AS), so that allocations past the budget fail and the
// plug-in's own out-of-memory paths run. Not applied in sanitizer builds,
// whose shadow memory reserves terabytes of address space: returns false
// there and says so in `note`.
bool LimitProcessMemory(uint64_t bytes, std::string& note);

// GLIBC_TUNABLES that make the C library's allocator put its heap and its
// mapped blocks on transparent huge pages (glibc.malloc.hugetlb=1), added to
// `current`, the variable's value now (null when unset). Empty when `current`
// already sets glibc.malloc.hugetlb (to anything). The C library reads the
// variable when a process starts, so it takes effect in processes started
// with it.
std::string HugePageTunables(const char* current);

// Makes the C library's allocator keep freed memory for the next allocation
// instead of returning it to the system (blocks above 32 MiB, the largest it
// keeps in its heap, are still mapped and returned): memory the system hands
// out afresh costs a page fault and zeroing per page on first touch, several
// times the cost of the work done in it on these machines, and the frames of
// a run (and the stages of one frame) free and allocate buffers of the same
// sizes over and over. For the whole process, from the call on.
void KeepFreedMemory();
