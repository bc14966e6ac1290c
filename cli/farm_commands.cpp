// `glomora plan` prints the work of several shots as a farm plan
// (farm_plan.h); `glomora submit --slurm` submits it as Slurm jobs
// (slurm_submitter.h).

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "command.h"
#include "farm_plan.h"
#include "frame_range.h"
#include "progress_display.h"
#include "run_failure.h"
#include "slurm_submitter.h"

namespace {

struct FarmCommandOptions {
  std::vector<std::string> scenes;
  std::string output;
  std::string usd;
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

void AddPlanOptions(CLI::App& command, FarmCommandOptions& options) {
  command.add_option("SCENE", options.scenes, "Scene files (JSON), one shot each")->required()->type_name("SCENE.json");
  command.add_option("--output,-o", options.output,
                     "Output files as for `glomora run`; \"{name}\" keeps the shots apart. On shared storage: the "
                     "tasks run on other machines")
      ->required()
      ->type_name("PATTERN");
  command.add_option("--usd", options.usd,
                     "Also USD layers, one per frame: a name ending in .usda with a frame number, \"{name}\" as "
                     "for --output; each task writes those of its frames")
      ->type_name("PATTERN.usda");
  command.add_option("--frames,-f", options.frames, "Frames of every shot: A-B or N [default: each scene's \"frames\"]")
      ->type_name("A-B");
  command.add_option("--chunk", options.chunk, "Independent frames per task [default: 10]")
      ->type_name("N")
      ->check(CLI::Range(int64_t{1}, int64_t{1000000}));
  command.add_option("--tool", options.tool,
                     "The glomora executable the tasks run, as the farm's machines reach it [default: this one]")
      ->type_name("PATH");
}

void AddSubmitOptions(CLI::App& command, FarmCommandOptions& options) {
  command.add_flag("--slurm", options.slurm, "Submit to Slurm with sbatch")->required();
  command.add_option("--partition,-p", options.partition, "Slurm partition [default: the cluster's default]")
      ->type_name("P");
  command
      .add_option("--cpus-per-task,-c", options.cpusPerTask, "CPUs of each task; the tool runs that many threads [default: 1]")
      ->type_name("N")
      ->check(CLI::Range(1, 4096));
  command
      .add_option("--logs", options.logFolder,
                  "Folder of the jobs' output, one file per task, on shared storage [default: glomora-logs]")
      ->type_name("DIR");
  command.add_flag("--dry-run,-n", options.dryRun, "Print the sbatch commands and batch scripts instead");
  command.add_flag("--wait,-w", options.wait,
                   "Follow the jobs to their end and report per shot what was written and what failed");
}

// The plan of the options' shots; false (a message shown, `status` set) when it cannot be made.
bool MakePlan(const FarmCommandOptions& options, FarmPlan& plan, int& status) {
  PlanRequest request;
  request.scenes = options.scenes;
  request.output = options.output;
  request.usd = options.usd;
  request.chunk = options.chunk;
  status = kExitBadInput;
  if (!ParseFramesOption(options.frames, request.firstFrame, request.lastFrame)) return false;
  // A name without a folder is looked up on the machines' PATH.
  request.tool = options.tool.empty() ? ToolPath() : options.tool;
  if (request.tool.find('/') != std::string::npos) {
    request.tool = std::filesystem::absolute(request.tool).lexically_normal().string();
  }
  if (request.tool.empty()) {
    PrintError("cannot tell where this executable is: name it with --tool");
    return false;
  }
  std::string error;
  if (!BuildFarmPlan(request, plan, status, error)) {
    PrintError(error);
    return false;
  }
  return true;
}

int PrintPlan(const FarmCommandOptions& options) {
  FarmPlan plan;
  int status = kExitSuccess;
  if (!MakePlan(options, plan, status)) return status;
  const std::string text = FarmPlanJson(plan).dump(2) + "\n";
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    PrintError("cannot write the plan to the standard output");
    return kExitFailure;
  }
  return kExitSuccess;
}

int Submit(const FarmCommandOptions& options) {
  FarmPlan plan;
  int status = kExitSuccess;
  if (!MakePlan(options, plan, status)) return status;
  SlurmOptions slurm;
  slurm.partition = options.partition;
  slurm.cpusPerTask = options.cpusPerTask;
  slurm.logFolder = std::filesystem::absolute(options.logFolder).lexically_normal().string();
  if (slurm.logFolder.find('\\') != std::string::npos) {
    // sbatch takes a backslash in a file name as "no patterns here".
    PrintError("--logs " + options.logFolder + ": a folder name with a backslash cannot name Slurm's output files");
    return kExitBadInput;
  }
  slurm.dryRun = options.dryRun;
  slurm.wait = options.wait;
  return SubmitToSlurm(plan, slurm);
}

}  // namespace

Command PlanCommand() {
  return {"plan",
          "Print the work of several shots as JSON for a render farm: tasks with their glomora run command lines, "
          "frames, files, and which tasks wait for which",
          false, [](CLI::App& command) -> std::function<int()> {
            auto options = std::make_shared<FarmCommandOptions>();
            AddPlanOptions(command, *options);
            return [options] { return PrintPlan(*options); };
          }};
}

Command SubmitCommand() {
  return {"submit",
          "Submit the work of several shots to a cluster scheduler: per shot a job for its simulation and a job "
          "array for its independent frames",
          false, [](CLI::App& command) -> std::function<int()> {
            auto options = std::make_shared<FarmCommandOptions>();
            AddPlanOptions(command, *options);
            AddSubmitOptions(command, *options);
            return [options] { return Submit(*options); };
          }};
}
