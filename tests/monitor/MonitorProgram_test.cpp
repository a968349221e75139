// udptrans-monitor end to end: the built program runs as a child process on
// ports the kernel picked, a sender in the test plays the camera with a known
// timing, and the test reads what the monitor printed (JSON parsed with a real
// parser), the capture file it wrote (through libpcap's reader) and its exit
// status.
#include <pcap/pcap.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "ChildProcess.h"
#include "ProgramRun.h"
#include "TextEscape.h"
#include "TempDir.h"
#include "Text.h"
#include "UdpPeer.h"
#include "Wait.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

class MonitorRun : public ts::ProgramRun {
public:
    MonitorRun(const std::string& dir, std::vector<std::string> args)
        : ProgramRun(UDPTRANS_MONITOR_PATH, dir, std::move(args)) {}
    // Every socket is bound once it has said so for each --listen; false at
    // once when the program ended instead.
    bool WaitListening(int sockets) {
        auto listening = [&] { return ts::CountOf(Err(), "listening on") >= sockets; };
        ts::WaitFor([&] { return listening() || Exited(); }, 30000);
        return listening();
    }
    std::vector<json> JsonLines() const {
        std::vector<json> lines;
        const std::string out = Out();
        size_t start = 0;
        for (size_t end = out.find('\n'); end != std::string::npos; end = out.find('\n', start)) {
            lines.push_back(json::parse(out.substr(start, end - start)));  // throws when not JSON
            start = end + 1;
        }
        EXPECT_EQ(start, out.size()) << "output ends inside a line";
        return lines;
    }
};

std::string Listen(uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

struct Sent {
    std::string bytes;
    uint16_t port;
};

// Plays a camera with a known timing and keeps what it sent, in order.
class Camera {
public:
    Camera() : m_start(Clock::now()) {}
    void At(int ms, uint16_t port, const std::string& bytes) {
        std::this_thread::sleep_until(m_start + std::chrono::milliseconds(ms));
        Send(port, bytes);
    }
    void Send(uint16_t port, const std::string& bytes) {
        ASSERT_TRUE(m_peer.SendTo(port, bytes));
        m_vecSent.push_back(Sent{bytes, port});
    }
    const std::vector<Sent>& SentList() const { return m_vecSent; }
    uint16_t Port() const { return m_peer.Port(); }
    ts::UdpPeer& Peer() { return m_peer; }

private:
    ts::UdpPeer m_peer;
    const Clock::time_point m_start;
    std::vector<Sent> m_vecSent;
};

// The payloads of a capture file, in order, with their UDP ports, through
// libpcap's own reader.
std::vector<Sent> ReadCapture(const std::string& path, int* linkType) {
    std::vector<Sent> records;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_open_offline(path.c_str(), error);
    EXPECT_NE(pcap, nullptr) << error;
    if (pcap == nullptr) {
        return records;
    }
    *linkType = pcap_datalink(pcap);
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(pcap, &header, &data) == 1) {
        const size_t ipLength = static_cast<size_t>(data[0] & 0x0f) * 4;
        EXPECT_EQ(data[0] >> 4, 4);
        EXPECT_EQ(data[9], 17);  // UDP
        EXPECT_EQ(header->caplen, header->len);
        const u_char* udp = data + ipLength;
        const size_t udpLength = static_cast<size_t>(udp[4] << 8 | udp[5]);
        EXPECT_EQ(ipLength + udpLength, header->caplen);
        const uint16_t dport = static_cast<uint16_t>(udp[2] << 8 | udp[3]);
        records.push_back(
            Sent{std::string(reinterpret_cast<const char*>(udp + 8), udpLength - 8), dport});
    }
    pcap_close(pcap);
    return records;
}

class MonitorProgramTest : public ::testing::Test {
protected:
    ts::TempDir m_dir;
};

