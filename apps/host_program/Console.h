// CConsole: one of the program's output streams (standard output for the
// run's lines, standard error for warnings and the module's log lines),
// shared by the threads that report (the listener, the processing thread, the
// control thread).
//
// Each line is formatted first and written whole, so lines of different
// threads never mix inside a line. A muted console (--quiet) writes nothing.
//
// Threads: any; m_mtx serialises the writes.
#pragma once

#include <cstdio>
#include <mutex>

namespace hostprog {

class CConsole {
public:
    explicit CConsole(FILE* stream, bool muted = false) : m_pStream(stream), m_bMuted(muted) {}
    CConsole(const CConsole&) = delete;
    CConsole& operator=(const CConsole&) = delete;

    // One line (a trailing newline is added when the text has none).
    void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // `length` bytes as they are (a line built elsewhere, newline included).
    void Write(const char* text, size_t length);

private:
    std::mutex m_mtx;  // guards writes to m_pStream
    FILE* m_pStream;
    const bool m_bMuted;
};

}  // namespace hostprog
