// Log lines of the library caught through its callback. The capture is
// handed the library's log_set_callbacker, so that a test linked with the
// runtime and a test that dlopens libudptrans.so (and looks the function up
// with dlsym) use it alike.
//
// Threads: lines arrive on any thread of the code under test (its tasks, the
// proxy's thread); every member is guarded by m_mtx.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace ts {

class LogCapture {
public:
    using Callback = int (*)(int id, int level, int flag, const char* line, int length);
    using Callbacker = void (*)(int level, Callback callback);

    struct Line {
        int level;
        std::string text;
    };

    // One capture per process: the library keeps a single callback.
    static LogCapture& Get();

    // Lines at `level` or more severe go to the capture; a negative level
    // stops capturing (the library then calls nothing).
    void Install(Callbacker callbacker, int level = 0);
    void Clear();
    // Lines that contain `needle`.
    int Count(const std::string& needle);
    std::vector<Line> Lines();

private:
    static int OnLine(int id, int level, int flag, const char* line, int length);

    std::mutex m_mtx;  // guards m_lines
    std::vector<Line> m_lines;
};

}  // namespace ts
