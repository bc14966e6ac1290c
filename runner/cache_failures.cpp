#include "cache_failures.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace {

constexpr std::string_view kSeparator = " -> ";
constexpr std::string_view kFailedEnd = " -> error.";
constexpr std::string_view kExtension = ".grd";
constexpr size_t kMostRangesShown = 20;

}  // namespace

bool CacheWriteFailures::Note(const std::string& line) {
  const size_t from = line.find(kSeparator);
  if (from == std::string::npos || !line.ends_with(kFailedEnd)) return false;
  const size_t start = from + kSeparator.size();
  if (start + kFailedEnd.size() > line.size()) return false;
  const std::string file = line.substr(start, line.size() - kFailedEnd.size() - start);
  if (!file.ends_with(kExtension) || file.size() == kExtension.size()) return false;
  // <base>.<frame>.grd, the frame a decimal integer
  const std::string stem = file.substr(0, file.size() - kExtension.size());
  const size_t dot = stem.rfind('.');
  int64_t frame = 0;
  const char* const end = stem.data() + stem.size();
  if (dot != std::string::npos && dot + 1 < stem.size() &&
      std::from_chars(stem.data() + dot + 1, end, frame).ptr == end) {
    if (pattern_.empty()) pattern_ = stem.substr(0, dot) + ".%d.grd";
    frames_.push_back(frame);
  } else {
    otherFiles_.push_back(file);
  }
  return true;
}

std::string CacheWriteFailures::Message() const {
  std::vector<int64_t> frames = frames_;
  std::sort(frames.begin(), frames.end());
  frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
  std::string list;
  size_t ranges = 0;
  size_t shown = 0;
  for (size_t i = 0; i < frames.size();) {
    size_t j = i;
    while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1) ++j;
    if (ranges == kMostRangesShown) {
      list += ", and " + std::to_string(frames.size() - shown) + " more";
      break;
    }
    list += (ranges > 0 ? ", " : "") + std::to_string(frames[i]);
    if (j > i) list += " to " + std::to_string(frames[j]);
    ++ranges;
    shown += j - i + 1;
    i = j + 1;
  }
  std::string message;
  if (!frames.empty()) {
    message = pattern_ + ": the cache file" + (frames.size() > 1 ? "s of frames " : " of frame ") + list +
              (frames.size() > 1 ? " are" : " is") + " missing (the plug-in could not write " +
              (frames.size() > 1 ? "them)" : "it)");
  }
  for (const std::string& file : otherFiles_) {
    message += (message.empty() ? "" : "; ") + file + ": the cache file is missing (the plug-in could not write it)";
  }
  return message;
}
