#pragma once
// The processor clock in milliseconds, the stage clock of one operator
// instance, and the timing line the plug-in logs for a timed stage.

#include <cstdint>
#include <ctime>

// Processor time in milliseconds, truncated to int32.
inline int32_t ClockMs() {
  return static_cast<int32_t>(static_cast<int64_t>(std::clock()) * 1000 / CLOCKS_PER_SEC);
}

// Start of the current timed stage and end of the last one, in ClockMs units.
struct StageClock {
  int32_t start = 0;
  int32_t end = 0;

  // start = now.
  void Start() { start = ClockMs(); }
  // end = now; returns end - start.
  int32_t Stop() {
    end = ClockMs();
    return end - start;
  }
  // Stop, then start the next stage with a fresh reading.
  int32_t Lap() {
    const int32_t elapsed = Stop();
    Start();
    return elapsed;
  }
};

// Logs the timing line "<label><milliseconds> msec." (label such as
// "- postprocessing -> " or "- PolygonMesh::Set(): ").
void LogTiming(const wchar_t* label, int32_t milliseconds);
