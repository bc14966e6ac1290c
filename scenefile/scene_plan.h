#pragma once
// ScenePlan: what a scene needs of a run over a range of frames, asked once
// by the run loop, the farm plan and the Python module: the frames, whether
// they can be evaluated apart, the largest voxel lattice, and the cache files.

#include <cstdint>
#include <optional>
#include <string>

#include "scene_file.h"

// Bytes the plug-in's four voxel lattices take per lattice point: the
// simulated and sampled fields (float each) and their gradients (3 floats each).
constexpr uint64_t kLatticeBytesPerPoint = 32;

// The largest lattice an evaluation of the frames asks for: at each frame
// where "Space" is 0, the lattice of "Resolution_X/Y/Z" at that frame, in
// the storage the plug-in will give it (Glomora_LatticeBytes: dense, or the
// tiled lattice's table and buffers, its tiles then bounded before each
// frame's step under the plug-in's lattice budget, Glomora_SetLatticeBudget).
struct LatticeNeed {
  uint64_t bytes = 0;  // 0: no frame in Space 0
  int64_t frame = 0;
  int64_t resolution[3] = {0, 0, 0};
};

struct ScenePlan {
  // The frames of the run: the caller's, else the scene's "frames".
  int64_t firstFrame = 0;
  int64_t lastFrame = 0;
  // Every frame can be evaluated on its own: "Space" is 1, or "Mode" is 3
  // (cache playback), at each of them (animated values are read at every
  // frame; a range of more than 100000 frames with animated "Space" or
  // "Mode" counts as dependent). Space 0 in Modes 0 to 2 carries the field
  // from frame to frame.
  bool independentFrames = false;
  LatticeNeed lattice;
  // Cache files: a run may write them ("Space" 0 and "Mode" 2, either
  // possibly by animation); the scene's "Cache_filename" (texts are not
  // animated); whether the plug-in takes that name; the folder to make
  // before the run, as the plug-in's file layer will open it ("\" read as
  // "/", spaces around the name dropped; empty when there is none to make).
  bool mayWriteCache = false;
  std::string cacheFilename;
  bool cacheNameUsable = false;
  std::string cacheFolder;

  int64_t FrameCount() const { return lastFrame - firstFrame + 1; }
};

// Plans frames first..last of `scene` (each the scene's own when not
// given). False with a message when the first frame comes after the last.
bool PlanScene(const SceneDescription& scene, std::optional<int64_t> first, std::optional<int64_t> last,
               ScenePlan& plan, std::string& error);

// kLatticeBytesPerPoint * (x + 1) * (y + 1) * (z + 1), saturating at
// UINT64_MAX; 0 when a resolution is below 1 (the plug-in makes no lattice).
uint64_t LatticeBytes(int64_t x, int64_t y, int64_t z);

// The largest lattice of frames first..last (every frame of a range up to
// 100000 frames, else 100000 frames evenly spread with both ends; an
// unanimated scene is read once).
LatticeNeed LargestLatticeNeed(const SceneDescription& scene, int64_t first, int64_t last);

// The plug-in's cache file of `frame` for the scene's "Cache_filename"; empty
// when the plug-in rejects the name (it then writes and reads none).
std::string CacheFileOf(const SceneDescription& scene, int64_t frame);
