// The signals that stop udptrans-host: SIGINT, SIGTERM and SIGHUP (a closed
// terminal stops the program like a Ctrl-C, with its shutdown and summary).
//
// The first one is taken synchronously by the main thread (sigtimedwait), so
// no handler ever runs in the middle of module code, and the program shuts
// down in order. From then on a second one ends the process at once with
// status 128 + its number: the shutdown may be waiting for the module (a
// scheduled answer can keep its task for up to a minute), and the store file
// is always whole on disk, so ending there loses nothing.
//
// Threads: Block before any thread exists (every thread inherits the mask);
// Wait and ArmImmediateExit on the main thread only.
#pragma once

namespace hostprog {

// Blocks the stop signals in the calling thread and in the threads it starts.
void BlockStopSignals();

// Waits up to `ms` milliseconds for a stop signal; its number, or 0.
int WaitStopSignal(int ms);

// After the first stop signal: a second one ends the process at once with
// status 128 + its number, after one line on standard error.
void ArmImmediateExit();

// The signal's name ("SIGINT"), for messages.
const char* StopSignalName(int signal);

}  // namespace hostprog
