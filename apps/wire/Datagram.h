// One received datagram as the receiving tools see it, and the kinds of
// datagram a camera's output carries.
//
// A Datagram is a view: its bytes live in the socket set's receive buffer and
// are valid only during the call that hands it over.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wire {

enum class Kind : uint8_t {
    kResult = 0,  // a frame's result block
    kHeartbeat,   // the heartbeat text, sent on an idle link
    kNg,          // "NG": a trigger answered while no result was held
    kAnswer,      // the answer to a command we sent
};
constexpr size_t kKindCount = 4;

// "result", "heartbeat", "NG", "answer".
const char* KindName(Kind kind);

struct Datagram {
    const char* pData = nullptr;
    size_t nLen = 0;
    bool bTruncated = false;  // longer than the receive buffer; nLen is what was kept
    uint32_t nSrcIp = 0;      // host byte order
    uint16_t nSrcPort = 0;
    uint32_t nDstIp = 0;  // the address it was sent to (0 when the kernel did not say)
    uint16_t nDstPort = 0;
    uint64_t nTimeUs = 0;  // arrival, microseconds of the monotonic clock since the start
};

}  // namespace wire
