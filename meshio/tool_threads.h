#pragma once
// The tool's own work spread over threads (formatting mesh files), apart
// from the plug-in's, which the tool sets through Glomora_SetThreadCount:
// a oneTBB task arena of the count set. With one thread everything runs on
// the calling thread, in order.

#include <cstdint>
#include <functional>

// Clamped to 1 .. 1024.
void SetToolThreads(int threads);
int ToolThreads();

// Calls part(p) once for every p in [0, parts): with one thread in order on
// the calling thread, else side by side; returns when all are done. An
// exception of a part is rethrown here.
void ForEachToolPart(int64_t parts, const std::function<void(int64_t)>& part);

// Runs a pipeline of `items` items, each prepared by make(item) on any thread
// (several at once) and then handed to use(item) on one thread at a time, in
// item order; at most `inFlight` items are made but not yet used. With one
// thread: make then use, item after item.
void PipelineInOrder(int64_t items, int64_t inFlight, const std::function<void(int64_t)>& make,
                     const std::function<void(int64_t)>& use);
