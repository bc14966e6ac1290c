#include "tool_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

std::string ReadTextFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

ToolProcess::ToolProcess(const char* program, const std::filesystem::path& folder,
                         const std::vector<std::string>& args)
    : folder_(folder) {
  pid_ = ::fork();
  if (pid_ == 0) {
    if (::chdir(folder.c_str()) != 0) ::_exit(127);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open("tool.stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open("tool.stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program, argv.data());
    ::_exit(127);
  }
}

ToolProcess::~ToolProcess() {
  if (pid_ > 0 && !done_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void ToolProcess::Signal(int signal) const {
  if (pid_ > 0 && !done_) ::kill(pid_, signal);
}

std::string ToolProcess::Err() const { return ReadTextFile(folder_ / "tool.stderr"); }

bool ToolProcess::Running() {
  if (done_) return false;
  if (::waitpid(pid_, &status_, WNOHANG) == pid_) done_ = true;
  return !done_;
}

ToolOutcome ToolProcess::Wait(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  ToolOutcome outcome;
  while (Running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      done_ = true;
      outcome.err = ReadTextFile(folder_ / "tool.stderr");
      return outcome;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  outcome.status = WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  outcome.out = ReadTextFile(folder_ / "tool.stdout");
  outcome.err = ReadTextFile(folder_ / "tool.stderr");
  return outcome;
}
