#pragma once
// A command of the `glomora` tool, as main.cpp's table lists it: its name and
// help, the options it adds to its subcommand, and its body.

#include <functional>
#include <string>

#include <CLI/CLI.hpp>

struct Command {
  const char* name;
  const char* help;  // empty: a command not for people, left out of the help
  // It evaluates scenes: the tool starts itself again with huge pages for it (main.cpp).
  bool evaluates;
  // Adds the command's options to `command`, its subcommand, and returns its
  // body, which runs once the command line is parsed and returns the exit
  // status (run_failure.h).
  std::function<std::function<int()>(CLI::App& command)> add;
};

// The commands, one file each.
Command RunCommand();      // run_command.cpp
Command DemoCommand();     // run_command.cpp
Command WorkerCommand();   // run_command.cpp
Command PreviewCommand();  // preview_command.cpp
Command PlanCommand();     // farm_commands.cpp
Command SubmitCommand();   // farm_commands.cpp

// This executable (/proc/self/exe); empty when the system cannot say.
std::string ToolPath();
