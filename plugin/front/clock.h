#pragma once
// The processor clock in milliseconds, as the timing log lines use it.

#include <cstdint>
#include <ctime>

struct OperatorInstance;

// Processor time in milliseconds, truncated to int32.
inline int32_t ClockMs() {
  return static_cast<int32_t>(static_cast<int64_t>(std::clock()) * 1000 / CLOCKS_PER_SEC);
}

// clockEnd = now; returns clockEnd - clockStart; clockStart = a fresh reading.
int32_t Lap(OperatorInstance& instance);