// Results at 100/s for a second on one port (a 50 ms gap, a duplicate, three
// "NG" among them), then the link idle and three heartbeats a second apart on
// another port, as a camera in heartbeat mode 2 sends them.
TEST_F(MonitorProgramTest, FiguresJsonAndCaptureMatchASenderWithKnownTiming) {
    const uint16_t results = ts::FreePort();
    const uint16_t heartbeats = ts::FreePort();
    const std::string capture = m_dir.Path() + "/run.pcap";
    MonitorRun run(m_dir.Path(), {"--listen", Listen(results), "--listen", Listen(heartbeats),
                                  "--json", "--pcap", capture, "--heartbeat-text", "HEARTBEAT",
                                  "--expect-heartbeat", "1", "--expect-rate", "95", "--max-gap",
                                  "300", "--count", "100", "--duration", "60"});
    ASSERT_TRUE(run.WaitListening(2)) << run.Err();

    Camera camera;
    const char oddBytes[] = "result \x01\x1b[31m\"frame\"=10\r\n\0end";
    const std::string odd(oddBytes, sizeof(oddBytes) - 1);
    for (int slot = 0; slot < 100; ++slot) {
        if (slot >= 50 && slot < 54) {
            continue;  // the gap: slot 49 to slot 54
        }
        const std::string bytes = slot == 10 ? odd
                                  : slot == 30 || slot == 60 || slot == 90
                                      ? "NG"
                                      : "result frame=" + std::to_string(slot);
        camera.At(slot * 10, results, bytes);
        if (slot == 20) {
            camera.Send(results, bytes);  // the duplicate, right behind
        }
    }
    for (int beat = 1; beat <= 3; ++beat) {
        camera.At(990 + beat * 1000, heartbeats, "HEARTBEAT");
    }
    ASSERT_EQ(camera.SentList().size(), 100u);
    ASSERT_EQ(run.Wait(), 0) << run.Err();

    const std::vector<json> lines = run.JsonLines();
    ASSERT_EQ(lines.size(), 101u);
    for (size_t i = 0; i < 100; ++i) {
        const json& line = lines[i];
        const Sent& sent = camera.SentList()[i];
        ASSERT_EQ(line.at("type"), "datagram") << i;
        EXPECT_EQ(line.at("data"), apps::EscapeText(sent.bytes.data(), sent.bytes.size())) << i;
        EXPECT_EQ(line.at("len"), sent.bytes.size());
        EXPECT_EQ(line.at("dport"), sent.port);
        EXPECT_EQ(line.at("sport"), camera.Port());
        EXPECT_EQ(line.at("src"), "127.0.0.1");
        EXPECT_EQ(line.at("dst"), "127.0.0.1");
        const char* kind = sent.bytes == "NG"          ? "NG"
                           : sent.bytes == "HEARTBEAT" ? "heartbeat"
                                                       : "result";
        EXPECT_EQ(line.at("kind"), kind) << i;
        EXPECT_GE(line.at("time_ms").get<double>(),
                  i ? lines[i - 1].at("time_ms").get<double>() : 0);
    }
    // Escaped, never raw: the control bytes travel as text.
    EXPECT_FALSE(ts::Has(run.Out(), "\x1b"));

    const json& summary = lines.back();
    ASSERT_EQ(summary.at("type"), "summary");
    // The exact figures, by their place in the summary.
    // clang-format off
    const std::pair<const char*, json> exact[] = {
        {"/status", 0}, {"/reason", nullptr}, {"/datagrams", 100}, {"/kernel_drops", 0},
        {"/kinds/result/datagrams", 94}, {"/kinds/NG/datagrams", 3}, {"/kinds/answer/datagrams", 0},
        {"/kinds/heartbeat/datagrams", 3}, {"/kinds/heartbeat/bytes", 27},
        {"/heartbeat/text", "HEARTBEAT"}, {"/heartbeat/learned", false}, {"/heartbeat/periods", 3}};
    // clang-format on
    for (const auto& [place, value] : exact) {
        EXPECT_EQ(summary.at(json::json_pointer(place)), value) << place;
    }
    // The duplicate is sent right behind its original, but on a loaded machine
    // the sender may be descheduled in between: it counts only when it came
    // within 1 ms, as the arrival times show (the edge itself is not judged).
    double duplicateGapMs = -1;
    for (size_t i = 1; i < 100; ++i) {
        if (lines[i].at("kind") == "result" && lines[i].at("data") == lines[i - 1].at("data")) {
            duplicateGapMs =
                lines[i].at("time_ms").get<double>() - lines[i - 1].at("time_ms").get<double>();
        }
    }
    ASSERT_GE(duplicateGapMs, 0.0) << "the duplicate did not arrive behind its original";
    if (duplicateGapMs < 0.9 || duplicateGapMs > 1.1) {
        EXPECT_EQ(summary.at("duplicates"), duplicateGapMs < 1.0 ? 1 : 0) << duplicateGapMs;
    }
    EXPECT_NEAR(summary.at("ng_share").get<double>(), 3.0 / 97.0, 1e-6);
    // 93 intervals over the 990 ms from the first result to the last.
    EXPECT_NEAR(summary.at("result_rate").get<double>(), 94.0, 8.0);
    const json& gaps = summary.at("result_gaps_ms");
    EXPECT_EQ(gaps.at("count"), 93);
    EXPECT_GT(gaps.at("p50").get<double>(), 5.0);
    EXPECT_LT(gaps.at("p50").get<double>(), 30.0);
    EXPECT_GE(gaps.at("p99").get<double>(), 15.0);
    EXPECT_GT(gaps.at("max").get<double>(), 40.0);
    EXPECT_LT(gaps.at("max").get<double>(), 250.0);
    EXPECT_GE(gaps.at("max").get<double>(), gaps.at("p99").get<double>());
    const json& heartbeat = summary.at("heartbeat");
    EXPECT_GT(heartbeat.at("period_mean_ms").get<double>(), 900.0);
    EXPECT_LT(heartbeat.at("period_mean_ms").get<double>(), 1100.0);
    EXPECT_LT(heartbeat.at("worst_error_ms").get<double>(), 100.0);

    int linkType = 0;
    const std::vector<Sent> records = ReadCapture(capture, &linkType);
    EXPECT_EQ(linkType, DLT_RAW);
    ASSERT_EQ(records.size(), camera.SentList().size());
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].bytes, camera.SentList()[i].bytes) << i;
        EXPECT_EQ(records[i].port, camera.SentList()[i].port) << i;
    }
}

