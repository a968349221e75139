// Small helpers shared by the host stand-in's tests: a temporary folder,
// whole-file text, and waiting for a condition with a generous deadline.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

// A temporary folder for one test, removed with its content afterwards.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/udptrans_host_XXXXXX";
        const char* made = mkdtemp(pattern);
        m_strPath = made == nullptr ? std::string() : std::string(made);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_strPath, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return m_strPath + "/" + name; }

private:
    std::string m_strPath;
};

inline std::string ReadText(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Polls every 5 ms for up to 5 s: the machine is shared, so never a tight bound.
template <class Pred>
bool WaitUntil(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
