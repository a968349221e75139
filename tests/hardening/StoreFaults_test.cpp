// Faults of the parameter store under a running module: its folder gone
// (replaced by a file, which stops writes even for root), a full disk while
// saving (a file-size limit in a forked child), and the host killed with
// SIGKILL in the middle of a stream of parameter changes. The store file must
// always load, and must always hold for each key a value that was really set:
// the old one or the new one, never a mixture, a default or nothing.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "HardeningFixture.h"

using namespace hardening;

namespace {

constexpr int kErrIo = CParamManage::kErrIo;

// Names of the entries of `dir`.
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        names.push_back(e.path().filename().string());
    }
    return names;
}

// The store file of `dir` parsed as a fresh framework reads it: true when it
// is complete (every key of the description present, one per line).
bool StoreIsComplete(const std::string& storePath, std::map<std::string, std::string>* values) {
    std::ifstream in(storePath);
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            return false;
        }
        (*values)[line.substr(0, eq)] = line.substr(eq + 1);
    }
    CParamManage description;
    if (description.LoadDescription(ut::PdescPath()) != 0) {
        return false;
    }
    for (const auto& key : description.Keys()) {
        if (values->count(key) == 0) {
            return false;
        }
    }
    return true;
}

class StoreFaults : public ModuleFixture {};

TEST_F(StoreFaults, UnwritableFolderKeepsThePreviousFileAndLosesNothingLater) {
    ASSERT_EQ(0, Start());
    ASSERT_EQ(0, Set("HeartbeatText", "old text"));
    const std::string folder = m_dir.Path();
    const std::string moved = folder + ".moved";

    // The working folder disappears under the running module; a file takes its
    // name, so neither the temporary file nor the rename can succeed.
    ASSERT_EQ(0, rename(folder.c_str(), moved.c_str()));
    { std::ofstream blocker(folder); }
    EXPECT_EQ(kErrIo, Set("HeartbeatText", "new text"));
    EXPECT_GE(Logged("SaveFile failed, nRet = "), 1);
    // An endpoint key: the engine takes it, the save fails and says so.
    EXPECT_EQ(kErrIo, Set("TargetPort", std::to_string(m_ep.hb.Port())));
    ASSERT_TRUE(Arrives(m_ep.hb, "redirected while the store was gone"));

    std::map<std::string, std::string> onDisk;
    ASSERT_TRUE(StoreIsComplete(moved + "/udptrans.param", &onDisk));
    EXPECT_EQ("old text", onDisk["HeartbeatText"]);
    EXPECT_EQ(std::to_string(m_ep.msg.Port()), onDisk["TargetPort"]);
    EXPECT_EQ(std::vector<std::string>{"udptrans.param"}, Entries(moved))
        << "a failed save left files behind";

    // The folder comes back: the next save writes every value the module
    // took meanwhile, none is lost.
    ASSERT_EQ(0, unlink(folder.c_str()));
    ASSERT_EQ(0, rename(moved.c_str(), folder.c_str()));
    ASSERT_EQ(0, Set("HeartbeatInterval", "7"));
    EXPECT_EQ("new text", ut::ReadStore(m_dir, "HeartbeatText"));
    EXPECT_EQ(std::to_string(m_ep.hb.Port()), ut::ReadStore(m_dir, "TargetPort"));
    EXPECT_EQ("7", ut::ReadStore(m_dir, "HeartbeatInterval"));
}

