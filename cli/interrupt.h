#pragma once
// Ctrl-C handling of the command-line host.
//
// The first SIGINT presses the host progress bar's Cancel button: the plug-in's
// recompute loop stops after the frame it is on, and the tool writes the frame
// reached and stops. A second SIGINT (or a SIGTERM) removes the temporary file
// being written and ends the process at once with status 130 (143 for SIGTERM).

// Installs the handlers; call once, after the host scene exists.
void InstallInterruptHandlers();

// True once a SIGINT arrived.
bool InterruptRequested();
