// What the hardening tests add to the module tests' small host: helpers that
// look at the process from outside (its descriptors, its memory, the engine's
// sockets found by their port).
//
// Threads: called on the test's own thread; they only read /proc.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "ModuleHarness.h"

namespace hardening {

// Calls `fn(fd)` for every open descriptor of this process but the one that
// reads the list.
template <typename Fn>
inline void ForEachFd(Fn fn) {
    DIR* dir = opendir("/proc/self/fd");
    while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != dirfd(dir)) {
            fn(fd);
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
}

inline int OpenFdCount() {
    int count = 0;
    ForEachFd([&](int) { ++count; });
    return count;
}

// Resident set of this process in bytes.
inline long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// The descriptor of this process's UDP socket bound to `port`, or -1. This is
// how a test reaches the engine's socket without any accessor of the module.
inline int FindUdpSocketByPort(uint16_t port) {
    int found = -1;
    ForEachFd([&](int fd) {
        int type = 0;
        socklen_t typeLen = sizeof(type);
        sockaddr_in addr{};
        socklen_t len = sizeof(addr);
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) == 0 && type == SOCK_DGRAM &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
            addr.sin_family == AF_INET && ntohs(addr.sin_port) == port) {
            found = fd;
        }
    });
    return found;
}

using ModuleFixture = ut::ModuleTest;

}  // namespace hardening
