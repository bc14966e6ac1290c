#include "memory_limit.h"

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

constexpr int64_t kMaxSampledFrames = 100000;

bool IsAnimatedAny(const XSI::Host::AnimatedValue* values, int count) {
  for (int i = 0; i < count; ++i) {
    if (values[i].IsAnimated()) return true;
  }
  return false;
}

uint64_t SaturatingMultiply(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
  return a * b;
}

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

uint64_t LatticeBytes(int64_t x, int64_t y, int64_t z) {
  if (x < 1 || y < 1 || z < 1) return 0;
  uint64_t bytes = kLatticeBytesPerPoint;
  for (const int64_t r : {x, y, z}) bytes = SaturatingMultiply(bytes, static_cast<uint64_t>(r) + 1);
  return bytes;
}

LatticeNeed LargestLatticeNeed(const SceneDescription& scene, int64_t first, int64_t last) {
  const XSI::Host::AnimatedValue values[4] = {
      EffectiveParameter(scene, "Space"), EffectiveParameter(scene, "Resolution_X"),
      EffectiveParameter(scene, "Resolution_Y"), EffectiveParameter(scene, "Resolution_Z")};
  LatticeNeed need;
  const int64_t span = last - first;
  const int64_t samples = !IsAnimatedAny(values, 4) ? 1 : std::min<int64_t>(span + 1, kMaxSampledFrames);
  for (int64_t s = 0; s < samples; ++s) {
    const int64_t frame =
        samples == 1 ? first
                     : first + static_cast<int64_t>(static_cast<long double>(span) * s / (samples - 1));
    const double at = static_cast<double>(frame);
    if (static_cast<XSI::LONG>(values[0].At(at)) != 0) continue;
    const int64_t x = static_cast<XSI::LONG>(values[1].At(at));
    const int64_t y = static_cast<XSI::LONG>(values[2].At(at));
    const int64_t z = static_cast<XSI::LONG>(values[3].At(at));
    const uint64_t bytes = LatticeBytes(x, y, z);
    if (bytes > need.bytes) need = LatticeNeed{bytes, frame, {x, y, z}};
  }
  return need;
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
