// Helpers shared by the benchmark programs (not installed).
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>

namespace bench {

// Points descriptor 1 at /dev/null while a benchmark runs, so the figures
// measure what writing a line costs, not what a terminal costs.
class NullStdout {
public:
    NullStdout() {
        std::fflush(stdout);
        m_nSaved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~NullStdout() {
        std::fflush(stdout);
        dup2(m_nSaved, STDOUT_FILENO);
        close(m_nSaved);
    }
    NullStdout(const NullStdout&) = delete;
    NullStdout& operator=(const NullStdout&) = delete;

private:
    int m_nSaved = -1;
};

// The spawn function log_prt_init takes: a detached, named thread.
inline int SpawnDetached(const char* name, void* (*entry)(void*)) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, entry, nullptr) != 0) {
        return -1;
    }
    pthread_setname_np(thread, name);
    pthread_detach(thread);
    return 0;
}

}  // namespace bench
