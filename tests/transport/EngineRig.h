// The transport tests' engine, set up the way the module sets it up:
// kernel-chosen host ports and two receivers on loopback as its targets.
//
// Threads: the test's thread drives the engine; the engine's tasks only touch
// the sockets, never the receivers' objects.
#pragma once

#include <cstdint>
#include <string>

#include "UdpPeer.h"
#include "udpMsg.h"

namespace ts {

constexpr uint32_t kLoopback = 0x7F000001;  // 127.0.0.1, host byte order
constexpr int kEngineLogId = 17;

// Kernel-chosen host ports and loopback targets, as the module sets them.
inline void Configure(udp::CUdpProcess& engine, uint16_t msgTarget, uint16_t hbTarget = 0) {
    engine.SetLogId(kEngineLogId);
    engine.SetTargetMsgIp(kLoopback);
    engine.SetHostMsgPort(FreePort(), false);
    engine.SetTargetMsgPort(msgTarget);
    engine.SetTargetHbIp(kLoopback);
    engine.SetHostHbPort(FreePort(), false);
    engine.SetTargetHbPort(hbTarget);
}

// An engine with its two targets; stopped on destruction.
struct EngineRig {
    udp::CUdpProcess engine;
    UdpPeer msgTarget;
    UdpPeer hbTarget;

    EngineRig() { Configure(engine, msgTarget.Port(), hbTarget.Port()); }
    ~EngineRig() { engine.DeInit(); }

    // Starts with the transport enabled or not; the enable value is set the
    // way frame processing does, independent of any trigger source.
    int Start(int enable = 1) {
        engine.SetFrameAndTrigger(0, 0, enable);
        return engine.Init();
    }
    int Send(const std::string& bytes) {
        return engine.InsertSendMsg(bytes.data(), static_cast<unsigned int>(bytes.size()));
    }
    void Heartbeat(int mode, int intervalS, const char* text) {
        engine.SetHeartbeatTranMode(mode);
        engine.SetHeartbeatInterval(intervalS);
        engine.SetHeartbeatText(text);
    }
    // Sends `bytes` and returns the source port it arrived from at `to` (the
    // message target unless given); 0 when it never came.
    uint16_t SentFrom(const std::string& bytes, UdpPeer* to = nullptr) {
        Send(bytes);
        auto d = (to != nullptr ? *to : msgTarget).RecvUntil(bytes, 5000);
        return d ? d->fromPort : 0;
    }
};

}  // namespace ts
