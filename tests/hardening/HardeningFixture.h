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

// Open descriptors of this process.
inline int OpenFdCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
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
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int found = -1;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const int fd = std::atoi(entry->d_name);
        int type = 0;
        socklen_t typeLen = sizeof(type);
        sockaddr_in addr{};
        socklen_t len = sizeof(addr);
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) != 0 || type != SOCK_DGRAM ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            addr.sin_family != AF_INET) {
            continue;
        }
        if (ntohs(addr.sin_port) == port && fd != dirfd(dir)) {
            found = fd;
        }
    }
    closedir(dir);
    return found;
}

using ModuleFixture = ut::ModuleTest;

}  // namespace hardening
