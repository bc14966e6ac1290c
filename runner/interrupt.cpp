#include "interrupt.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

#include "atomic_file.h"
#include "host/host_scene.h"

namespace {

volatile std::sig_atomic_t interrupts = 0;
volatile std::sig_atomic_t announced = 1;

// The list is complete before the count is raised, and the count drops to 0
// before the list changes, so a handler never sees a half-written list.
pid_t forwarded[kMaxForwarded];
volatile std::sig_atomic_t forwardedCount = 0;

void Forward(int signal) {
  const int count = forwardedCount;
  for (int i = 0; i < count; ++i) ::kill(forwarded[i], signal);
}

// Ends the forwarded processes at once and waits for them, so that none is
// still writing when this process's status is seen: SIGTERM (a distinct
// signal, so it cannot merge with a SIGINT still pending there; each removes
// its own temporary file), then SIGKILL for one not gone within two seconds.
void EndForwarded() {
  const int count = forwardedCount;
  for (int i = 0; i < count; ++i) ::kill(forwarded[i], SIGTERM);
  for (int i = 0; i < count; ++i) {
    int tries = 0;
    while (::waitpid(forwarded[i], nullptr, WNOHANG) == 0) {  // still running
      if (++tries == 200) {
        ::kill(forwarded[i], SIGKILL);
        ::waitpid(forwarded[i], nullptr, 0);
        break;
      }
      const timespec pause{0, 10 * 1000 * 1000};
      ::nanosleep(&pause, nullptr);
    }
  }
}

void Say(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  const ssize_t ignored = ::write(STDERR_FILENO, text, length);
  (void)ignored;
}

// Only async-signal-safe work here: an atomic store, kill, waitpid,
// nanosleep, write, unlink, _exit.
void OnInterrupt(int) {
  interrupts = interrupts + 1;
  if (interrupts == 1) {
    Forward(SIGINT);
    XSI::Host::Scene::Get().SetCancelPressed(true);
    if (announced) Say("\nglomora: cancelling after the current frame (Ctrl-C again stops at once)\n");
    return;
  }
  EndForwarded();
  RemovePendingTemporaryFile();
  if (announced) Say("\nglomora: stopped\n");
  ::_exit(130);
}

void OnTerminate(int) {
  EndForwarded();
  RemovePendingTemporaryFile();
  ::_exit(143);
}

}  // namespace

void InstallInterruptHandlers(bool announce) {
  announced = announce ? 1 : 0;
  XSI::Host::Scene::Get();  // the scene exists before a signal can reach it
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  action.sa_handler = OnTerminate;
  sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() { return interrupts > 0; }

void ForwardSignalsTo(const pid_t* processes, int count) {
  forwardedCount = 0;
  if (count > kMaxForwarded) count = kMaxForwarded;
  for (int i = 0; i < count; ++i) forwarded[i] = processes[i];
  forwardedCount = count;
}