// Text lines, the figures every second and on Ctrl-C; a heartbeat learned
// from its repetition on an idle link; interrupted without expectations:
// 128+SIGINT.
TEST_F(MonitorProgramTest, CtrlCPrintsTheFiguresAndEndsWith130) {
    const uint16_t port = ts::FreePort();
    MonitorRun run(m_dir.Path(), {"--listen", Listen(port), "--stats-every", "1"});
    ASSERT_TRUE(run.WaitListening(1)) << run.Err();
    Camera camera;
    camera.At(0, port, std::string("a\x1b[2Jb\n\x7f", 8));
    for (int beat = 1; beat <= 3; ++beat) {
        camera.At(beat * 1100, port, "HB");
    }
    // The second and third "HB" are classified as heartbeats when they arrive.
    ASSERT_TRUE(ts::WaitFor([&] { return ts::CountOf(run.Out(), "  heartbeat\n") >= 2; }, 30000))
        << run.Out();
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(), 128 + SIGINT);
    const std::string out = run.Out();
    EXPECT_TRUE(ts::Has(out, "8 bytes  \"a\\x1b[2Jb\\n\\x7f\"  result\n"));
    EXPECT_FALSE(ts::Has(out, "\x1b"));
    // At 1, 2 and 3 s while the heartbeats came, and the last one on Ctrl-C.
    EXPECT_GE(ts::CountOf(out, "figures after"), 3) << out;
    // The first "HB" was a candidate, the second confirmed it: both count as
    // heartbeats, the third is classified at once.
    const size_t row = out.find("\n  heartbeat ", out.rfind("figures after"));
    ASSERT_NE(row, std::string::npos) << out;
    unsigned long long datagrams = 0, bytes = 0;
    ASSERT_EQ(
        std::sscanf(out.c_str() + row, " heartbeat %llu datagrams %llu bytes", &datagrams, &bytes),
        2);
    EXPECT_EQ(datagrams, 3u);
    EXPECT_EQ(bytes, 6u);
    EXPECT_TRUE(ts::Has(out, "\"HB\" (learned)"));
}

