// Captures what the process writes to descriptor 1.
//
// Descriptor 1 is pointed at a pipe whose read end a reader thread drains into
// a string, so writers (the test thread, the log drain thread) never block on
// a full pipe. Stop() puts the original descriptor 1 back; the destructor does
// so too, so a failing test never leaves the process's stdout changed. Do
// assertions after Stop(): gtest prints failures on stdout.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>

#include "Wait.h"

namespace ts {

class StdoutCapture {
public:
    StdoutCapture() {
        fflush(stdout);
        int fds[2] = {-1, -1};
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        m_nSavedFd = dup(STDOUT_FILENO);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        m_reader = std::thread([this, fd = fds[0]] {
            char chunk[4096];
            for (ssize_t n; (n = read(fd, chunk, sizeof(chunk))) > 0;) {
                std::lock_guard<std::mutex> guard(m_mutex);
                m_strText.append(chunk, static_cast<size_t>(n));
            }
            close(fd);
        });
    }
    ~StdoutCapture() { Stop(); }

    // Restores descriptor 1, waits for the reader to see end of file and
    // returns everything captured.
    std::string Stop() {
        if (m_nSavedFd >= 0) {
            fflush(stdout);
            dup2(m_nSavedFd, STDOUT_FILENO);  // drops the last write end
            close(m_nSavedFd);
            m_nSavedFd = -1;
        }
        if (m_reader.joinable()) {
            m_reader.join();
        }
        return Text();
    }

    std::string Text() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_strText;
    }

    // Polls until pred(text) holds or the deadline passes; returns the result.
    template <typename Pred>
    bool WaitFor(Pred pred) const {
        return ::ts::WaitFor([&] { return pred(Text()); }, 10000);
    }

private:
    int m_nSavedFd = -1;
    std::thread m_reader;
    mutable std::mutex m_mutex;  // guards m_strText: reader thread writes, test reads
    std::string m_strText;
};

}  // namespace ts
