#pragma once
// Runs another program to its end (a scheduler's command-line client such as
// sbatch or squeue): its standard input fed from a text, its output and
// errors captured, within a time limit.

#include <chrono>
#include <string>
#include <vector>

struct ProgramResult {
  // Exit status, 128 + signal, or -1 when it could not be started or was
  // killed at the time limit (`err` then says which).
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] looked up on PATH) with this process's environment,
// writes `input` to its standard input and closes it, and waits for its end;
// a program still running after `limit` is killed.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& input,
                         std::chrono::milliseconds limit);
