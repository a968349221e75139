// udptrans-host end to end: the built program runs as a child process with a
// temporary parameter store and ports that the kernel picked, and the test
// watches the real datagrams on loopback.
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#if UDPTRANS_TEST_JSON
#include <nlohmann/json.hpp>
#endif

#include "ChildProcess.h"
#include "ModuleFixture.h"
#include "ProgramRun.h"
#include "TempDir.h"
#include "Text.h"
#include "UdpPeer.h"
#include "Wait.h"
#include "udptrans/udptrans_version.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitRefused = 2;
constexpr int kExitUsage = 64;

using HostRun = ts::ProgramRun;
using ts::Datagram;
using ts::Has;
using ts::UnsharedPort;

// A run that has ended: its status, output and what reached the receiver.
struct Ended {
    int status;
    std::string out;
    std::string err;
    std::vector<Datagram> got;
};

// A store with the module's ports chosen by the test (m_ep), so that no run
// of the program ever touches the default ports; heartbeats are off.
class HostProgramTest : public ::testing::Test {
protected:
    void SetUp() override { SeedStore(); }

    std::string Store() const { return m_store.Path(); }
    std::string StoreFile() const { return ts::StorePath(m_store); }
    void SeedStore() { ts::WriteStore(m_store, m_ep.Values()); }
    // The value of `key` in the store file, as a fresh framework loads it.
    std::string StoredValue(const std::string& key) const { return ts::ReadStore(m_store, key); }

    std::vector<std::string> Args(std::vector<std::string> extra) const {
        std::vector<std::string> args = {"--store",   Store(),      "--no-listen",
                                         "--no-ping", "--duration", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    HostRun Run(std::vector<std::string> extra, const std::vector<std::string>& env = {}) {
        return HostRun(UDPTRANS_HOST_PATH, m_dir.Path(), Args(std::move(extra)), env);
    }
    // Runs the program with `extra` to its end, watching `at` (the target
    // unless given) until the run has ended and a quiet moment has passed.
    Ended RunToEnd(std::vector<std::string> extra, ts::UdpPeer* at = nullptr) {
        HostRun run = Run(std::move(extra));
        if (!run.Started()) {
            return {-1, "", "the program did not start", {}};
        }
        std::vector<Datagram> got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < end) {
            const bool exited = run.Exited();
            auto datagram = (at != nullptr ? *at : m_ep.msg).Recv(exited ? 200 : 20);
            if (datagram) {
                got.push_back(*datagram);
            } else if (exited) {
                break;
            }
        }
        const int status = run.Wait();
        return {status, run.Out(), run.Err(), std::move(got)};
    }

    // Asks PING until the module answers at the target (datagrams before the
    // module has bound its port are lost), then drains the target.
    bool WaitUntilUp(HostRun& run) {
        std::optional<Datagram> pong;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!pong && std::chrono::steady_clock::now() < end && !run.Exited()) {
            m_client.SendTo(m_ep.hostPort, "PING");
            pong = m_ep.msg.RecvUntil("PONG", 200);
        }
        while (m_ep.msg.Recv(200)) {
        }
        return pong.has_value();
    }
    // Sends `command` to the module's port; the answer at the target, or
    // "<nothing>".
    std::string Ask(const std::string& command) {
        m_client.SendTo(m_ep.hostPort, command);
        return m_ep.msg.NextBytes(10000);
    }

    ts::TempDir m_dir;
    ts::TempDir m_store;   // the module's working folder
    ts::Endpoints m_ep;    // host ports and the two targets
    ts::UdpPeer m_client;  // sends commands to the module's port
};

