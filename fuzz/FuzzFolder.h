// The working folder of a fuzz target that writes files: in memory where the
// machine has such a folder (every save of the store syncs its file, which on
// a disk would slow the fuzzer down a hundredfold), else in /tmp.
//
// Threads: libFuzzer's initialisation only.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

inline std::string MakeFuzzFolder(const std::string& name) {
    for (const std::string base : {"/dev/shm/", "/tmp/"}) {
        std::string pattern = base + name + "_XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            return pattern;
        }
    }
    std::fprintf(stderr, "%s: no working folder\n", name.c_str());
    std::abort();
}
