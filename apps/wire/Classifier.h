// CClassifier: tells the kinds of datagram apart on the receiving side.
//
//   heartbeat  exactly the heartbeat text: the one given, or, when none is
//              given, learned as a short datagram (at most 32 bytes) that
//              arrives twice in a row on a link idle for 0.9 s or more (a
//              heartbeat interval is at least a second)
//   NG         exactly the two bytes "NG"
//   answer     the first other datagram after a command we sent, within the
//              time we wait for its answer
//   result     everything else
//
// A camera answers a command at its configured target and from the port its
// results come from, so an answer is told apart by its timing only.
//
// Until a learned heartbeat is confirmed by its repetition, its first copy is
// a candidate: Classify marks it, and the next verdict says whether it was a
// heartbeat after all (the caller then counts it as one).
//
// Threads: one thread (the receiver's) owns a classifier.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Datagram.h"

namespace wire {

class CClassifier {
public:
    static constexpr size_t kMaxHeartbeat = 32;  // the camera's heartbeat text is at most 32 bytes
    // Heartbeat intervals are whole seconds (at least 1), but the camera
    // counts them on a clock read in whole milliseconds and from the moment
    // its previous send returned, so a heartbeat may arrive a little less than
    // a second after the datagram before it.
    static constexpr uint64_t kIdleUs = 900000;

    struct Verdict {
        Kind kind = Kind::kResult;
        bool bCandidate = false;          // may be a heartbeat; the next verdict tells
        bool bCandidateWasHeart = false;  // the previous candidate was a heartbeat
    };

    // A given text is used as it stands and nothing is learned. Longer than
    // kMaxHeartbeat: false.
    bool SetHeartbeatText(const std::string& text);
    bool HeartbeatKnown() const { return m_bHeartbeatKnown; }
    bool HeartbeatLearned() const { return m_bHeartbeatKnown && !m_bHeartbeatGiven; }
    std::string HeartbeatText() const { return std::string(m_szHeartbeat, m_nHeartbeatLen); }

    // The next datagram up to `untilUs` that is neither heartbeat nor "NG" is
    // the answer to a command just sent.
    void ExpectAnswer(uint64_t untilUs);
    bool AnswerPending(uint64_t nowUs) const {
        return m_bAnswerPending && nowUs <= m_nAnswerUntilUs;
    }

    // `idleUs`: time since the previous datagram on any of our sockets, or
    // UINT64_MAX when there was none (then nothing is learned from it).
    Verdict Classify(const Datagram& datagram, uint64_t idleUs);

private:
    bool Equals(const char* bytes, size_t length, const char* with, size_t withLength) const;

    bool m_bHeartbeatGiven = false;
    bool m_bHeartbeatKnown = false;
    char m_szHeartbeat[kMaxHeartbeat] = {};
    size_t m_nHeartbeatLen = 0;
    bool m_bCandidate = false;  // m_szCandidate holds the last idle short datagram
    char m_szCandidate[kMaxHeartbeat] = {};
    size_t m_nCandidateLen = 0;
    bool m_bAnswerPending = false;
    uint64_t m_nAnswerUntilUs = 0;
};

}  // namespace wire
