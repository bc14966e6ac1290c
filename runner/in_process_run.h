#pragma once
// Every frame of a run in this process, in order, as the 3D host plays its
// timeline: the only way for Space 0 in Modes 0 to 2, which carries the field
// from frame to frame.

#include "frame_pattern.h"
#include "progress_display.h"
#include "run_options.h"
#include "run_result.h"
#include "scene_file.h"
#include "scene_plan.h"

// Evaluates frames plan.firstFrame..plan.lastFrame of `scene` and writes each
// one's mesh to `output`'s file. Messages go to `display` (stderr) and, for
// --check, to stdout.
RunResult RunInProcess(const SceneDescription& scene, const ScenePlan& plan, const RunOptions& options,
                       const FramePattern& output, ProgressDisplay& display);
