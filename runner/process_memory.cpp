#include "process_memory.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

#if defined(__SANITIZE_ADDRESS__)
#define GLOMORA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GLOMORA_ASAN 1
#endif
#endif

namespace {

#ifndef GLOMORA_ASAN
// Bytes of address space the process holds now (VmSize).
uint64_t CurrentAddressSpace() {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  if (!(statm >> pages)) return 0;
  return pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}
#endif

}  // namespace

bool ParseMemorySize(std::string_view text, uint64_t& bytes) {
  double number = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (ec != std::errc() || end == text.data() || !(number > 0.0)) return false;
  std::string unit(end, text.data() + text.size());
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (unit.size() >= 2 && unit.compare(unit.size() - 2, 2, "IB") == 0) {
    unit.erase(unit.size() - 2);
    if (unit.empty()) return false;
  } else if (unit.size() >= 2 && unit.back() == 'B') {
    unit.pop_back();
  }
  double scale = 1.0;
  if (unit == "K") scale = 1024.0;
  else if (unit == "M") scale = 1024.0 * 1024.0;
  else if (unit == "G") scale = 1024.0 * 1024.0 * 1024.0;
  else if (unit == "T") scale = 1024.0 * 1024.0 * 1024.0 * 1024.0;
  else if (!unit.empty() && unit != "B") return false;
  const double value = std::floor(number * scale);
  if (!(value >= 1.0) || value >= 18446744073709551616.0) return false;
  bytes = static_cast<uint64_t>(value);
  return true;
}

std::string FormatMemorySize(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 5) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 10.0 ? "%.2f %s" : value < 100.0 ? "%.1f %s" : "%.0f %s", value,
                kUnits[unit]);
  return text;
}

uint64_t DefaultMemoryLimit() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return uint64_t{1} << 30;
  return static_cast<uint64_t>(pages) / 2 * static_cast<uint64_t>(pageSize);
}

bool LimitProcessMemory(uint64_t bytes, std::string& note) {
#ifdef GLOMORA_ASAN
  (void)bytes;
  note = "the memory limit is not applied to the process in a sanitizer build (only the lattice check is)";
  return false;
#else
  const uint64_t base = CurrentAddressSpace();
  rlimit limit{};
  limit.rlim_cur = bytes > RLIM_INFINITY - base ? RLIM_INFINITY : base + bytes;
  limit.rlim_max = RLIM_INFINITY;
  rlimit current{};
  if (::getrlimit(RLIMIT_AS, &current) == 0) {
    limit.rlim_max = current.rlim_max;
    if (limit.rlim_cur > current.rlim_max) limit.rlim_cur = current.rlim_max;
  }
  if (::setrlimit(RLIMIT_AS, &limit) != 0) {
    note = "could not limit the process's memory";
    return false;
  }
  return true;
#endif
}

std::string HugePageTunables(const char* current) {
  const std::string tunables = current != nullptr ? current : "";
  if (tunables.find("glibc.malloc.hugetlb") != std::string::npos) return std::string();
  return tunables.empty() ? "glibc.malloc.hugetlb=1" : tunables + ":glibc.malloc.hugetlb=1";
}

void KeepFreedMemory() {
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  ::mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
}
