#include "scene_plan.h"

#include <algorithm>

#include "front/glomora_api.h"
#include "xsi_string.h"
#include "xsi_value.h"

namespace {

// Animated values are read at this many frames at most.
constexpr int64_t kMaxReadFrames = 100000;

XSI::LONG LongAt(const SceneDescription& scene, const char* name, double frame) {
  return static_cast<XSI::LONG>(EffectiveParameter(scene, name).At(frame));
}

uint64_t SaturatingMultiply(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
  return a * b;
}

bool FramesAreIndependent(const SceneDescription& scene, int64_t first, int64_t last) {
  const XSI::Host::AnimatedValue space = EffectiveParameter(scene, "Space");
  const XSI::Host::AnimatedValue mode = EffectiveParameter(scene, "Mode");
  const bool animated = space.IsAnimated() || mode.IsAnimated();
  if (animated && last - first >= kMaxReadFrames) return false;
  for (int64_t frame = first; frame <= (animated ? last : first); ++frame) {
    const double at = static_cast<double>(frame);
    if (static_cast<XSI::LONG>(space.At(at)) != 1 && static_cast<XSI::LONG>(mode.At(at)) != 3) return false;
  }
  return true;
}

bool MayWriteCacheFiles(const SceneDescription& scene) {
  const XSI::Host::AnimatedValue space = EffectiveParameter(scene, "Space");
  const XSI::Host::AnimatedValue mode = EffectiveParameter(scene, "Mode");
  if (!space.IsAnimated() && static_cast<XSI::LONG>(space.At(0.0)) != 0) return false;
  return mode.IsAnimated() || static_cast<XSI::LONG>(mode.At(0.0)) == 2;
}

std::string CacheFilename(const SceneDescription& scene) {
  return static_cast<XSI::CString>(EffectiveParameter(scene, "Cache_filename").At(0.0)).GetAsciiString();
}

std::string CacheFolderOf(std::string name) {
  const size_t first = name.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  name = name.substr(first, name.find_last_not_of(' ') - first + 1);
  std::replace(name.begin(), name.end(), '\\', '/');
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos || slash == 0) return std::string();
  return name.substr(0, slash);
}

}  // namespace

bool PlanScene(const SceneDescription& scene, std::optional<int64_t> first, std::optional<int64_t> last,
               ScenePlan& plan, std::string& error) {
  plan = ScenePlan();
  plan.firstFrame = first.value_or(scene.firstFrame);
  plan.lastFrame = last.value_or(scene.lastFrame);
  if (plan.firstFrame > plan.lastFrame) {
    error = "--frames: the first frame comes after the last";
    return false;
  }
  plan.independentFrames = FramesAreIndependent(scene, plan.firstFrame, plan.lastFrame);
  plan.lattice = LargestLatticeNeed(scene, plan.firstFrame, plan.lastFrame);
  plan.mayWriteCache = MayWriteCacheFiles(scene);
  plan.cacheFilename = CacheFilename(scene);
  plan.cacheNameUsable = Glomora_CacheFilePath(plan.cacheFilename.c_str(), 0, nullptr, 0) != 0;
  if (plan.mayWriteCache) plan.cacheFolder = CacheFolderOf(plan.cacheFilename);
  return true;
}

uint64_t LatticeBytes(int64_t x, int64_t y, int64_t z) {
  if (x < 1 || y < 1 || z < 1) return 0;
  uint64_t bytes = kLatticeBytesPerPoint;
  for (const int64_t r : {x, y, z}) bytes = SaturatingMultiply(bytes, static_cast<uint64_t>(r) + 1);
  return bytes;
}

LatticeNeed LargestLatticeNeed(const SceneDescription& scene, int64_t first, int64_t last) {
  const char* const names[7] = {"Space", "Resolution_X", "Resolution_Y", "Resolution_Z", "Blending_model",
                                "Optimization_volume_hyperbolic", "Optimization_volume_exponential"};
  bool animated = false;
  for (const char* name : names) animated = animated || EffectiveParameter(scene, name).IsAnimated();
  LatticeNeed need;
  const int64_t span = last - first;
  const int64_t samples = !animated ? 1 : std::min<int64_t>(span + 1, kMaxReadFrames);
  for (int64_t s = 0; s < samples; ++s) {
    const int64_t frame =
        samples == 1 ? first : first + static_cast<int64_t>(static_cast<long double>(span) * s / (samples - 1));
    const double at = static_cast<double>(frame);
    if (LongAt(scene, names[0], at) != 0) continue;
    const int64_t x = LongAt(scene, names[1], at);
    const int64_t y = LongAt(scene, names[2], at);
    const int64_t z = LongAt(scene, names[3], at);
    // The plug-in's lattices as it will make them (tiled lattices grow on).
    const uint64_t bytes = Glomora_LatticeBytes(x, y, z, static_cast<int32_t>(LongAt(scene, names[4], at)),
                                                LongAt(scene, names[5], at) != 0, LongAt(scene, names[6], at) != 0);
    if (bytes > need.bytes) need = LatticeNeed{bytes, frame, {x, y, z}};
  }
  return need;
}

std::string CacheFileOf(const SceneDescription& scene, int64_t frame) {
  const std::string name = CacheFilename(scene);
  const auto frameNumber = static_cast<int32_t>(frame);  // scene frames lie within +-1e8
  std::string path(Glomora_CacheFilePath(name.c_str(), frameNumber, nullptr, 0), '\0');
  if (path.empty()) return path;
  Glomora_CacheFilePath(name.c_str(), frameNumber, path.data(), path.size() + 1);
  return path;
}
