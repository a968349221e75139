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
// Wait, ArmImmediateExit and CStopWatch on the main thread only.
#pragma once

#include <cstdint>
#include <functional>

#include "Console.h"

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

// The main thread's waits, each ended early by a stop signal. The first
// signal is reported once on `console` and remembered; from then on a second
// one ends the program at once.
class CStopWatch {
public:
    explicit CStopWatch(CConsole& console) : m_console(console) {}

    // Waits until `done` holds or `deadlineMs` (up-time) has come. False when
    // a stop signal arrived first.
    bool WaitUntil(uint64_t deadlineMs, const std::function<bool()>& done = {});
    // Before the module is stopped: a signal that came meanwhile is noted, and
    // any further one ends the program at once, since stopping the module may
    // take as long as its longest scheduled wait.
    void EnterShutdown();
    bool Stopped() const { return m_nSignal != 0; }
    int Signal() const { return m_nSignal; }

private:
    void Take(int signal);

    CConsole& m_console;
    int m_nSignal = 0;
};

}  // namespace hostprog
