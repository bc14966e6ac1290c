#include "progress_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace {

size_t TerminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) return size.ws_col;
  return 80;
}

std::string Narrow(const std::wstring& text) { return XSI::CString(text).GetAsciiString(); }

}  // namespace

std::string FormatSeconds(double seconds) {
  char text[32];
  if (seconds < 60.0) {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  } else {
    const auto whole = static_cast<long long>(std::floor(seconds));
    std::snprintf(text, sizeof text, "%lld min %02lld s", whole / 60, whole % 60);
  }
  return text;
}

ProgressDisplay::ProgressDisplay(bool quiet, bool showErrors)
    : quiet_(quiet), showErrors_(showErrors), terminal_(::isatty(STDERR_FILENO) == 1) {}

ProgressDisplay::~ProgressDisplay() { Finish(); }

void ProgressDisplay::Status(const std::string& text) {
  if (quiet_) return;
  if (!terminal_) {
    Line(text);
    return;
  }
  std::string shown = text;
  const size_t width = TerminalWidth() - 1;
  if (shown.size() > width) shown = shown.substr(0, width);
  std::fprintf(stderr, "\r\x1b[K%s", shown.c_str());
  std::fflush(stderr);
  statusShown_ = true;
}

void ProgressDisplay::Line(const std::string& text) {
  if (statusShown_) {
    std::fputs("\r\x1b[K", stderr);
    statusShown_ = false;
  }
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

void ProgressDisplay::HostLog(const std::string& text) { Line(text); }

void ProgressDisplay::HostProgress(const XSI::Host::ProgressState& state, XSI::Host::ProgressEvent event) {
  using XSI::Host::ProgressEvent;
  if (quiet_ || !state.visible) return;
  if (event == ProgressEvent::Created) lastTenth_ = -1;
  const double fraction =
      state.maximum > 0 ? std::fmin(1.0, std::fmax(0.0, static_cast<double>(state.value) / state.maximum)) : 0.0;
  const int percent = static_cast<int>(std::floor(fraction * 100.0));
  const std::string caption = Narrow(state.caption);
  if (terminal_) {
    const auto now = std::chrono::steady_clock::now();
    const bool finished = state.value >= state.maximum;
    if (event != ProgressEvent::Created && !finished && now - lastDraw_ < std::chrono::milliseconds(50)) return;
    lastDraw_ = now;
    constexpr int kBarWidth = 24;
    const int filled = static_cast<int>(std::floor(fraction * kBarWidth));
    std::string bar(1, '[');
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '-');
    bar += "] ";
    Status(bar + std::to_string(percent) + "% " + caption);
    return;
  }
  const int tenth = percent / 10;
  if (tenth == lastTenth_) return;
  lastTenth_ = tenth;
  Line(caption + " (" + std::to_string(percent) + "%)");
}

void ProgressDisplay::FrameDone(const std::string& detail, int64_t done, int64_t total, double elapsedSeconds) {
  if (quiet_) return;
  std::string timing = FormatSeconds(elapsedSeconds) + " elapsed";
  if (done < total && done > 0) {
    timing += ", about " + FormatSeconds(elapsedSeconds / static_cast<double>(done) * static_cast<double>(total - done)) +
              " left";
  }
  const std::string count = std::to_string(done) + " of " + std::to_string(total) + " done";
  if (terminal_) {
    Status(count + ": " + detail + " (" + timing + ")");
  } else {
    Line(count + ": " + detail + " (" + timing + ")");
  }
}

void ProgressDisplay::Note(const std::string& text) {
  if (!quiet_) Line("glomora: " + text);
}

void ProgressDisplay::Warning(const std::string& text) {
  if (statusShown_) {
    std::fputs("\r\x1b[K", stderr);
    statusShown_ = false;
  }
  std::fprintf(stderr, "glomora: warning: %s\n", text.c_str());
  std::fflush(stderr);
}

void ProgressDisplay::Error(const std::string& text) {
  Finish();
  if (!showErrors_) return;
  PrintError(text);
  std::fflush(stderr);
}

void ProgressDisplay::Finish() {
  if (statusShown_) {
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    statusShown_ = false;
  }
}

void PrintError(const std::string& text) { std::fprintf(stderr, "glomora: error: %s\n", text.c_str()); }
