// CConsole: the program's standard output, shared by the threads that report
// (the listener, the processing thread, the control thread).
//
// The module writes its own log lines to the same descriptor with one write()
// per line, so each of our lines is also formatted first and written whole;
// lines of different threads then never mix inside a line.
//
// Threads: any; m_mtx serialises the writes.
#pragma once

#include <cstdio>
#include <mutex>

namespace host {

class CConsole {
public:
    explicit CConsole(FILE* stream) : m_pStream(stream) {}
    CConsole(const CConsole&) = delete;
    CConsole& operator=(const CConsole&) = delete;

    // One line (a trailing newline is added when the text has none).
    void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::mutex m_mtx;  // guards writes to m_pStream
    FILE* m_pStream;
};

}  // namespace host