TEST_F(StoreFaults, FullDiskDuringSaveKeepsThePreviousFile) {
    ASSERT_EQ(0, Start());
    ASSERT_EQ(0, Set("HeartbeatInterval", "11"));
    const std::string before = ut::ReadStore(m_dir, "HeartbeatInterval");
    ASSERT_EQ("11", before);

    // The limit applies to the whole process, so it is set in a child: the
    // child's one thread (a copy of this one) saves with room for 16 bytes.
    int pipeFd[2];
    ASSERT_EQ(0, pipe(pipeFd));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(20);  // a child that hangs must not hang the test
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{16, 16};
        setrlimit(RLIMIT_FSIZE, &limit);
        const int rc = m_module->SetParam("HeartbeatInterval", "22", 2);
        const ssize_t n = write(pipeFd[1], &rc, sizeof(rc));
        _exit(n == sizeof(rc) ? 0 : 1);
    }
    close(pipeFd[1]);
    int rc = 0;
    const ssize_t n = read(pipeFd[0], &rc, sizeof(rc));
    close(pipeFd[0]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    ASSERT_EQ(static_cast<ssize_t>(sizeof(rc)), n);
    EXPECT_EQ(kErrIo, rc) << "SetParam must report the failed save";

    std::map<std::string, std::string> onDisk;
    ASSERT_TRUE(StoreIsComplete(ut::StorePath(m_dir), &onDisk));
    EXPECT_EQ("11", onDisk["HeartbeatInterval"]);
    EXPECT_EQ("11", ut::ReadStore(m_dir, "HeartbeatInterval"));
    EXPECT_EQ(std::vector<std::string>{"udptrans.param"}, Entries(m_dir.Path()))
        << "the failed save left its temporary file behind";
}

TEST_F(StoreFaults, IntegersBeyondSixtyFourBitsAreRefusedNotWrapped) {
    // 2^64 + 9000 read digit by digit wraps a 64-bit accumulator to 9000; the
    // store must refuse it like any other out-of-range text, since the module
    // converts the same text with strtol, which saturates instead.
    CParamManage description;
    ASSERT_EQ(0, description.LoadDescription(ut::PdescPath()));
    for (const char* text : {"18446744073709560616", "18446744073709551616",
                             "-18446744073709551617", "000018446744073709551617"}) {
        EXPECT_EQ(CParamManage::kErrBadValue, description.CheckParam("TargetPort", text)) << text;
    }

    ASSERT_EQ(0, Start());
    const std::string before = ut::ReadStore(m_dir, "TargetPort");
    EXPECT_EQ(CParamManage::kErrBadValue, Set("TargetPort", "18446744073709560616"));
    EXPECT_EQ(before, ut::ReadStore(m_dir, "TargetPort"));
    // The engine kept its target: results still reach the receiver.
    EXPECT_TRUE(Arrives(m_ep.msg, "still the same target"));
}

#ifdef UDPTRANS_HOST_PATH

// udptrans-host as a child process: started on a store, answering "SET key
// value" requests to its module's port with "OK key=value" at the target.
std::vector<std::string> HostArgs(const std::string& dir, const ut::Endpoints& ep) {
    std::vector<std::string> args = {
        UDPTRANS_HOST_PATH,   "--store",     dir, "--frames", "0", "--duration", "120", "--no-ping",
        "--allow-remote-set", "--log-level", "8"};
    for (const std::string& kv :
         {"HostPort=" + std::to_string(ep.hostPort),
          "HostHeartbeatPort=" + std::to_string(ep.hostHbPort), std::string("TargetIp=127.0.0.1"),
          "TargetPort=" + std::to_string(ep.msg.Port()), std::string("HeartbeatTranMode=0")}) {
        args.insert(args.end(), {"--set", kv});
    }
    return args;
}

