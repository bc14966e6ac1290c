#pragma once
// The memory of a process: the budget (--max-memory) as text, the limit on
// the process, and how its allocator keeps and pages memory.

#include <cstdint>
#include <string>
#include <string_view>

// "1048576", "512K", "300M", "1.5G", "2T" (powers of 1024, either case, an
// optional trailing "B" or "iB"). False for anything else, zero or an
// overflowing size.
bool ParseMemorySize(std::string_view text, uint64_t& bytes);

// "1.5 GiB", "300 MiB", "12 KiB", "17 bytes".
std::string FormatMemorySize(uint64_t bytes);

// Half of the machine's physical memory (1 GiB when it cannot be read).
uint64_t DefaultMemoryLimit();

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
