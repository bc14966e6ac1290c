#pragma once
// The tool's farm subcommands: `glomora plan` prints the work of several
// shots as a farm plan (farm_plan.h), `glomora submit --slurm` submits it as
// Slurm jobs (slurm_submitter.h).

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

struct FarmCommandOptions {
  std::vector<std::string> scenes;
  std::string output;
  std::string frames;
  int64_t chunk = 10;
  std::string tool;
  bool slurm = false;
  std::string partition;
  int cpusPerTask = 1;
  std::string logFolder = "glomora-logs";
  bool dryRun = false;
  bool wait = false;
};

struct FarmCommands {
  CLI::App* plan = nullptr;
  CLI::App* submit = nullptr;
};

// Adds `plan` and `submit` to `app`, their options bound to `options`.
FarmCommands AddFarmCommands(CLI::App& app, FarmCommandOptions& options);

// Runs the one of them that was parsed; `toolPath` is this executable, which
// the tasks run unless --tool names another. Returns the exit status.
int RunFarmCommand(const FarmCommands& commands, const FarmCommandOptions& options, const std::string& toolPath);
