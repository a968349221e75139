// What a test reads of its own process from outside the code under test: its
// open descriptors, its resident memory, and a UDP socket found by its port
// (how a test reaches the engine's socket without any accessor of the module).
//
// Threads: any thread may call these; they only read /proc and query sockets.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace ts {

// Calls `fn(fd)` for every open descriptor of this process but the one that
// reads the list.
void ForEachFd(const std::function<void(int)>& fn);
int OpenFdCount();
// Resident set of this process in bytes.
long ResidentBytes();
// The descriptor of this process's IPv4 UDP socket bound to `port`, or -1.
int FindUdpSocketByPort(uint16_t port);
// CPU time (user and system) of all threads of this process so far.
double CpuSeconds();
// A UDP counter of this network namespace from /proc/net/snmp ("NoPorts",
// "RcvbufErrors", "SndbufErrors", ...); -1 when it cannot be read.
long UdpCounter(const std::string& name);
// UDP datagrams this network namespace received for a port nobody listens on
// (the kernel's NoPorts counter); -1 when it cannot be read.
long UdpNoPortsCount();

}  // namespace ts
