#include "LogCapture.h"

namespace ts {

LogCapture& LogCapture::Get() {
    static LogCapture capture;
    return capture;
}

void LogCapture::Install(Callbacker callbacker, int level) {
    // Level 8 is above every real level: no line reaches a callback.
    callbacker(level < 0 ? 8 : level, level < 0 ? nullptr : &LogCapture::OnLine);
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_lines.clear();
}

int LogCapture::Count(const std::string& needle) {
    std::lock_guard<std::mutex> lock(m_mtx);
    int n = 0;
    for (const Line& line : m_lines) {
        n += line.text.find(needle) != std::string::npos ? 1 : 0;
    }
    return n;
}

std::vector<LogCapture::Line> LogCapture::Lines() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_lines;
}

int LogCapture::OnLine(int /*id*/, int level, int /*flag*/, const char* line, int length) {
    LogCapture& self = Get();
    std::lock_guard<std::mutex> lock(self.m_mtx);
    self.m_lines.push_back({level, std::string(line, static_cast<size_t>(length))});
    return 0;
}

}  // namespace ts
