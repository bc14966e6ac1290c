// glomora: the command-line host. Builds a host scene from a scene file (or the
// built-in demo), evaluates the plug-in's operators frame by frame as the 3D
// host plays its timeline, and writes one mesh file per frame. Each command
// is a file of its own (command.h); this file holds the table of them.

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "atomic_file.h"
#include "command.h"
#include "front/glomora_api.h"
#include "process_memory.h"
#include "progress_display.h"
#include "run_failure.h"

namespace {

// The commands in the order the help lists them.
std::vector<Command> Commands() {
  return {RunCommand(), DemoCommand(), PreviewCommand(), PlanCommand(), SubmitCommand(), WorkerCommand()};
}

bool Evaluates(const std::vector<Command>& commands, int argc, char** argv) {
  for (const Command& command : commands) {
    if (argc > 1 && std::strcmp(argv[1], command.name) == 0) return command.evaluates;
  }
  return false;
}

}  // namespace

std::string ToolPath() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

int main(int argc, char** argv) {
  const std::vector<Command> commands = Commands();
  // Memory the system hands out afresh costs a page fault and zeroing per
  // page on first touch: on these machines about 3 ms per MB with 4 KiB
  // pages and 0.1 to 0.5 ms per MB with 2 MiB pages, more than the work done
  // in it. So the allocator is asked for transparent huge pages everywhere
  // (the lattices, the mesh arrays and the writers' buffers alike), through
  // its tunable, which it reads at start: the tool starts itself again, once,
  // with it set (about 2 ms), and its worker processes inherit it. Measured
  // on 100,000 particles at resolution 128 with normals off: 7,000 page
  // faults and 370 ms of processor time without, 730 and 170 ms with.
  // Only the commands that evaluate scenes gain (a worker started by another
  // program than the tool has not inherited it); --version, --help and the
  // others start once.
  const std::string tunables =
      Evaluates(commands, argc, argv) ? HugePageTunables(std::getenv("GLIBC_TUNABLES")) : std::string();
  const std::string self = ToolPath();  // by its own name, so that it stays "glomora" in process lists
  if (!tunables.empty() && !self.empty() && ::setenv("GLIBC_TUNABLES", tunables.c_str(), 1) == 0) {
    ::execv(self.c_str(), argv);  // returns only when it failed: go on as we are
  }
  KeepFreedMemory();

  CLI::App app("glomora: turns metaball sources (particle clouds, mesh points, spheres, cubes, cylinders) into one "
               "polygon mesh per frame, through the Glomora plug-in.",
               "glomora");
  app.set_version_flag("--version,-V", std::string("glomora ") + Glomora_Version());
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 success, 1 failure (or every frame empty), 2 bad usage or bad input, 130 cancelled.\n"
      "Ctrl-C once: stop after the current frame (it is written); twice: stop at once.");
  std::vector<std::pair<CLI::App*, std::function<int()>>> bodies;
  for (const Command& command : commands) {
    CLI::App* sub = app.add_subcommand(command.name, command.help);
    if (*command.help == '\0') sub->group("");
    bodies.emplace_back(sub, command.add(*sub));
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::Success& e) {  // a flag that did its work and ends the command (run --help-parameters)
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitBadInput;
  }
  // Past the memory limit an allocation of the tool itself (not of the
  // plug-in, which handles its own) fails: report it instead of aborting.
  try {
    for (const auto& [sub, body] : bodies) {
      if (sub->parsed()) return body();
    }
    return kExitBadInput;
  } catch (const std::bad_alloc&) {
    RemovePendingTemporaryFile();
    PrintError("out of memory (see --max-memory)");
    return kExitFailure;
  } catch (const std::exception& e) {
    // Any other failure of the tool's own code: reported, never an abort.
    RemovePendingTemporaryFile();
    PrintError(e.what());
    return kExitFailure;
  }
}
