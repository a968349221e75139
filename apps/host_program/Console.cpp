#include "Console.h"

#include <algorithm>
#include <cstdarg>
#include <string>

namespace hostprog {

void CConsole::Print(const char* format, ...) {
    char line[8192];  // an escaped 1028-byte datagram fits
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (length < 0 || m_bMuted) {
        return;
    }
    std::string text(line, std::min(static_cast<size_t>(length), sizeof(line) - 1));
    if (text.empty() || text.back() != '\n') {
        text += '\n';
    }
    std::lock_guard<std::mutex> lock(m_mtx);
    std::fwrite(text.data(), 1, text.size(), m_pStream);
    // Flushed at once: the output is often a pipe read by a script or a test,
    // and the module's direct log lines bypass this buffer.
    std::fflush(m_pStream);
}

}  // namespace hostprog

namespace hostprog {

void CConsole::Write(const char* text, size_t length) {
    if (m_bMuted) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mtx);
    std::fwrite(text, 1, length, m_pStream);
    std::fflush(m_pStream);
}

}  // namespace hostprog
