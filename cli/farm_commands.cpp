#include "farm_commands.h"

#include <cstdio>
#include <filesystem>

#include "farm_plan.h"
#include "frame_range.h"
#include "frame_runner.h"
#include "slurm_submitter.h"

namespace {

void PrintError(const std::string& text) { std::fprintf(stderr, "glomora: error: %s\n", text.c_str()); }

void AddPlanOptions(CLI::App& command, FarmCommandOptions& options) {
  command.add_option("SCENE", options.scenes, "Scene files (JSON), one shot each")->required()->type_name("SCENE.json");
  command.add_option("--output,-o", options.output,
                     "Output files as for `glomora run`; \"{name}\" keeps the shots apart. On shared storage: the "
                     "tasks run on other machines")
      ->required()
      ->type_name("PATTERN");
  command.add_option("--frames,-f", options.frames, "Frames of every shot: A-B or N [default: each scene's \"frames\"]")
      ->type_name("A-B");
  command.add_option("--chunk", options.chunk, "Independent frames per task [default: 10]")
      ->type_name("N")
      ->check(CLI::Range(int64_t{1}, int64_t{1000000}));
  command.add_option("--tool", options.tool,
                     "The glomora executable the tasks run, as the farm's machines reach it [default: this one]")
      ->type_name("PATH");
}

}  // namespace

FarmCommands AddFarmCommands(CLI::App& app, FarmCommandOptions& options) {
  FarmCommands commands;
  commands.plan = app.add_subcommand(
      "plan", "Print the work of several shots as JSON for a render farm: tasks with their glomora run command "
              "lines, frames, files, and which tasks wait for which");
  AddPlanOptions(*commands.plan, options);
  commands.submit = app.add_subcommand(
      "submit", "Submit the work of several shots to a cluster scheduler: per shot a job for its simulation and a "
                "job array for its independent frames");
  AddPlanOptions(*commands.submit, options);
  commands.submit->add_flag("--slurm", options.slurm, "Submit to Slurm with sbatch")->required();
  commands.submit->add_option("--partition,-p", options.partition, "Slurm partition [default: the cluster's default]")
      ->type_name("P");
  commands.submit->add_option("--cpus-per-task,-c", options.cpusPerTask,
                              "CPUs of each task; the tool runs that many threads [default: 1]")
      ->type_name("N")
      ->check(CLI::Range(1, 4096));
  commands.submit->add_option("--logs", options.logFolder,
                              "Folder of the jobs' output, one file per task, on shared storage [default: glomora-logs]")
      ->type_name("DIR");
  commands.submit->add_flag("--dry-run,-n", options.dryRun, "Print the sbatch commands and batch scripts instead");
  commands.submit->add_flag("--wait,-w", options.wait,
                            "Follow the jobs to their end and report per shot what was written and what failed");
  return commands;
}

int RunFarmCommand(const FarmCommands& commands, const FarmCommandOptions& options, const std::string& toolPath) {
  // 1) the plan
  PlanRequest request;
  request.scenes = options.scenes;
  request.output = options.output;
  request.chunk = options.chunk;
  if (!options.frames.empty()) {
    int64_t first = 0;
    int64_t last = 0;
    if (!ParseFrameRange(options.frames, first, last)) {
      PrintError("--frames " + options.frames + ": expected A-B (A <= B) or N");
      return kExitBadInput;
    }
    request.firstFrame = first;
    request.lastFrame = last;
  }
  // A name without a folder is looked up on the machines' PATH.
  request.tool = options.tool.empty() ? toolPath : options.tool;
  if (request.tool.find('/') != std::string::npos) {
    request.tool = std::filesystem::absolute(request.tool).lexically_normal().string();
  }
  if (request.tool.empty()) {
    PrintError("cannot tell where this executable is: name it with --tool");
    return kExitBadInput;
  }
  FarmPlan plan;
  int code = kExitSuccess;
  std::string error;
  if (!BuildFarmPlan(request, plan, code, error)) {
    PrintError(error);
    return code;
  }

  // 2) printed, or submitted
  if (commands.plan->parsed()) {
    const std::string text = FarmPlanJson(plan).dump(2) + "\n";
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
      PrintError("cannot write the plan to the standard output");
      return kExitFailure;
    }
    return kExitSuccess;
  }
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
