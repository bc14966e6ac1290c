#pragma once
// How a run ends, as a value: each caller maps it to its own convention (the
// tool to its exit status, the Python module to an exception, the farm to a
// retry or not).

#include <string_view>

enum class RunFailure {
  None,         // success
  BadInput,     // a value, name, option or file the scene cannot have: running it again cannot help
  MissingFile,  // a file the scene names is not there
  OverBudget,   // the voxel lattices need more than the memory limit
  OutOfMemory,  // the plug-in or the tool could not have the memory
  Failed,       // anything else (a file could not be written, a worker died): running it again may help
  Cancelled,    // Ctrl-C, or the caller's cancel request
};

// The tool's exit statuses.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitCancelled = 130;

// 0 for None; 2 for bad input, a missing file or a scene over the memory
// budget; 130 when cancelled; 1 otherwise.
int ExitStatusOf(RunFailure failure);

// The failure's name as the worker processes' messages carry it ("bad_input",
// ...), and back; an unknown name reads as Failed.
std::string_view FailureName(RunFailure failure);
RunFailure FailureNamed(std::string_view name);
