// Telling the kinds apart (given and learned heartbeats, "NG", answers),
// duplicates within 1 ms, and the escaping of what came from the network.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "Classifier.h"
#include "DuplicateFilter.h"
#include "TextEscape.h"

namespace {

using wire::CClassifier;
using wire::Datagram;
using wire::Kind;

Datagram Make(const std::string& bytes, uint64_t timeUs, uint16_t srcPort = 8192,
              uint16_t dstPort = 9000) {
    return {bytes.data(), bytes.size(), false, 0x7f000001, srcPort, 0, dstPort, timeUs};
}

TEST(Classifier, GivenHeartbeatNgAndAnswerWindow) {
    CClassifier c;
    ASSERT_FALSE(c.SetHeartbeatText(std::string(33, 'h')));
    ASSERT_TRUE(c.SetHeartbeatText("HEARTBEAT"));
    const std::string hb = "HEARTBEAT", ng = "NG", ngLonger = "NG\n", result = "result",
                      answer = "TargetPort=9000";
    EXPECT_EQ(c.Classify(Make(hb, 10), 10).kind, Kind::kHeartbeat);
    EXPECT_EQ(c.Classify(Make(ng, 20), 10).kind, Kind::kNg);
    EXPECT_EQ(c.Classify(Make(ngLonger, 30), 10).kind, Kind::kResult);
    EXPECT_EQ(c.Classify(Make(hb.substr(0, 8), 40), 10).kind, Kind::kResult);
    // The answer is the first other datagram in the window; heartbeats and
    // "NG" inside it stay what they are.
    c.ExpectAnswer(1000);
    EXPECT_EQ(c.Classify(Make(hb, 100), 10).kind, Kind::kHeartbeat);
    EXPECT_EQ(c.Classify(Make(ng, 110), 10).kind, Kind::kNg);
    EXPECT_EQ(c.Classify(Make(answer, 120), 10).kind, Kind::kAnswer);
    EXPECT_EQ(c.Classify(Make(result, 130), 10).kind, Kind::kResult);
    c.ExpectAnswer(1000);
    EXPECT_EQ(c.Classify(Make(answer, 1001), 10).kind, Kind::kResult);  // too late
    // A given text is never replaced by a learned one.
    const std::string other = "ALIVE";
    for (uint64_t t = 2000000; t < 6000000; t += 1000000) {
        EXPECT_EQ(c.Classify(Make(other, t), 1000000).kind, Kind::kResult);
    }
    EXPECT_EQ(c.HeartbeatText(), "HEARTBEAT");
    EXPECT_FALSE(c.HeartbeatLearned());
}

TEST(Classifier, LearnsTheHeartbeatOnlyFromARepetitionOnAnIdleLink) {
    struct Step {
        const char* bytes;
        uint64_t idleUs;
        Kind kind;
        bool candidate;
        bool candidateWasHeartbeat;
    };
    const std::string longText(33, 'x');
    const Step steps[] = {
        {"HB", 899999, Kind::kResult, false, false},     // link not idle long enough
        {"HB", 900000, Kind::kResult, true, false},      // first idle copy: a candidate
        {"r1", 10000, Kind::kResult, false, false},      // traffic between: candidate dropped
        {"HB", 2000000, Kind::kResult, true, false},     // a candidate again
        {"OK", 2000000, Kind::kResult, true, false},     // a different idle datagram replaces it
        {"HB", 2000000, Kind::kResult, true, false},     // ...
        {"HB", 2000000, Kind::kHeartbeat, false, true},  // repeated: learned, both heartbeats
        {"HB", 5000, Kind::kHeartbeat, false, false},    // from now on, idle or not
        {"r2", 2000000, Kind::kResult, false, false},    // nothing more is learned
        {"r2", 2000000, Kind::kResult, false, false},
    };
    CClassifier c;
    uint64_t t = 0;
    for (const Step& step : steps) {
        t += step.idleUs;
        const std::string bytes = step.bytes;
        const CClassifier::Verdict v = c.Classify(Make(bytes, t), step.idleUs);
        EXPECT_EQ(v.kind, step.kind) << step.bytes << " after " << step.idleUs;
        EXPECT_EQ(v.bCandidate, step.candidate) << step.bytes << " after " << step.idleUs;
        EXPECT_EQ(v.bCandidateWasHeart, step.candidateWasHeartbeat) << step.bytes;
    }
    EXPECT_TRUE(c.HeartbeatLearned());
    EXPECT_EQ(c.HeartbeatText(), "HB");

    // Longer than a heartbeat can be: never a candidate. "NG" neither.
    CClassifier d;
    EXPECT_FALSE(d.Classify(Make(longText, 2000000), 2000000).bCandidate);
    EXPECT_FALSE(d.Classify(Make(longText, 4000000), 2000000).bCandidate);
    EXPECT_EQ(d.Classify(Make("NG", 6000000), 2000000).kind, Kind::kNg);
    EXPECT_EQ(d.Classify(Make("NG", 8000000), 2000000).kind, Kind::kNg);
    EXPECT_FALSE(d.HeartbeatKnown());
}

TEST(DuplicateFilter, SameBytesSameSenderSamePortWithinOneMillisecond) {
    wire::CDuplicateFilter f;
    const std::string a = "result frame=1", b = "result frame=2";
    EXPECT_FALSE(f.Check(Make(a, 1000)));
    EXPECT_TRUE(f.Check(Make(a, 1800)));               // 0.8 ms later
    EXPECT_TRUE(f.Check(Make(a, 2800)));               // 1.0 ms after the previous copy
    EXPECT_FALSE(f.Check(Make(a, 3801)));              // 1.001 ms
    EXPECT_FALSE(f.Check(Make(b, 3900)));              // other bytes
    EXPECT_FALSE(f.Check(Make(a, 4000, 8193)));        // other sender port
    EXPECT_FALSE(f.Check(Make(a, 4100, 8192, 9001)));  // other target port
    EXPECT_TRUE(f.Check(Make(b, 4200)));               // b again, with others between
    // The ring is bounded: an old copy pushed out is not found.
    for (int i = 0; i < static_cast<int>(wire::CDuplicateFilter::kRing); ++i) {
        const std::string filler = "f" + std::to_string(i);
        f.Check(Make(filler, 4300));
    }
    EXPECT_FALSE(f.Check(Make(b, 4400)));
}

// How each byte is shown: TextEscape.ControlBytesBecomeHex... with the host's tests.
TEST(Escape, AnEscapeIsNeverCutAndJsonQuotesTheEscapedText) {
    char out[8];
    // 8 bytes hold "abc\x1b" and the terminator, but not "abcd\x1b": the escape is left out whole.
    EXPECT_EQ(apps::EscapeTo("abc\x1b", 4, out, sizeof(out)), 7u);
    EXPECT_STREQ(out, "abc\\x1b");
    EXPECT_EQ(apps::EscapeTo("abcd\x1b", 5, out, sizeof(out)), 4u);
    EXPECT_STREQ(out, "abcd");
    EXPECT_EQ(apps::EscapeTo("abc", 3, out, 0), 0u);
    char json[64];
    const std::string escaped = "x\\x01\"";
    apps::JsonQuoteTo(escaped.data(), escaped.size(), json, sizeof(json));
    EXPECT_STREQ(json, "x\\\\x01\\\"");
}

}  // namespace
