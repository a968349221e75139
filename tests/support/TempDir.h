// A temporary folder of a test, removed with everything in it, and the file
// helpers that go with it.
//
// Threads: one test thread owns each folder.
#pragma once

#include <string>
#include <vector>

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
// Names of the entries of folder `dir` that start with `prefix`, in no
// particular order; empty when the folder cannot be read.
std::vector<std::string> EntriesOf(const std::string& dir, const std::string& prefix = "");

}  // namespace ts