TEST_F(HostProgramTest, EveryFrameArrivesWithExactlyItsBytesFromTheHostPort) {
    // Binary bytes, zeros included, go out as they are. (Text payloads with
    // their counters: JsonListenerLinesParse.)
    const std::string bytes = ts::Pattern(300, 0, 37);
    const std::string payloadFile = m_dir.Path() + "/payload.bin";
    ASSERT_TRUE(ts::WriteFile(payloadFile, bytes));
    const Ended run = RunToEnd({"--frames", "4", "--fps", "20", "--payload-file", payloadFile});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_EQ(run.got.size(), 4u) << run.out;
    for (const auto& datagram : run.got) {
        EXPECT_EQ(datagram.bytes, bytes);
        EXPECT_EQ(datagram.fromPort, m_ep.hostPort);
    }
    EXPECT_TRUE(Has(run.out, "4 frame(s) handed over, 4 queued by the module (status 1)"));
}

TEST_F(HostProgramTest, ParameterSetInOneRunIsInForceInTheNextThroughALinkedStore) {
    // The store is a link to a shared file, which a save once replaced by a
    // plain file of its own.
    const std::string shared = m_dir.Path() + "/shared.param";
    ASSERT_EQ(rename(StoreFile().c_str(), shared.c_str()), 0);
    ASSERT_EQ(symlink(shared.c_str(), StoreFile().c_str()), 0);
    ts::UdpPeer second;
    const Ended set =
        RunToEnd({"--frames", "0", "--set", "TargetPort=" + std::to_string(second.Port())});
    ASSERT_EQ(set.status, 0) << set.out << set.err;
    struct stat st {};
    ASSERT_EQ(lstat(StoreFile().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a plain file";
    EXPECT_TRUE(Has(ts::ReadFile(shared), "\nTargetPort=" + std::to_string(second.Port()) + "\n"));

    const Ended run = RunToEnd({"--frames", "2", "--fps", "20", "--payload", "x"}, &second);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.got.size(), 2u);
    EXPECT_FALSE(m_ep.msg.Recv(0)) << "nothing goes to the old target";
}

TEST_F(HostProgramTest, TakenHostPortMovesToTheNextFreeOneAndIsStored) {
    // The port that the store names is held by another socket for the whole
    // run; the one above it is free (checked, then released).
    std::optional<ts::UdpPeer> held;
    uint16_t heldPort = 0;
    for (int attempt = 0; attempt < 50 && heldPort == 0; ++attempt) {
        held.emplace();
        if (held->Port() < 65535 && ts::PortIsFree(static_cast<uint16_t>(held->Port() + 1))) {
            heldPort = held->Port();
        }
    }
    ASSERT_NE(heldPort, 0);
    m_ep.hostPort = heldPort;
    if (m_ep.hostHbPort == heldPort + 1) {
        m_ep.hostHbPort = UnsharedPort();
    }
    SeedStore();

    const Ended run = RunToEnd({"--frames", "2", "--fps", "20", "--payload", "moved"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_EQ(run.got.size(), 2u) << run.out;
    EXPECT_EQ(run.got[0].fromPort, heldPort + 1);
    EXPECT_EQ(run.got[1].fromPort, run.got[0].fromPort);
    EXPECT_EQ(StoredValue("HostPort"), std::to_string(run.got[0].fromPort));
    // Said once, in words, not only as the module's log lines.
    EXPECT_TRUE(Has(run.err, "warning: HostPort " + std::to_string(heldPort) +
                                 " was taken by another socket; the module bound " +
                                 std::to_string(heldPort + 1)));
}

TEST_F(HostProgramTest, RefusedValueEndsWithStatus2AndLeavesTheStoreAlone) {
    ASSERT_EQ(RunToEnd({"--frames", "0"}).status, 0);
    const std::string before = ts::ReadFile(StoreFile());
    ASSERT_FALSE(before.empty());
    // Out of range, and values that were once accepted and made every result
    // fail or moved the module's port (the store's and the module's tests
    // refuse the rest of each kind).
    for (const char* bad : {"TargetPort=99999", "TargetIp=0.0.0.0", "HostPort=0"}) {
        const Ended run = RunToEnd({"--frames", "3", "--set", bad});
        EXPECT_EQ(run.status, kExitRefused) << bad << run.out << run.err;
        EXPECT_TRUE(Has(run.err, std::string(bad) +
                                     " refused: 0xE0000102 (value refused by the parameter "
                                     "description"));
        // The module's own line, on standard error, which is a file here: no colour.
        EXPECT_TRUE(Has(run.err, "| Err  | 001udptrans"));
        EXPECT_FALSE(Has(run.err, "\x1b"));
        EXPECT_EQ(ts::ReadFile(StoreFile()), before) << bad;
        EXPECT_TRUE(run.got.empty()) << bad << ": a frame after a refused value";
    }
}

TEST_F(HostProgramTest, CommandsAreAnsweredAtTheTargetAndNoiseIsNot) {
    HostRun run = Run({"--frames", "0", "--duration", "60"});
    ASSERT_TRUE(WaitUntilUp(run)) << run.Out() << run.Err();
    EXPECT_EQ(Ask("GET TargetPort"), "TargetPort=" + std::to_string(m_ep.msg.Port()));
    EXPECT_EQ(Ask("PING\r\n"), "PONG");
    EXPECT_EQ(Ask("SET AlgoEnable 0").rfind("ERR SET refused", 0), 0u)
        << "remote SET is off by default";
    EXPECT_EQ(StoredValue("AlgoEnable"), "1");
    EXPECT_EQ(Ask("TRIGGER"), "TRIGGER 1");

    // Noise is not answered: the answers would go to the target, ahead of
    // the results. A flood of it, then a command: only the command's answer
    // arrives.
    constexpr int kNoise = 300;
    for (int i = 0; i < kNoise; ++i) {
        m_client.SendTo(m_ep.hostPort, i % 2 == 0 ? "what" : std::string("\x01\x02junk", 6));
    }
    // The PING may be lost behind the flood (socket buffer, proxy queue):
    // asked again until it is answered. Whatever arrives is a PONG.
    bool pong = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!pong && std::chrono::steady_clock::now() < end) {
        m_client.SendTo(m_ep.hostPort, "PING");
        for (auto d = m_ep.msg.Recv(500); d; d = m_ep.msg.Recv(0)) {
            ASSERT_EQ(d->bytes, "PONG") << "something answered the noise";
            pong = true;
        }
    }
    EXPECT_TRUE(pong);
    for (auto d = m_ep.msg.Recv(300); d; d = m_ep.msg.Recv(300)) {
        EXPECT_EQ(d->bytes, "PONG") << "something answered the noise";
    }

    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(), 128 + SIGTERM) << run.Out() << run.Err();
    const std::string out = run.Out();
    EXPECT_TRUE(Has(out, "SIGTERM received"));
    // The proxy may have refused part of the flood (its queue is bounded);
    // what reached the handler is counted, never answered.
    const size_t at = out.find(" datagram(s) ignored (not commands)");
    ASSERT_NE(at, std::string::npos) << out;
    const size_t begin = out.rfind(' ', at - 1) + 1;
    const int ignored = std::stoi(out.substr(begin, at - begin));
    EXPECT_GT(ignored, 0) << out;
    EXPECT_LE(ignored, kNoise) << out;
}

TEST_F(HostProgramTest, SlowProcessingWithScheduledTransmissionAnswersNgPerTrigger) {
    // Each result reaches Process 600 ms after its trigger, long after its
    // 50 ms slot: the slot gets "NG", the late result is dropped.
    const Ended run = RunToEnd({"--trigger", "soft", "--frames", "3", "--fps", "1", "--process-ms",
                                "600", "--set", "ScheduledTransEnable=1", "--set",
                                "ScheduledTransTime=50", "--payload", "late {trigger}"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::vector<std::string> texts;
    for (const auto& datagram : run.got) {
        texts.push_back(datagram.bytes);
    }
    EXPECT_EQ(texts, std::vector<std::string>(3, "NG")) << run.out;
    EXPECT_TRUE(Has(run.out,
                    "3 frame(s) handed over, 0 queued by the module (status 1), 0 with status 0, "
                    "3 refused (0xC0000004 no data, or the result was held back (its trigger was "
                    "already answered): 3)"));
}

TEST_F(HostProgramTest, RingLogModeWritesTheModuleLinesAndEndsCleanly) {
    // The drain thread runs the module's code until the process ends: the
    // program must neither unload the module under it nor hang on it.
    const Ended run =
        RunToEnd({"--frames", "2", "--fps", "20", "--log-mode", "ring", "--log-level", "4"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.got.size(), 2u);
    EXPECT_TRUE(Has(run.err, "udptrans Process start"));
    EXPECT_TRUE(Has(run.err, "udptrans Process end"));
}

TEST_F(HostProgramTest, DamagedStoreKeepsItsSettingsAndACopyOfItself) {
    // A Windows path in a text (an unknown escape) once made the whole file
    // count as damaged; the module's start-up write-back then saved all
    // defaults over it. (Each kind of damage, the copy and the line that
    // names it: the store's own tests.)
    ASSERT_TRUE(ts::WriteFile(StoreFile(), ts::ReadFile(StoreFile()) + "HeartbeatText=C:\\temp\n"));
    const Ended run = RunToEnd({"--frames", "2", "--fps", "20", "--payload", "kept"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.got.size(), 2u) << "results still reach the stored target";
    EXPECT_EQ(StoredValue("TargetPort"), std::to_string(m_ep.msg.Port()));
    EXPECT_EQ(StoredValue("HostPort"), std::to_string(m_ep.hostPort));
    const auto copies = ts::EntriesOf(Store(), "udptrans.param.damaged-");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_TRUE(Has(run.err, copies[0]));
}

TEST_F(HostProgramTest, PayloadFilesThatCannotBeUsedEndWithStatus64AtOnce) {
    // A FIFO nobody writes once blocked the parsing for good (every kind of
    // file refused: HostOptions.PayloadFileIsTakenWhole...).
    const std::string fifo = m_dir.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    HostRun refused = Run({"--payload-file", fifo});
    EXPECT_EQ(refused.Wait(20000), kExitUsage) << refused.Err();
    EXPECT_TRUE(Has(refused.Err(), "--payload-file: cannot read"));
    // Longer than a result block: taken, and the program says what is sent
    // (the module's tests check the 1028 bytes on the wire).
    const std::string big = m_dir.Path() + "/big";
    ASSERT_TRUE(ts::WriteFile(big, std::string(2000, 'b')));
    const Ended run = RunToEnd({"--frames", "1", "--payload-file", big});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.got.size(), 1u);
    EXPECT_TRUE(
        Has(run.out, "the result block is 2000 bytes; the module sends only its first 1028 bytes"));
}

TEST_F(HostProgramTest, ThreadsThatCannotBeCreatedEndWithStatus1AndOneLine) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "capping the threads of a fresh user needs root";
    }
    // A user of its own whose thread limit stops the program at each of its
    // threads in turn: the proxy's, the module's two tasks, the listener's,
    // the processing thread. Never an abort, always one line and status 1.
    ASSERT_EQ(chmod(m_dir.Path().c_str(), 0777), 0);
    ASSERT_EQ(chmod(Store().c_str(), 0777), 0);
    ASSERT_EQ(chmod(StoreFile().c_str(), 0666), 0);
    int failed = 0;
    for (int threads = 1; threads <= 6; ++threads) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        // Target ports of its own, so that the listener's thread is made too.
        std::vector<std::string> args = Args(
            {"--listen", "--frames", "1", "--set", "TargetPort=" + std::to_string(UnsharedPort()),
             "--set", "TargetHeartbeatPort=" + std::to_string(UnsharedPort())});
        args.insert(args.begin(),
                    {"--reuid=61235", "--regid=61235", "--clear-groups", "/usr/bin/prlimit",
                     "--nproc=" + std::to_string(threads), UDPTRANS_HOST_PATH});
        // The leak checker of an ASan build needs a thread of its own at exit,
        // which the cap refuses; it is off for these children only.
        HostRun run("/usr/bin/setpriv", m_dir.Path(), args,
                    {ts::EnvAppended("ASAN_OPTIONS", ":detect_leaks=0")});
        ASSERT_TRUE(run.Started());
        const int code = run.Wait();
        const std::string err = run.Err();
        ASSERT_TRUE(code == 0 || code == kExitFailure) << code << err;
        if (code == kExitFailure) {
            ++failed;
            // One line of the program's own; the rest are the module's log
            // lines, which share standard error with it.
            EXPECT_EQ(ts::CountOf("\n" + err, "\nudptrans-host: "), 1) << err;
            EXPECT_EQ(
                ts::CountOf("\n" + err, "\nudptrans-host: ") + ts::CountOf("\n" + err, "\n| "),
                ts::CountOf(err, "\n"))
                << err;
        }
    }
    EXPECT_GE(failed, 3) << "the cap never stopped the program";
}

TEST_F(HostProgramTest, StoredTargetThatKeepsTheTransportDownIsReported) {
    std::ofstream(StoreFile(), std::ios::app) << "TargetHeartbeatIp=nowhere\n";
    const Ended run = RunToEnd({"--frames", "1"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(Has(run.err,
                    "warning: stored TargetHeartbeatIp \"nowhere\" is not a usable address: the "
                    "module's transport did not start"));
    EXPECT_TRUE(run.got.empty());
}

TEST_F(HostProgramTest, RemoteTriggersAreBoundedAndDoNotOutlastTheDuration) {
    // Frames of remote triggers wait 10 minutes for their processing time;
    // the program still ends after its duration, and the waiting frames are
    // bounded.
    HostRun run =
        Run({"--frames", "0", "--trigger", "soft", "--process-ms", "600000", "--duration", "8"});
    ASSERT_TRUE(WaitUntilUp(run)) << run.Out() << run.Err();
    const auto start = std::chrono::steady_clock::now();
    int accepted = 0;
    int refused = 0;
    for (int i = 0; i < 70; ++i) {
        const std::string answer = Ask("TRIGGER");
        ASSERT_NE(answer, "<nothing>") << i;
        if (answer.rfind("TRIGGER ", 0) == 0) {
            ++accepted;
        } else {
            EXPECT_EQ(answer, "ERR TRIGGER refused: 64 triggered frames already wait");
            ++refused;
        }
    }
    EXPECT_EQ(accepted, 64);
    EXPECT_EQ(refused, 6);
    EXPECT_EQ(run.Wait(60000), 0) << run.Out() << run.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(50));
    EXPECT_TRUE(Has(run.Out(), "6 trigger(s) refused (64 frames waiting)"));
}

TEST_F(HostProgramTest, BytesFromPeersAndTheStoreReachTheTerminalEscaped) {
    // A title change, a bell and a screen clear, from any peer and from the
    // store: printed as text, never as the bytes.
    const std::string attack = "\x1b]0;PWNED\x07\x1b[2J";
    HostRun run = Run({"--frames", "0", "--duration", "60", "--verbose", "--log-level", "4",
                       "--set", "HeartbeatText=" + attack});
    ASSERT_TRUE(WaitUntilUp(run)) << run.Out() << run.Err();
    EXPECT_NE(Ask("GET " + attack), "<nothing>");
    m_client.SendTo(m_ep.hostPort, attack);
    EXPECT_EQ(m_ep.msg.RecvUntil("PONG", 200), std::nullopt);
    ASSERT_TRUE(ts::WaitFor([&] { return run.Out().find("ignored") != std::string::npos; }));
    // A hangup ends the run as SIGTERM does: stopped cleanly, with the summary.
    run.Signal(SIGHUP);
    EXPECT_EQ(run.Wait(), 128 + SIGHUP);

    const std::string out = run.Out();
    const std::string err = run.Err();
    EXPECT_TRUE(Has(out, "SIGHUP received"));
    EXPECT_TRUE(Has(out, "summary:"));
    for (const char* raw : {"\x1b", "\x07"}) {
        EXPECT_FALSE(Has(out, raw));
        EXPECT_FALSE(Has(err, raw));
    }
    const std::string shown = "\\x1b]0;PWNED\\x07\\x1b[2J";
    EXPECT_TRUE(Has(out, "\"" + shown + "\" every")) << "start-up line";
    EXPECT_TRUE(Has(err, "SetParam HeartbeatText: " + shown)) << "module log line";
    EXPECT_TRUE(Has(out, "command \"GET " + shown));
    EXPECT_TRUE(Has(out, "ignored \"" + shown));
}

TEST_F(HostProgramTest, ASecondCtrlCEndsAtOnce) {
    // (A hangup that stops cleanly: BytesFromPeersAndTheStoreReachTheTerminalEscaped.)
    // A scheduled answer 60 s after its trigger keeps the module's task, and
    // with it the shutdown, waiting; the second Ctrl-C does not wait. Ending
    // at once leaves the module's tasks unjoined on purpose, which a TSan
    // build would report as leaked threads.
    HostRun run = Run({"--frames", "0", "--duration", "120", "--trigger", "soft", "--verbose",
                       "--set", "ScheduledTransEnable=1", "--set", "ScheduledTransTime=60000"},
                      {ts::EnvAppended("TSAN_OPTIONS", ":report_thread_leaks=0")});
    ASSERT_TRUE(WaitUntilUp(run)) << run.Out() << run.Err();
    // Its answer waits behind the scheduled slot; the handler's line shows it came.
    m_client.SendTo(m_ep.hostPort, "TRIGGER");
    ASSERT_TRUE(ts::WaitFor(
        [&] { return run.Out().find("command \"TRIGGER\" -> ") != std::string::npos; }, 20000));
    const auto start = std::chrono::steady_clock::now();
    run.Signal(SIGINT);
    ASSERT_TRUE(
        ts::WaitFor([&] { return run.Out().find("SIGINT received") != std::string::npos; }, 20000));
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(), 128 + SIGINT) << run.Out() << run.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
    EXPECT_EQ(StoredValue("ScheduledTransTime"), "60000") << "the store is whole";
}

TEST_F(HostProgramTest, ExceptionsThatAModuleLetsThroughAreReportedNotFatal) {
    // From the start: a failed start, status 1, one line.
    HostRun start = Run({"--module", UDPTRANS_THROWING_MODULE}, {"UDPTRANS_TEST_THROW=setpwd"});
    EXPECT_EQ(start.Wait(), kExitFailure);
    EXPECT_EQ(start.Err(), "udptrans-host: module start with store " + Store() +
                               " failed with an exception: store unreadable\n");
    // From every frame: counted, the first few reported, the run goes on.
    HostRun run = Run({"--module", UDPTRANS_THROWING_MODULE, "--frames", "12", "--fps", "100"});
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    const std::string out = run.Out();
    EXPECT_TRUE(Has(out,
                    "12 frame(s) handed over, 0 queued by the module (status 1), 0 with status 0, "
                    "0 refused, 12 ended with an exception"));
    EXPECT_TRUE(Has(out, "frame 1: Process threw: component \\x1b[2Jgone"));
    EXPECT_TRUE(Has(out, "frame 2: Process threw an exception that is not std::exception"));
    EXPECT_FALSE(Has(out, "frame 6: Process threw")) << "reported without end";
}

TEST_F(HostProgramTest, ModuleLinesGoToStandardErrorColouredOnlyOnATerminal) {
    // A refused value gives a module error line, which the module colours
    // (on a file, no colour: RefusedValueEndsWithStatus2...). Standard error
    // is a terminal here; its few lines wait there until the test reads them
    // to the end, once the program and the test's own writing end are gone.
    int master = -1;
    int slave = -1;
    char name[128] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    std::vector<std::string> argv = Args({"--frames", "0", "--set", "TargetPort=99999"});
    argv.insert(argv.begin(), UDPTRANS_HOST_PATH);
    ts::ChildProcess run(argv, "", name);
    EXPECT_EQ(run.Wait(), kExitRefused);
    close(slave);
    std::string err;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof(buffer))) > 0;) {  // ends with EIO
        err.append(buffer, static_cast<size_t>(n));
    }
    close(master);
    EXPECT_TRUE(Has(err, "\x1b[31m| Err  | 001udptrans"));
    EXPECT_TRUE(Has(err, "TargetPort value 99999 is not valid"));
    EXPECT_TRUE(Has(err, "udptrans-host: TargetPort=99999 refused"));
}

