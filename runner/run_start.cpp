#include "run_start.h"

#include <filesystem>

#include "process_memory.h"

bool StartRun(const SceneDescription& scene, const ScenePlan& plan, uint64_t memoryLimit, const std::string& label,
              ProgressDisplay& display, RunResult& result) {
  // 1) the memory budget
  const LatticeNeed& need = plan.lattice;
  if (memoryLimit > 0 && need.bytes > memoryLimit) {
    FailRun(result, display, RunFailure::OverBudget,
            label + ": frame " + std::to_string(need.frame) + ": Resolution " + std::to_string(need.resolution[0]) +
                " x " + std::to_string(need.resolution[1]) + " x " + std::to_string(need.resolution[2]) + " needs " +
                FormatMemorySize(need.bytes) + " for the voxel lattices, above the memory limit of " +
                FormatMemorySize(memoryLimit) + " (--max-memory)");
    return false;
  }

  // 2) the cache folder
  if (!plan.mayWriteCache) return true;
  if (!plan.cacheNameUsable) {
    const bool blank = plan.cacheFilename.find_first_not_of(' ') == std::string::npos;
    display.Warning(scene.name + ": \"Mode\" 2 writes no cache files: \"Cache_filename\" " +
                    (blank ? "is empty"
                           : "\"" + plan.cacheFilename +
                                 "\" is refused (it needs a file name, without * ? \" < > | or :)"));
    return true;
  }
  std::error_code failure;
  if (!plan.cacheFolder.empty()) std::filesystem::create_directories(plan.cacheFolder, failure);
  if (failure) display.Warning(plan.cacheFolder + ": cannot make the cache folder (" + failure.message() + ")");
  return true;
}
