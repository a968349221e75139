// udp::UdpMessage: one outgoing datagram, copied by value through every queue.
//
// Producers clear the whole record, copy at most kMaxPayload bytes and set
// nLen, so bytes after the payload are zero.
#pragma once

#include <cstdint>
#include <type_traits>

namespace udp {

struct UdpMessage {
    static constexpr uint32_t kMaxPayload = 1028;

    int32_t nLen;              // payload bytes to send, 0..1028
    char szData[kMaxPayload];  // payload; not necessarily text or terminated
};

static_assert(sizeof(UdpMessage) == 4 + UdpMessage::kMaxPayload, "fixed-size datagram record");
static_assert(std::is_trivially_copyable<UdpMessage>::value, "copied by value");

}  // namespace udp