// Expectations: broken ones end with status 1 and one line saying why, a
// met one with 0 (each kind judged: Expectations.JudgeNames...; all three
// met at once: FiguresJsonAndCapture...).
TEST_F(MonitorProgramTest, ExpectationsDecideTheExitStatus) {
    struct Case {
        std::vector<std::string> args;
        bool send;  // 20 results 10 ms apart with one 150 ms gap
        int status;
        const char* reason;
    };
    const Case cases[] = {
        {{"--max-gap", "60"}, true, 1, "largest gap between results"},
        {{"--max-gap", "400"}, true, 0, "every expectation met"},
        {{"--expect-heartbeat", "1", "--duration", "1.6"}, false, 1, "no datagram for"},
    };
    for (const Case& c : cases) {
        const uint16_t port = ts::FreePort();
        std::vector<std::string> args = {"--listen", Listen(port), "--quiet"};
        if (c.send) {
            args.insert(args.end(), {"--count", "20", "--duration", "60"});
        }
        args.insert(args.end(), c.args.begin(), c.args.end());
        MonitorRun run(m_dir.Path(), args);
        ASSERT_TRUE(run.WaitListening(1)) << run.Err();
        if (c.send) {
            Camera camera;
            for (int i = 0; i < 20; ++i) {
                camera.At(i * 10 + (i >= 10 ? 140 : 0), port, "r" + std::to_string(i));
            }
        }
        EXPECT_EQ(run.Wait(), c.status) << c.args[0] << "\n" << run.Err();
        // The reason is one line, the last one.
        const std::string err = run.Err();
        EXPECT_TRUE(ts::Has(err.substr(err.rfind('\n', err.size() - 2) + 1), c.reason)) << err;
    }
}

// --send: the command reaches the camera's port, and the answer, which the
// camera sends to its configured target (the monitor here), is shown as one.
TEST_F(MonitorProgramTest, SendShowsTheAnswerAndSaysWhenNoneCame) {
    Camera camera;
    const uint16_t target = ts::FreePort();
    MonitorRun run(m_dir.Path(), {"--listen", Listen(target), "--json", "--send", "GET TargetPort",
                                  "--to", Listen(camera.Port()), "--count", "2"});
    ASSERT_TRUE(run.WaitListening(1)) << run.Err();
    const auto command = camera.Peer().Recv(30000);
    ASSERT_TRUE(command.has_value());
    EXPECT_EQ(command->bytes, "GET TargetPort");
    camera.Send(target, "TargetPort=9000");
    camera.Send(target, "result frame=1");
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    const std::vector<json> lines = run.JsonLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].at("kind"), "answer");
    EXPECT_EQ(lines[0].at("data"), "TargetPort=9000");
    EXPECT_EQ(lines[1].at("kind"), "result");
    EXPECT_EQ(lines[2].at("kinds").at("answer").at("datagrams"), 1);

    // Without --listen the command leaves from a port of its own; nothing
    // answers there, so the run ends after the wait with status 1.
    MonitorRun alone(m_dir.Path(),
                     {"--send", "PING", "--to", Listen(camera.Port()), "--answer-wait", "0.3"});
    EXPECT_EQ(alone.Wait(), 1) << alone.Err();
    EXPECT_TRUE(ts::Has(alone.Err(), "no answer to \"PING\" within 300 ms"));
    EXPECT_EQ(camera.Peer().Recv(5000)->bytes, "PING");
}

TEST_F(MonitorProgramTest, BadCommandLinesEndWith64AndHelpWith0) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--listen", "127.0.0.1:70000"},
        {"--listen", "localhost:9000"},
        {"--send", "PING"},
        {"--listen", "9000", "--heartbeat-text", std::string(33, 'x')},
        {"--listen", "9000", "--max-gap", "-5"},
    };
    for (const auto& args : bad) {
        MonitorRun run(m_dir.Path(), args);
        EXPECT_EQ(run.Wait(), 64) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(run.Err().empty());
    }
    MonitorRun help(m_dir.Path(), {"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_TRUE(ts::Has(help.Out(), "--expect-heartbeat"));
    MonitorRun version(m_dir.Path(), {"--version"});
    EXPECT_EQ(version.Wait(), 0);
    EXPECT_EQ(version.Out().rfind("udptrans-monitor ", 0), 0u) << version.Out();

    // A port that another socket holds: a start-up failure, status 2.
    ts::UdpPeer holder(INADDR_LOOPBACK);
    MonitorRun taken(m_dir.Path(), {"--listen", Listen(holder.Port())});
    EXPECT_EQ(taken.Wait(), 2);
    EXPECT_TRUE(ts::Has(taken.Err(), "cannot listen on"));
}

}  // namespace
