#include "TempDir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace ts {

TempDir::TempDir() {
    char pattern[] = "/tmp/udptrans_test_XXXXXX";
    const char* made = mkdtemp(pattern);
    m_path = made != nullptr ? made : "";
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
    return static_cast<bool>(file);
}

std::vector<std::string> EntriesOf(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

}  // namespace ts
