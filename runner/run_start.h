#pragma once
// What every run of a scene does before its first frame, in the process that
// evaluates it or hands out its frames: the tool's run and the Python module's.

#include <cstdint>
#include <string>

#include "progress_display.h"
#include "run_result.h"
#include "scene_file.h"
#include "scene_plan.h"

// Refuses a scene whose voxel lattices (plan.lattice) need more than
// `memoryLimit` bytes (0: no limit): false with RunFailure::OverBudget and a
// message starting with `label` in `result`, shown on `display`. Then makes
// the folder of the scene's cache files: the plug-in opens its cache files
// but makes no folder (that is the host's business). A failure there is a
// warning; the plug-in then reports each file it cannot write. A run that may
// write cache files with a "Cache_filename" the plug-in refuses (empty, no
// file name, characters a file name cannot hold) would write none without a
// word: that is a warning too.
bool StartRun(const SceneDescription& scene, const ScenePlan& plan, uint64_t memoryLimit, const std::string& label,
              ProgressDisplay& display, RunResult& result);
