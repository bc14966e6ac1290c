#pragma once
// RunScene: one scene evaluated frame by frame through the plug-in's
// callbacks, as the 3D host plays its timeline, one mesh file written per
// frame (and, when asked, a volume and a picture beside it). The run loop of
// every caller: the tool's `glomora run` and `glomora demo`, and the Python
// module's Scene.run. Nothing here assumes that the process is the `glomora`
// executable.
//
// A run asks its scene's plan (scene_plan.h) once, checks its outputs and
// memory budget, makes the cache folder (run_start.h), then evaluates the
// frames in this process (in_process_run.h) or, when they are independent
// and RunOptions::jobs asks for more than one, in worker processes
// (worker_pool.h); the files are the same bytes either way.

#include "progress_display.h"
#include "run_options.h"
#include "run_result.h"
#include "scene_file.h"

// Runs `scene` (parameters already overridden; options.source describes the
// same scene to a worker). Messages go to `display` (stderr) and, for
// --check, to stdout (in frame order).
RunResult RunScene(const SceneDescription& scene, const RunOptions& options, ProgressDisplay& display);
