// How a fuzz target reports a broken property: one line naming the target and
// what broke, then abort, so libFuzzer keeps the input that did it.
//
// Threads: any; nothing is shared.
#pragma once

#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <string>

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    std::abort();
}

[[noreturn]] inline void Fail(const std::string& what) {
    Fail(what.c_str());
}

[[noreturn]] inline void Fail(const char* what, long value) {
    std::fprintf(stderr, "%s: %s (%ld)\n", program_invocation_short_name, what, value);
    std::abort();
}

// A literal costs nothing when the check holds; a built text only when the
// caller builds it.
inline void Check(bool ok, const char* what) {
    if (!ok) {
        Fail(what);
    }
}

inline void Check(bool ok, const std::string& what) {
    if (!ok) {
        Fail(what);
    }
}

inline void Check(bool ok, const char* what, long value) {
    if (!ok) {
        Fail(what, value);
    }
}
