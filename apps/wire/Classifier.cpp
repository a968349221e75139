#include "Classifier.h"

#include <cstring>

namespace wire {

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::kResult:
            return "result";
        case Kind::kHeartbeat:
            return "heartbeat";
        case Kind::kNg:
            return "NG";
        case Kind::kAnswer:
            return "answer";
    }
    return "?";
}

bool CClassifier::SetHeartbeatText(const std::string& text) {
    if (text.size() > kMaxHeartbeat) {
        return false;
    }
    std::memcpy(m_szHeartbeat, text.data(), text.size());
    m_nHeartbeatLen = text.size();
    m_bHeartbeatGiven = true;
    m_bHeartbeatKnown = true;
    return true;
}

void CClassifier::ExpectAnswer(uint64_t untilUs) {
    m_bAnswerPending = true;
    m_nAnswerUntilUs = untilUs;
}

bool CClassifier::Equals(const char* bytes, size_t length, const char* with,
                         size_t withLength) const {
    return length == withLength && (length == 0 || std::memcmp(bytes, with, length) == 0);
}

CClassifier::Verdict CClassifier::Classify(const Datagram& d, uint64_t idleUs) {
    Verdict v;
    const bool hadCandidate = m_bCandidate;
    m_bCandidate = false;
    if (m_bHeartbeatKnown && Equals(d.pData, d.nLen, m_szHeartbeat, m_nHeartbeatLen)) {
        v.kind = Kind::kHeartbeat;
        return v;
    }
    if (Equals(d.pData, d.nLen, "NG", 2)) {
        v.kind = Kind::kNg;
        return v;
    }
    if (AnswerPending(d.nTimeUs)) {
        m_bAnswerPending = false;
        v.kind = Kind::kAnswer;
        return v;
    }
    const bool idle = idleUs != UINT64_MAX && idleUs >= kIdleUs;
    if (!m_bHeartbeatKnown && idle && d.nLen <= kMaxHeartbeat) {
        if (hadCandidate && Equals(d.pData, d.nLen, m_szCandidate, m_nCandidateLen)) {
            std::memcpy(m_szHeartbeat, d.pData, d.nLen);
            m_nHeartbeatLen = d.nLen;
            m_bHeartbeatKnown = true;
            v.kind = Kind::kHeartbeat;
            v.bCandidateWasHeart = true;
            return v;
        }
        std::memcpy(m_szCandidate, d.pData, d.nLen);
        m_nCandidateLen = d.nLen;
        m_bCandidate = true;
        v.bCandidate = true;
    }
    return v;
}

}  // namespace wire
