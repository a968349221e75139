// udptrans-monitor: the receiving side of a camera's output, for integrators.
// See --help (MonitorOptions.cpp) for what it shows and its exit statuses.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "Monitor.h"
#include "MonitorOptions.h"

namespace {

int g_wakeWrite = -1;
std::atomic<int> g_signals{0};

// First signal: tell the receive loop, which ends with the figures. Second:
// the user does not want to wait for anything, end at once.
void OnSignal(int signal) {
    if (g_signals.fetch_add(1) != 0) {
        _exit(128 + signal);
    }
    const unsigned char byte = static_cast<unsigned char>(signal);
    (void)!write(g_wakeWrite, &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    monitor::MonitorOptions options;
    const int parsed = monitor::ParseMonitorOptions(argc, argv, options);
    if (parsed >= 0) {
        return parsed;
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("udptrans-monitor: pipe");
        return monitor::kExitStartup;
    }
    g_wakeWrite = wake[1];
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    // A reader that goes away (| head) must not kill us before the figures.
    signal(SIGPIPE, SIG_IGN);

    // Full buffering, flushed once per batch of datagrams by the monitor.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof(buffer));

    monitor::CMonitor monitor(options, stdout);
    const int opened = monitor.Open();
    if (opened != 0) {
        return opened;
    }
    return monitor.Run(wake[0]);
}
