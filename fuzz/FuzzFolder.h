// The working folder of a fuzz target that writes files: in memory where the
// machine has such a folder (every save of the store syncs its file, which on
// a disk would slow the fuzzer down a hundredfold), else in /tmp.
//
// Threads: libFuzzer's initialisation only (and the exit handler).
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// Removed with everything in it when the fuzzer ends normally.
inline std::string& FuzzFolder() {
    static std::string folder;
    return folder;
}

inline std::string MakeFuzzFolder(const std::string& name) {
    for (const std::string base : {"/dev/shm/", "/tmp/"}) {
        std::string pattern = base + name + "_XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            FuzzFolder() = pattern;
            std::atexit([] {
                std::error_code ignored;
                std::filesystem::remove_all(FuzzFolder(), ignored);
            });
            return pattern;
        }
    }
    std::fprintf(stderr, "%s: no working folder\n", name.c_str());
    std::abort();
}
