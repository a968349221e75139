// IPv4 address and port as the command lines of our tools write them
// ("0.0.0.0:9000", "camera.local:8192"), in host byte order like the rest of
// the system.
//
// Threads: plain values and free functions, any thread.
#pragma once

#include <cstdint>
#include <string>

namespace wire {

struct Address {
    uint32_t nIp = 0;  // host byte order, first octet in the most significant byte
    uint16_t nPort = 0;
};

// "HOST:PORT", or "PORT" alone for all interfaces. HOST is a dotted IPv4
// address, or a name when `resolve` is set. false with the reason in `error`.
bool ParseAddress(const std::string& text, bool resolve, Address& address, std::string& error);

// Dotted text of `ip` into `out` (at least 16 bytes); returns `out`.
const char* FormatIp(uint32_t ip, char* out);
std::string FormatAddress(const Address& address);

}  // namespace wire
