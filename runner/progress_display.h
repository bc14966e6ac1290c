#pragma once
// What the command-line host shows on stderr while it runs: the host's log
// lines, the host's progress bar and the tool's own per-frame progress.
//
// On a terminal the progress bar and the frame progress share one status line
// that is redrawn in place; otherwise every update is a plain line (the host
// bar only at each tenth of its range).

#include <chrono>
#include <cstdint>
#include <string>

#include "host/host_scene.h"

class ProgressDisplay {
 public:
  // `quiet`: show only warnings and errors (and the host's log lines).
  // `showErrors`: false when the caller reports errors itself (the Python
  // module raises them).
  explicit ProgressDisplay(bool quiet, bool showErrors = true);
  ~ProgressDisplay();

  void HostLog(const std::string& text);
  void HostProgress(const XSI::Host::ProgressState& state, XSI::Host::ProgressEvent event);
  // After `done` frames of `total` ("3 of 8 done: DETAIL"; with worker
  // processes they end in any order); `detail` says what was written.
  void FrameDone(const std::string& detail, int64_t done, int64_t total, double elapsedSeconds);
  // "glomora: TEXT", unless quiet.
  void Note(const std::string& text);
  // Always shown, also when quiet.
  void Warning(const std::string& text);
  // "glomora: error: TEXT", unless errors are not shown.
  void Error(const std::string& text);
  // Clears the status line.
  void Finish();

  bool Quiet() const { return quiet_; }

 private:
  void Status(const std::string& text);
  void Line(const std::string& text);

  bool quiet_;
  bool showErrors_;
  bool terminal_;
  bool statusShown_ = false;
  int lastTenth_ = -1;
  // Terminal redraws of the host bar are at most this often: the recompute
  // loop can report thousands of frames a second.
  std::chrono::steady_clock::time_point lastDraw_{};
};

// "glomora: error: TEXT" on stderr, for a command that runs no display.
void PrintError(const std::string& text);

// "0.4 s", "12.0 s", "3 min 07 s".
std::string FormatSeconds(double seconds);
