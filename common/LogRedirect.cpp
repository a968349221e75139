// Redirection of the process's standard descriptors to a file or a terminal.
//
// Log lines go to descriptor 1 (directly or via the drain thread), so pointing
// descriptor 1 elsewhere moves them without touching the log output itself.
// Every failed step puts the standard descriptors back as they were and
// leaves no descriptor open.
//
// Thread contract: meant for the host's control thread. No lock is taken;
// writers on other threads simply see the new target on their next write().
// The saved descriptors live in the shared log state (atomics), which
// log_prt_init resets to -1.
#include <fcntl.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include "LogState.h"

using udp::g_logState;

namespace {

bool Redirected() {
    return g_logState.redirectFd.load(std::memory_order_relaxed) >= 0 ||
           g_logState.devFd.load(std::memory_order_relaxed) >= 0;
}

// Puts a saved copy back on its standard number and closes the copy.
void Restore(int saved, int target) {
    if (saved >= 0) {
        (void)dup2(saved, target);
        close(saved);
    }
}

void Unbuffer() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

// Line-oriented console on the device: CR becomes NL on input, Ctrl-C and
// friends raise signals, input is edited line by line. A device that is not a
// terminal is still used, only without these settings.
void SetUpTerminal(int fd) {
    struct termios attrs = {};
    if (tcgetattr(fd, &attrs) != 0) {
        puts("tcgetattr error.\r");
        return;
    }
    attrs.c_iflag |= ICRNL;
    attrs.c_lflag |= ISIG | ICANON;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &attrs) != 0) {
        puts("tcsetattr error.\r");
    }
}

}  // namespace

int log_redirection_output(const char* path) {
    if (path == nullptr) {
        return -1;
    }
    if (Redirected()) {
        return -2;
    }
    // No O_CREAT: the host names an existing log file or device node.
    const int file = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        return -3;
    }
    const int savedOut = dup(STDOUT_FILENO);
    if (savedOut < 0) {
        close(file);
        return -4;
    }
    if (dup2(file, STDOUT_FILENO) < 0) {
        Restore(savedOut, STDOUT_FILENO);
        close(file);
        return -5;
    }
    const int savedErr = dup(STDERR_FILENO);
    if (savedErr < 0) {
        Restore(savedOut, STDOUT_FILENO);
        close(file);
        return -6;
    }
    if (dup2(file, STDERR_FILENO) < 0) {
        Restore(savedOut, STDOUT_FILENO);
        Restore(savedErr, STDERR_FILENO);
        close(file);
        return -7;
    }
    Unbuffer();
    g_logState.savedOut.store(savedOut, std::memory_order_relaxed);
    g_logState.savedErr.store(savedErr, std::memory_order_relaxed);
    g_logState.redirectFd.store(file, std::memory_order_relaxed);
    g_logState.lossCount.store(0, std::memory_order_relaxed);
    return 0;
}

int log_redirection_dev(const char* path) {
    if (path == nullptr) {
        return -1;
    }
    if (Redirected()) {
        return -2;
    }
    const int dev = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (dev < 0) {
        return -3;
    }
    SetUpTerminal(dev);

    const int savedIn = dup(STDIN_FILENO);
    if (savedIn < 0) {
        close(dev);
        return -4;
    }
    const int savedOut = dup(STDOUT_FILENO);
    if (savedOut < 0) {
        close(savedIn);
        close(dev);
        return -5;
    }
    int savedErr = -1;
    int result = 0;
    if (dup2(dev, STDIN_FILENO) < 0) {
        result = -6;
    } else if (dup2(dev, STDOUT_FILENO) < 0) {
        result = -7;
    } else if ((savedErr = dup(STDERR_FILENO)) < 0) {
        result = -8;
    } else if (dup2(dev, STDERR_FILENO) < 0) {
        result = -9;
    }
    if (result != 0) {
        Restore(savedIn, STDIN_FILENO);
        Restore(savedOut, STDOUT_FILENO);
        Restore(savedErr, STDERR_FILENO);
        close(dev);
        return result;
    }
    Unbuffer();
    g_logState.savedIn.store(savedIn, std::memory_order_relaxed);
    g_logState.savedOut.store(savedOut, std::memory_order_relaxed);
    g_logState.savedErr.store(savedErr, std::memory_order_relaxed);
    g_logState.devFd.store(dev, std::memory_order_relaxed);
    g_logState.redirectFd.store(dev, std::memory_order_relaxed);
    g_logState.lossCount.store(0, std::memory_order_relaxed);
    return 0;
}

int log_redirection_close(void) {
    udp::LogState& st = g_logState;
    if (st.devFd.load(std::memory_order_relaxed) >= 0) {
        const int saved = st.savedIn.load(std::memory_order_relaxed);
        if (dup2(saved, STDIN_FILENO) < 0) {
            return -1;
        }
        close(saved);
        st.savedIn.store(-1, std::memory_order_relaxed);
        st.devFd.store(-1, std::memory_order_relaxed);
    }
    const int redirect = st.redirectFd.load(std::memory_order_relaxed);
    if (redirect >= 0) {
        const int saved = st.savedOut.load(std::memory_order_relaxed);
        if (dup2(saved, STDOUT_FILENO) < 0) {
            return -1;
        }
        close(saved);
        st.savedOut.store(-1, std::memory_order_relaxed);
    }
    const int savedErr = st.savedErr.load(std::memory_order_relaxed);
    if (savedErr >= 0) {
        if (dup2(savedErr, STDERR_FILENO) < 0) {
            return -2;
        }
        close(savedErr);
        st.savedErr.store(-1, std::memory_order_relaxed);
    }
    if (redirect >= 0) {
        close(redirect);
        st.redirectFd.store(-1, std::memory_order_relaxed);
    }
    st.lossCount.store(0, std::memory_order_relaxed);
    return 0;
}
