// Datagrams read with the kernel's arrival stamp in nanoseconds on the
// monotonic clock (the clock the module stamps with), so that a figure taken
// from them does not depend on when the reading thread got to run. Works on
// any UDP socket, a UdpPeer's included.
//
// Threads: any thread; one reader per socket.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace ts {

// CLOCK_MONOTONIC in nanoseconds.
uint64_t MonoNs();
// Sleeps until the monotonic time `ns`.
void SleepUntilNs(uint64_t ns);
// Asks the kernel to stamp every datagram `fd` receives; false when refused.
bool EnableArrivalStamps(int fd);
// One waiting datagram into `buf` without blocking: its size, or -1 when none
// is waiting. `arrivalNs` gets its arrival stamp (the reading moment when
// the socket carries no stamps).
int RecvStamped(int fd, void* buf, int size, uint64_t* arrivalNs);
// The same, with the sender's address in `from`.
int RecvStamped(int fd, void* buf, int size, uint64_t* arrivalNs, sockaddr_in* from);

}  // namespace ts
