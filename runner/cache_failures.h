#pragma once
// The plug-in's failed cache writes ("Mode" 2), collected from its log lines,
// which read "<operator> -> <base>.<frame>.grd -> error.".

#include <cstdint>
#include <string>
#include <vector>

class CacheWriteFailures {
 public:
  // True when `line` reports a failed cache write; the write is recorded.
  bool Note(const std::string& line);
  bool Empty() const { return frames_.empty() && otherFiles_.empty(); }
  // "<base>.%d.grd: the cache files of frames 1 to 3, 7 are missing (the
  // plug-in could not write them)": frames in order, runs as ranges.
  std::string Message() const;

 private:
  std::string pattern_;                  // "<base>.%d.grd", from the first failure
  std::vector<int64_t> frames_;          // in the order reported, repeats included
  std::vector<std::string> otherFiles_;  // failed names without a frame number
};
