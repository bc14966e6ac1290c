#include "interrupt.h"

#include <unistd.h>

#include <csignal>

#include "atomic_file.h"
#include "host/host_scene.h"

namespace {

volatile std::sig_atomic_t interrupts = 0;

void Say(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  const ssize_t ignored = ::write(STDERR_FILENO, text, length);
  (void)ignored;
}

// Only async-signal-safe work here: an atomic store, write, unlink, _exit.
void OnInterrupt(int) {
  interrupts = interrupts + 1;
  if (interrupts == 1) {
    XSI::Host::Scene::Get().SetCancelPressed(true);
    Say("\nglomora: cancelling after the current frame (Ctrl-C again stops at once)\n");
    return;
  }
  RemovePendingTemporaryFile();
  Say("\nglomora: stopped\n");
  ::_exit(130);
}

void OnTerminate(int) {
  RemovePendingTemporaryFile();
  ::_exit(143);
}

}  // namespace

void InstallInterruptHandlers() {
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
