// A temporary folder of a test, removed with everything in it, and the file
// helpers that go with it.
//
// Threads: one test thread owns each folder.
#pragma once

#include <string>

namespace ts {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// The whole file, bytes as they are; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Replaces the file with `bytes`; true on success.
bool WriteFile(const std::string& path, const std::string& bytes);

}  // namespace ts