TEST_F(HostProgramTest, VersionAndParametersWithWhereEachValueCameFrom) {
    HostRun version = Run({"--version"});
    ASSERT_EQ(version.Wait(), 0);
    EXPECT_EQ(version.Out(), std::string("udptrans-host ") + UDPTRANS_VERSION_STRING + "\n");

    // The row of `key` in a --show-params table: value and source (the last column).
    auto row = [](const std::string& table, const std::string& key) {
        const size_t at = table.find("\n" + key + " ");
        if (at == std::string::npos) {
            return std::string("no row");
        }
        const std::string line = table.substr(at + 1, table.find('\n', at + 1) - at - 1);
        const size_t value = line.find('"');
        return line.substr(value, line.find('"', value + 1) - value + 1) + " " +
               line.substr(line.rfind("  ") + 2);
    };
    const std::string port = std::to_string(UnsharedPort());
    const std::string hostPort = std::to_string(m_ep.hostPort);
    struct Step {
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> rows;  // key, "\"value\" source"
    };
    const std::vector<Step> steps = {
        {{"--set", "TargetPort=" + port, "--show-params"},
         {{"TargetPort", "\"" + port + "\" --set"},
          {"HostPort", "\"" + hostPort + "\" store"},
          {"AlgoEnable", "\"1\" default"},
          {"HeartbeatText", "\"HEARTBEAT\" default"}}},
        // After a restart the value set before comes from the store.
        {{"--show-params"}, {{"TargetPort", "\"" + port + "\" store"}}},
    };
    for (const Step& step : steps) {
        const Ended run = RunToEnd(step.args);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(ts::CountOf(run.out, "\n"), 14) << run.out;
        for (const auto& [key, expected] : step.rows) {
            EXPECT_EQ(row(run.out, key), expected) << run.out;
        }
        EXPECT_TRUE(Has(run.out, "1..65535"));
    }
    // A normal run says which ports and targets are not the defaults.
    const Ended run = RunToEnd({"--frames", "0"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "not the defaults: HostPort=" + hostPort + " (store)"));
    EXPECT_TRUE(Has(run.out, "TargetPort=" + port + " (store)"));
}

#if UDPTRANS_TEST_JSON
TEST_F(HostProgramTest, JsonListenerLinesParse) {
    // The listener takes the target port, so the test's own receiver steps aside.
    const uint16_t port = UnsharedPort();
    const Ended run =
        RunToEnd({"--set", "TargetPort=" + std::to_string(port), "--listen", "--json", "--frames",
                  "3", "--fps", "20", "--payload", "r{frame}t{trigger}\x01\""});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    int results = 0;
    for (size_t at = 0; at < run.out.size(); at = run.out.find('\n', at) + 1) {
        if (run.out[at] != '{') {
            continue;
        }
        const auto line = nlohmann::json::parse(run.out.substr(at, run.out.find('\n', at) - at));
        EXPECT_EQ(line.at("type"), "datagram");
        EXPECT_EQ(line.at("dport"), port);
        EXPECT_EQ(line.at("sport"), m_ep.hostPort);
        EXPECT_EQ(line.at("kind"), "result");
        ++results;
        EXPECT_EQ(line.at("data"), "r" + std::to_string(results) + "t0\\x01\\\"");
    }
    EXPECT_EQ(results, 3) << run.out;
}
#endif

}  // namespace
