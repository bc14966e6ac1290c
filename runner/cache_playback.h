#pragma once
// The cache files a run plays back ("Mode" 3), checked before the plug-in
// reads them. The plug-in itself takes a missing, foreign or damaged file
// silently as an empty frame; a run that plays one back fails instead, naming
// the file and what is wrong with it.

#include <cstdint>
#include <string>

#include "run_failure.h"
#include "scene_file.h"

// True when the plug-in reads a cache file at `frame` of `scene`: "Space" 0,
// "Mode" 3, not muted and not before "Start_frame", at that frame.
bool PlaysBackCache(const SceneDescription& scene, int64_t frame);

// What is wrong with the cache file at `path` (the layout the plug-in
// writes: a 16-byte signature, three counts and a reserved word, then the
// vertices, the polygon description and the node values, nothing after):
// "the cache file is missing", "... is too short ...", "not a cache file (its
// signature ...)", "its counts ... go beyond the file ...", a polygon entry
// out of range, a vertex that is not a finite number. Empty when the file
// holds a whole frame.
std::string CacheFileProblem(const std::string& path);

// The message of a frame that plays back `scene`'s cache: empty when its
// cache file is sound, else "frame N: FILE: PROBLEM" and `failure` Failed
// (the file may be there on another try, or on another machine), or why there
// is no file to play back ("Cache_filename" is refused) and BadInput.
std::string CachePlaybackProblem(const SceneDescription& scene, int64_t frame, RunFailure& failure);
