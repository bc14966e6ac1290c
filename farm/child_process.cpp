#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
  int read = -1;
  int write = -1;
  bool Open() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    read = ends[0];
    write = ends[1];
    return true;
  }
};

void Close(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int StatusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

// Starts `argv` with its standard streams on the given ends; SIGPIPE back at
// its default and the signal mask `mask` in the child.
pid_t Start(const std::vector<std::string>& argv, int in, int out, int err, const sigset_t& mask, std::string& error) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &mask);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int failure = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failure != 0) {
    error = argv[0] + ": cannot run it (" + std::strerror(failure) + ")";
    return -1;
  }
  return pid;
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& input,
                         std::chrono::milliseconds limit) {
  ProgramResult result;
  if (argv.empty()) return result;
  Pipe in;
  Pipe out;
  Pipe err;
  if (!in.Open() || !out.Open() || !err.Open()) {
    result.err = argv[0] + ": cannot run it (" + std::strerror(errno) + ")";
    for (int* fd : {&in.read, &in.write, &out.read, &out.write, &err.read, &err.write}) Close(*fd);
    return result;
  }
  // A program that exits without reading its input makes our write fail with
  // EPIPE instead of raising SIGPIPE: the signal is blocked here meanwhile.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t oldMask;
  ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &oldMask);

  const pid_t pid = Start(argv, in.read, out.write, err.write, oldMask, result.err);
  Close(in.read);
  Close(out.write);
  Close(err.write);
  if (pid > 0) {
    for (int fd : {in.write, out.read, err.read}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (input.empty()) Close(in.write);
    size_t written = 0;
    const Clock::time_point deadline = Clock::now() + limit;
    bool killed = false;
    char buffer[65536];
    while (out.read >= 0 || err.read >= 0 || in.write >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        ::kill(pid, SIGKILL);
        killed = true;
        break;
      }
      pollfd fds[3] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}, {in.write, POLLOUT, 0}};
      if (::poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR) break;
      for (int i = 0; i < 2; ++i) {
        int& fd = i == 0 ? out.read : err.read;
        if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
          (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          Close(fd);
        }
      }
      if (in.write >= 0 && (fds[2].revents & (POLLOUT | POLLHUP | POLLERR))) {
        const ssize_t n = ::write(in.write, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) Close(in.write);
      }
    }
    int waitStatus = 0;
    while (::waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    result.status = killed ? -1 : StatusOf(waitStatus);
    if (killed) {
      result.err += argv[0] + ": no answer within " + std::to_string(limit.count() / 1000) + " s; stopped\n";
    }
  }
  for (int* fd : {&in.write, &out.read, &err.read}) Close(*fd);
  // A SIGPIPE raised meanwhile is taken here, not left pending.
  timespec now{};
  while (::sigtimedwait(&pipeSignal, nullptr, &now) > 0) {
  }
  ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  return result;
}
