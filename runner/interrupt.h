#pragma once
// Ctrl-C handling of the command-line host.
//
// The first SIGINT presses the host progress bar's Cancel button: the plug-in's
// recompute loop stops after the frame it is on, and the tool writes the frame
// reached and stops. A second SIGINT (or a SIGTERM) removes the temporary file
// being written and ends the process at once with status 130 (143 for SIGTERM).
//
// Worker processes (worker_pool.h) registered with ForwardSignalsTo get the
// first SIGINT this process receives; a second SIGINT or a SIGTERM ends them
// (SIGTERM, each removing its own temporary file) and waits for them before
// this process ends, so no worker is left writing.

#include <sys/types.h>

// Installs the handlers; call once, after the host scene exists. `announce`:
// say on stderr what a press does (a worker process leaves that to its
// coordinator).
void InstallInterruptHandlers(bool announce = true);

// The processes to forward SIGINT and SIGTERM to (at most kMaxForwarded; an
// empty list stops forwarding). Not to be called from a signal handler.
constexpr int kMaxForwarded = 256;
void ForwardSignalsTo(const pid_t* processes, int count);

// True once a SIGINT arrived.
bool InterruptRequested();
