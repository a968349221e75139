#include "StopSignals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <algorithm>
#include <initializer_list>

#include "LocalTriggerSource.h"

namespace hostprog {
namespace {

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// Async-signal-safe: write and _exit only.
void ExitAtOnce(int signal) {
    static const char kLine[] = "udptrans-host: second stop signal, ending at once\n";
    const ssize_t written = write(STDERR_FILENO, kLine, sizeof(kLine) - 1);
    (void)written;
    _exit(128 + signal);
}

}  // namespace

void BlockStopSignals() {
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitStopSignal(int ms) {
    const sigset_t set = StopSet();
    timespec timeout{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    const int signal = sigtimedwait(&set, nullptr, &timeout);
    return signal > 0 ? signal : 0;
}

void ArmImmediateExit() {
    struct sigaction action {};
    action.sa_handler = ExitAtOnce;
    sigemptyset(&action.sa_mask);
    const sigset_t set = StopSet();
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    // Only the main thread unblocks them, so the handler runs there; the
    // module's threads keep them blocked.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

const char* StopSignalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal";
    }
}

bool CStopWatch::WaitUntil(uint64_t deadlineMs, const std::function<bool()>& done) {
    for (;;) {
        if (m_nSignal != 0) {
            return false;
        }
        if (done && done()) {
            return true;
        }
        const uint64_t now = zerran_app::UpTimeMs();
        if (now >= deadlineMs) {
            return true;
        }
        // Short slices: `done` is polled, not signalled.
        Take(WaitStopSignal(static_cast<int>(std::min<uint64_t>(deadlineMs - now, 20))));
    }
}

void CStopWatch::EnterShutdown() {
    if (m_nSignal == 0) {
        Take(WaitStopSignal(0));
    }
    ArmImmediateExit();
}

void CStopWatch::Take(int signal) {
    if (signal == 0 || m_nSignal != 0) {
        return;
    }
    m_console.Print("udptrans-host: %s received, shutting down (again: at once)",
                    StopSignalName(signal));
    m_nSignal = signal;
    ArmImmediateExit();
}

}  // namespace hostprog
