// A temporary folder for one test, removed with its content afterwards.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/udptrans_host_XXXXXX";
        const char* made = mkdtemp(pattern);
        m_strPath = made == nullptr ? std::string() : std::string(made);
    }
    ~TempDir() {
        if (!m_strPath.empty()) {
            nftw(
                m_strPath.c_str(),
                [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); },
                16, FTW_DEPTH | FTW_PHYS);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return m_strPath + "/" + name; }

private:
    std::string m_strPath;
};

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}