TEST(StoreCrashSafety, HostKilledDuringParameterChangesLeavesAValidStore) {
    ut::TempDir dir;
    ut::Endpoints ep;
    // Values are numbered per key, so the store's value tells which change it
    // holds: it must be one that was sent, and no older than the last one
    // the host confirmed (confirmed means saved).
    const std::vector<std::string> keys = {"HeartbeatText", "HeartbeatInterval",
                                           "ScheduledTransTime", "TargetHeartbeatPort"};
    auto valueOf = [](size_t key, int serial) {
        return key == 0 ? "text" + std::to_string(serial) : std::to_string(100 + serial);
    };
    std::mt19937 rng(20261206);
    std::map<std::string, int> confirmed;  // key -> serial the host confirmed
    std::map<std::string, int> sent;       // key -> newest serial sent
    int serial = 0;
    int killedRunning = 0;
    int changesConfirmed = 0;
    // "OK key=value" answers: the newest confirmed serial per key.
    auto absorbReplies = [&] {
        for (auto d = ep.msg.Recv(0); d; d = ep.msg.Recv(0)) {
            if (d->bytes.rfind("OK ", 0) != 0) {
                continue;
            }
            const size_t eq = d->bytes.find('=');
            const std::string key = d->bytes.substr(3, eq - 3);
            const std::string value = d->bytes.substr(eq + 1);
            const int s =
                key == "HeartbeatText" ? std::stoi(value.substr(4)) : std::stoi(value) - 100;
            confirmed[key] = std::max(confirmed[key], s);
            ++changesConfirmed;
        }
    };
    constexpr int kRuns = 20;
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ts::ChildProcess host(HostArgs(dir.Path(), ep), "", "/dev/null");
        ASSERT_TRUE(host.Started());
        ep.msg.Drain();
        // Up when it answers; the first change of the run doubles as the probe.
        bool up = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!up && std::chrono::steady_clock::now() < deadline) {
            ++serial;
            ts::SendDatagram(ep.hostPort, "SET HeartbeatText " + valueOf(0, serial));
            sent["HeartbeatText"] = serial;
            for (auto d = ep.msg.Recv(100); d; d = ep.msg.Recv(0)) {
                up = up || d->bytes.rfind("OK ", 0) == 0;
            }
        }
        ASSERT_TRUE(up) << "udptrans-host never answered";

        // A stream of changes, and a kill at a random moment inside it.
        const int changesBeforeKill = std::uniform_int_distribution<int>(1, 40)(rng);
        for (int i = 0; i < changesBeforeKill; ++i) {
            const size_t k = static_cast<size_t>(i) % keys.size();
            ++serial;
            ts::SendDatagram(ep.hostPort, "SET " + keys[k] + " " + valueOf(k, serial));
            sent[keys[k]] = serial;
            if (i % 3 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
            absorbReplies();
        }
        // The kill lands while the host still works through the stream.
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(rng)));
        absorbReplies();
        if (host.Kill()) {
            ++killedRunning;
        }

        std::map<std::string, std::string> onDisk;
        ASSERT_TRUE(StoreIsComplete(ut::StorePath(dir), &onDisk)) << "store damaged by the kill";
        // A temporary file of a save cut short may stay beside it; the next
        // save replaces it, and nothing ever reads it.
        for (size_t k = 0; k < keys.size(); ++k) {
            const std::string& key = keys[k];
            const std::string text = onDisk[key];
            const std::string fresh = ut::ReadStore(dir, key);
            EXPECT_EQ(text, fresh) << key << ": the framework reads something else";
            if (confirmed.count(key) == 0) {
                continue;
            }
            int s = -1;
            if (k == 0) {
                ASSERT_EQ(0u, text.rfind("text", 0)) << key << " holds " << text;
                s = std::stoi(text.substr(4));
            } else {
                s = std::stoi(text) - 100;
            }
            EXPECT_GE(s, confirmed[key]) << key << ": a confirmed change was lost";
            EXPECT_LE(s, sent[key]) << key << " holds a value never sent";
        }
    }
    RecordProperty("kills", kRuns);
    RecordProperty("killed_while_running", killedRunning);
    RecordProperty("changes_confirmed", changesConfirmed);
    std::printf("%d kills (%d while running), %d changes confirmed before the kills\n", kRuns,
                killedRunning, changesConfirmed);
    EXPECT_EQ(kRuns, killedRunning);
}

#endif  // UDPTRANS_HOST_PATH

}  // namespace
