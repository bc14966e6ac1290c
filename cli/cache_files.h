#pragma once
// The plug-in's per-frame cache files ("Mode" 2) as the command-line host sees
// them: the folder to make before a run, and the frames whose cache file the
// plug-in reported it could not write.

#include <cstdint>
#include <string>
#include <vector>

#include "scene_file.h"

// True when a run of the scene may write cache files: "Space" 0 and "Mode" 2,
// either of them possibly by animation.
bool MayWriteCacheFiles(const SceneDescription& scene);

// The scene's "Cache_filename" (texts are not animated).
std::string CacheFilename(const SceneDescription& scene);

// The folder of the scene's "Cache_filename" as the plug-in's file layer will
// open it ("\" read as "/", spaces around the name dropped), when a run may
// write cache files. Empty when there is no folder to make (no name, no run
// that writes, or a name without a folder part).
std::string CacheFolder(const SceneDescription& scene);

// Collects the plug-in's failed cache writes from its log lines, which read
// "<operator> -> <base>.<frame>.grd -> error.".
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
