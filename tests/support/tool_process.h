#pragma once
// Runs a built program (the command-line tool) in a folder, with no input and
// its output in the files tool.stdout and tool.stderr there, and lets a test
// signal it and wait for it.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

struct ToolOutcome {
  int status = -1;  // exit status, 128 + signal, or -1 when it had to be killed at the deadline
  std::string out;
  std::string err;
};

class ToolProcess {
 public:
  ToolProcess(const char* program, const std::filesystem::path& folder, const std::vector<std::string>& args);
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  void Signal(int signal) const;
  pid_t Pid() const { return pid_; }
  // What it has written to stderr so far.
  std::string Err() const;
  // Waits at most `limit`; a tool still running then is killed (status -1).
  ToolOutcome Wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
  bool Running();

 private:
  std::filesystem::path folder_;
  pid_t pid_ = -1;
  bool done_ = false;
  int status_ = 0;
};

std::string ReadTextFile(const std::filesystem::path& file);
