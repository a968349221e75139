// The parameter store: description, validation, the store file and its
// atomic replacement.
#include "algo/ParamManage.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <atomic>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "Text.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class ParamManageTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        ASSERT_EQ(m_store.LoadDescription(UDPTRANS_PDESC), 0);
        m_strStore = m_dir.Path() + "/udptrans.param";
    }

    // Loads the store and returns what it logged; a bad file never fails the load.
    std::string LoadLoggingTo(const std::string& path) {
        CaptureStderr();
        EXPECT_EQ(m_store.LoadFile(path), 0);
        return GetCapturedStderr();
    }

    ts::TempDir m_dir;
    CParamManage m_store;
    std::string m_strStore;
};

TEST_F(ParamManageTest, ModuleDescriptionHasThirteenKeysWithDefaults) {
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"HostIp", "0.0.0.0"},           {"HostPort", "8192"},
        {"TargetIp", "127.0.0.1"},       {"TargetPort", "9000"},
        {"HostHeartbeatPort", "8193"},   {"TargetHeartbeatIp", "127.0.0.1"},
        {"TargetHeartbeatPort", "9001"}, {"AlgoEnable", "1"},
        {"ScheduledTransEnable", "0"},   {"ScheduledTransTime", "100"},
        {"HeartbeatTranMode", "1"},      {"HeartbeatText", "HEARTBEAT"},
        {"HeartbeatInterval", "2"}};
    ASSERT_EQ(m_store.LoadFile(m_strStore), 0);  // no file yet: defaults
    ASSERT_EQ(m_store.Keys().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(m_store.Keys()[i], expected[i].first);
        EXPECT_EQ(m_store.GetParam(expected[i].first, 0), expected[i].second) << expected[i].first;
    }
    auto port = m_store.GetParamFindAndCheck("HostHeartbeatPort", 0);
    EXPECT_EQ(m_store.GetValueType(*port), CParamManage::PARAM_TYPE_INT);
    EXPECT_EQ(port->vecValue[0].nValue, 8193);
    EXPECT_STREQ(m_store.GetParamFindAndCheck("HeartbeatText", 0)->vecValue[0].szValue,
                 "HEARTBEAT");
    EXPECT_EQ(access(m_strStore.c_str(), F_OK), -1);  // created at the first save
}

TEST_F(ParamManageTest, CheckParamRefusesWhatTheDescriptionDoesNot) {
    const std::string text32(32, 'h');
    const std::string text33(33, 'h');
    // Ports of zero and the any-address as a target are refused; malformed
    // target texts still reach the module, which answers them itself; the
    // device's own address may well be the any-address.
    const std::vector<const char*> targetOk = {"10.1.2", "not an ip", "0.0.0.1"};
    const std::vector<const char*> targetBad = {"0.0.0.0",  "0",   "0.0",
                                                "00.0.0.0", "0x0", "10.100.200.255xx"};  // too long
    const struct {
        const char* key;
        std::vector<const char*> good;
        std::vector<const char*> bad;
    } rows[] = {
        {"HostPort",
         {"65535", "+1", "1"},
         {"", "+", "-", "0", "65536", "-1", "+0", "12a", " 12", "12 ", "0x10", "1e3",
          "99999999999999999999999",
          // beyond 64 bits: refused, not wrapped round to 9000
          "18446744073709560616", "-18446744073709551617", "000018446744073709551617"}},
        {"TargetPort", {"1"}, {"0"}},
        {"HostHeartbeatPort", {"1"}, {"0"}},
        {"TargetHeartbeatPort", {"1"}, {"0"}},
        {"HostIp", {"10.1.2.3", "0.0.0.0"}, {"10.1.2"}},
        {"TargetIp", targetOk, targetBad},
        {"TargetHeartbeatIp", targetOk, targetBad},
        {"HeartbeatText", {"", text32.c_str()}, {text33.c_str()}},
    };
    for (const auto& row : rows) {
        for (const char* value : row.good) {
            EXPECT_EQ(m_store.CheckParam(row.key, value), 0) << row.key << "=" << value;
        }
        for (const char* value : row.bad) {
            EXPECT_EQ(m_store.CheckParam(row.key, value), CParamManage::kErrBadValue)
                << row.key << "=" << value;
        }
    }
    EXPECT_EQ(m_store.CheckParam("NoSuchKey", "1"), CParamManage::kErrUnknownKey);
    EXPECT_EQ(m_store.CheckParam(nullptr, "1"), CParamManage::kErrUnknownKey);
    EXPECT_EQ(m_store.CheckParam("HostPort", nullptr), CParamManage::kErrBadValue);

    // SetParam refuses the same and changes nothing.
    ASSERT_EQ(m_store.LoadFile(m_strStore), 0);
    EXPECT_EQ(m_store.SetParam("HostPort", "70000", 0), CParamManage::kErrBadValue);
    EXPECT_EQ(m_store.SetParam("HostPort", "100", 1), CParamManage::kErrBadIndex);
    EXPECT_EQ(m_store.SetParam("Nope", "1", 0), CParamManage::kErrUnknownKey);
    EXPECT_EQ(m_store.GetParam("HostPort", 0), "8192");
}

TEST_F(ParamManageTest, UnknownKeyOrIndexThrowsNamingTheKey) {
    try {
        m_store.GetParamFindAndCheck("Bogus", 0);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("Bogus"), std::string::npos);
    }
    EXPECT_THROW(m_store.GetParamFindAndCheck("HostPort", 1), std::invalid_argument);
    EXPECT_THROW(m_store.GetParamFindAndCheck("HostPort", -1), std::invalid_argument);
    EXPECT_THROW(m_store.GetParam("Bogus", 0), std::invalid_argument);
}

TEST_F(ParamManageTest, DamagedStoreKeepsItsValidLinesAndACopyBeforeAnySave) {
    // Every way a store file was seen damaged: the valid lines around the
    // damage survive, the damaged file is kept aside before the first save,
    // and stderr names the dropped line and the copy.
    const std::string good = "TargetPort=1234\nHeartbeatText=kept\n";
    struct Case {
        std::string bytes;
        std::string dropped;  // "line N (why" as stderr names it
    };
    const std::vector<Case> cases = {
        {good + "HeartbeatText=C:\\temp\nHostPort=4000\n", "line 3 (bad escape"},
        {good + "HostPort=4000\nthis line is not a setting\n", "line 4 (not key=value"},
        {good + "HostPort=4000\nScheduledTransTime=1", "line 4 (cut short"},
        {good + "HostPort=4000\nHost" + std::string("Port=1\0\x01\x02\n", 11), "line 4 (zero byte"},
        {good + "HostPort=4000\nTargetPort = 99999\n", "line 4 (value refused"},
        {good + "HostPort=4000\nOldKey=5\n", "line 4 (unknown key"},
        {good + "HostPort=4000\n" + std::string(CParamManage::kStoreFileMax, '#') + "\n",
         "line 4 (beyond the size limit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dropped);
        ts::TempDir dir;
        const std::string path = dir.Path() + "/udptrans.param";
        ASSERT_TRUE(ts::WriteFile(path, c.bytes));
        const std::string err = LoadLoggingTo(path);  // starts from the defaults
        EXPECT_EQ(ts::CountOf(err, "\n"), 1) << err;
        EXPECT_TRUE(ts::Has(err, c.dropped));
        EXPECT_EQ(m_store.GetParam("TargetPort", 0), "1234");
        EXPECT_EQ(m_store.GetParam("HeartbeatText", 0), "kept");
        EXPECT_EQ(m_store.GetParam("HostPort", 0), "4000");
        EXPECT_EQ(m_store.GetParam("TargetHeartbeatPort", 0), "9001");  // not in the file

        const auto copies = ts::EntriesOf(dir.Path(), "udptrans.param.damaged-");
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_TRUE(ts::Has(err, dir.Path() + "/" + copies[0]));
        ASSERT_EQ(m_store.SaveFile(), 0);
        EXPECT_EQ(ts::ReadFile(dir.Path() + "/" + copies[0]), c.bytes);
        EXPECT_TRUE(ts::Has(ts::ReadFile(path), "\nTargetPort=1234\n"));
    }
}

TEST_F(ParamManageTest, StoreThatCannotBeReadGivesDefaultsAndNoSaveReplacesIt) {
    // One line each, defaults, and no save that loses what was there: a
    // folder cannot be replaced; a FIFO is neither read (which would block)
    // nor replaced; a file that cannot be opened (a link to itself, too many
    // levels even for root) is moved aside first; a name too long to open
    // cannot be moved either, so nothing is saved.
    const std::string folder = m_dir.Path() + "/fold\x1b[2Jer.param";  // shown escaped
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const std::string fifo = m_dir.Path() + "/fifo.param";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string loop = m_dir.Path() + "/loop.param";
    ASSERT_EQ(symlink("loop.param", loop.c_str()), 0);
    struct Case {
        std::string path;
        std::string logged;
        int saved;
    };
    const Case cases[] = {
        {folder, "fold\\x1b[2Jer.param is a folder", CParamManage::kErrIo},
        {fifo, "fifo.param is not a regular file", CParamManage::kErrNoStore},
        {loop,
         "(Too many levels of symbolic links), using defaults; the file is kept as " + loop +
             ".unreadable-",
         0},
        {m_dir.Path() + "/" + std::string(NAME_MAX + 1, 'n'), "nor move it aside",
         CParamManage::kErrNoStore},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        ASSERT_EQ(m_store.SetParam("HostPort", "4000", 0), 0);  // the load starts from defaults
        const std::string err = LoadLoggingTo(c.path);
        EXPECT_EQ(ts::CountOf(err, "\n"), 1);
        EXPECT_FALSE(ts::Has(err, "\x1b"));
        EXPECT_TRUE(ts::Has(err, c.logged));
        EXPECT_EQ(m_store.GetParam("HostPort", 0), "8192");
        CaptureStderr();
        EXPECT_EQ(m_store.SaveFile(), c.saved);
        GetCapturedStderr();
    }
    // The link moved aside is whole; the save wrote a new store in its place.
    const auto aside = ts::EntriesOf(m_dir.Path(), "loop.param.unreadable-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(std::filesystem::read_symlink(m_dir.Path() + "/" + aside[0]), "loop.param");
    EXPECT_TRUE(ts::Has(ts::ReadFile(loop), "\nHostPort=8192\n"));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

// A hand-edited store (comments, blank lines, CRLF) is clean: read without a
// word and without a copy aside. What is saved reads back the same, through
// the link into the real file, whose mode stays.
TEST_F(ParamManageTest, StoreRoundTripsThroughALinkToAHandEditedFile) {
    const std::string shared = m_dir.Path() + "/shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
    const std::string target = shared + "/common.param";
    ASSERT_TRUE(ts::WriteFile(target, "# hand edited\n\nTargetPort=1234\r\n"));
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(symlink("shared/common.param", m_strStore.c_str()), 0);

    EXPECT_EQ(LoadLoggingTo(m_strStore), "");
    EXPECT_EQ(m_store.GetParam("TargetPort", 0), "1234");
    const std::string awkward = "a b=c\\d\r\n#e";
    ASSERT_EQ(m_store.SetParam("HeartbeatText", awkward.c_str(), 0), 0);
    ASSERT_EQ(m_store.SetParam("HostPort", "+1", 0), 0);
    ASSERT_EQ(m_store.SetParam("TargetPort", "4321", 0), 0);
    ASSERT_EQ(m_store.SaveFile(), 0);

    struct stat st {};
    ASSERT_EQ(lstat(m_strStore.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a plain file";
    EXPECT_TRUE(ts::Has(ts::ReadFile(target), "\nTargetPort=4321\n"));
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(ts::EntriesOf(shared, "common.param.").empty());  // no copy, no temporary
    EXPECT_TRUE(ts::EntriesOf(m_dir.Path(), "udptrans.param.").empty());

    CParamManage again;
    ASSERT_EQ(again.LoadDescription(UDPTRANS_PDESC), 0);
    ASSERT_EQ(again.LoadFile(m_strStore), 0);
    EXPECT_EQ(again.StorePath(), m_strStore);
    for (const auto& key : m_store.Keys()) {
        EXPECT_EQ(again.GetParam(key, 0), m_store.GetParam(key, 0)) << key;
    }
    EXPECT_EQ(again.GetParam("HeartbeatText", 0), awkward);
    EXPECT_EQ(again.GetParam("HostPort", 0), "1");
}

TEST_F(ParamManageTest, FailedSaveKeepsTheOldStore) {
    ASSERT_EQ(m_store.LoadFile(m_strStore), 0);
    ASSERT_EQ(m_store.SetParam("HeartbeatText", "old", 0), 0);
    ASSERT_EQ(m_store.SaveFile(), 0);
    const std::string before = ts::ReadFile(m_strStore);
    ASSERT_FALSE(before.empty());

    // The file size limit stops the temporary file part-way, as a full disk
    // would. In a child, so that the limit and the ignored SIGXFSZ stay there.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = before.size() / 2;
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(10);
        }
        if (m_store.SetParam("HeartbeatText", "new", 0) != 0) {
            _exit(11);
        }
        _exit(m_store.SaveFile() == CParamManage::kErrIo ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ts::ReadFile(m_strStore), before);
    EXPECT_EQ(access((m_strStore + ".tmp").c_str(), F_OK), -1);

    // A store whose folder is a regular file cannot be written even by root.
    ts::WriteFile(m_dir.Path() + "/plain", "x");
    ASSERT_EQ(m_store.LoadFile(m_dir.Path() + "/plain/udptrans.param"), 0);
    CaptureStderr();
    EXPECT_EQ(m_store.SaveFile(), CParamManage::kErrIo);
    EXPECT_FALSE(GetCapturedStderr().empty());
}

// A process killed at any moment of a stream of saves leaves a store that
// loads whole and holds, for each key, a value that was saved: never older
// than the last save that returned, never newer than the one under way.
TEST_F(ParamManageTest, KillDuringSavesLeavesAWholeStoreWithAConfirmedValue) {
    ASSERT_EQ(m_store.LoadFile(m_strStore), 0);
    ASSERT_EQ(m_store.SaveFile(), 0);
    const std::vector<std::string> keys = {"HeartbeatText", "HeartbeatInterval",
                                           "ScheduledTransTime", "TargetHeartbeatPort"};
    // Values are numbered across runs (100 + serial), key by turns; the
    // newest serial whose save returned, per key.
    std::vector<int> confirmedOf(keys.size(), 0);
    int next = 1;
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        int confirmations[2];
        ASSERT_EQ(pipe(confirmations), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int s = next;; ++s) {
                const std::string& key = keys[static_cast<size_t>(s) % keys.size()];
                if (m_store.SetParam(key.c_str(), std::to_string(100 + s).c_str(), 0) != 0 ||
                    m_store.SaveFile() != 0 ||
                    write(confirmations[1], &s, sizeof(s)) != sizeof(s)) {
                    _exit(1);
                }
            }
        }
        close(confirmations[1]);
        usleep(static_cast<useconds_t>(1000 + (run * 7919) % 20000));
        ASSERT_EQ(kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saving child ended by itself";
        int last = next - 1;  // the newest confirmed serial of this run
        for (int s = 0; read(confirmations[0], &s, sizeof(s)) == sizeof(s);) {
            confirmedOf[static_cast<size_t>(s) % keys.size()] = last = s;
        }
        close(confirmations[0]);

        // The next child starts from the file, too.
        EXPECT_EQ(LoadLoggingTo(m_strStore), "") << "the kill damaged the store";
        for (size_t k = 0; k < keys.size(); ++k) {
            if (confirmedOf[k] == 0) {
                continue;
            }
            const int held = std::stoi(m_store.GetParam(keys[k], 0)) - 100;
            EXPECT_GE(held, confirmedOf[k]) << keys[k] << ": a saved value was lost";
            // At most the save under way when the kill came had landed.
            EXPECT_LE(held, last + 1) << keys[k] << " holds a value never saved";
        }
        next = last + 2;  // past anything the child may have saved
    }
}

TEST_F(ParamManageTest, SnapshotsStayValidWhileWritersChangeValues) {
    ASSERT_EQ(m_store.LoadFile(m_strStore), 0);
    CParamManage::ParamInfoPtr old = m_store.GetParamFindAndCheck("TargetPort", 0);
    ASSERT_EQ(m_store.SetParam("TargetPort", "1", 0), 0);
    EXPECT_EQ(old->vecValue[0].nValue, 9000);

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            m_store.SetParam("TargetPort", std::to_string(i % 100).c_str(), 0);
            if (i % 500 == 0) {
                m_store.SaveFile();
            }
        }
        stop.store(true);
    });
    while (!stop.load()) {
        const int value = m_store.GetParamFindAndCheck("TargetPort", 0)->vecValue[0].nValue;
        ASSERT_GE(value, 0);
        ASSERT_LT(value, 100);
    }
    writer.join();
}

TEST_F(ParamManageTest, BadDescriptionsAreRefusedWithTheirLine) {
    CParamManage store;
    EXPECT_EQ(store.LoadFile(m_strStore), CParamManage::kErrNoStore);
    EXPECT_EQ(store.SaveFile(), CParamManage::kErrNoStore);
    CaptureStderr();
    EXPECT_EQ(store.LoadDescription(m_dir.Path() + "/missing.pdesc"), CParamManage::kErrIo);
    EXPECT_FALSE(GetCapturedStderr().empty());

    const std::string path = m_dir.Path() + "/bad.pdesc";
    for (const char* bad : {"A int 5 10 20\n", "A int x\n", "A real 1\n", "A ipv4 1.2.3\n",
                            "A string \"abc 2\n", "A string \"toolong\" 3\n", "A int 1 2\n",
                            "A int 1\nA int 2\n", "A\x01B int 1\n", "A string \"x\x1by\"\n"}) {
        ts::WriteFile(path, std::string("# comment\n\n") + bad);
        CaptureStderr();
        EXPECT_EQ(store.LoadDescription(path), CParamManage::kErrBadValue) << bad;
        EXPECT_TRUE(ts::Has(GetCapturedStderr(), path + ":"));
    }

    // A flag that only a text can carry.
    ts::WriteFile(path, "A int 1 not-any-address\n");
    CaptureStderr();
    EXPECT_EQ(store.LoadDescription(path), CParamManage::kErrBadValue);
    EXPECT_TRUE(ts::Has(GetCapturedStderr(), "strings only"));

    ts::WriteFile(path, "Msg string \"two words \\\"q\\\"\" 40  # trailing comment\nN int -5\n");
    ASSERT_EQ(store.LoadDescription(path), 0);
    ASSERT_EQ(store.LoadFile(m_dir.Path() + "/other.param"), 0);
    EXPECT_EQ(store.GetParam("Msg", 0), "two words \"q\"");
    EXPECT_EQ(store.GetParam("N", 0), "-5");
    EXPECT_EQ(store.CheckParam("N", "-2147483648"), 0);
    EXPECT_EQ(store.CheckParam("N", "2147483648"), CParamManage::kErrBadValue);
}

// Reads repeated on one thread answer from its cache: they must still see
// another thread's change, a replaced description, and never the values of a
// store that lived at the same address before.
TEST_F(ParamManageTest, RepeatedReadsSeeEveryChange) {
    auto enable = [](const CParamManage& store) {
        return store.GetParamFindAndCheck("AlgoEnable", 0)->vecValue[0].nValue;
    };
    std::optional<CParamManage> store;
    store.emplace();
    ASSERT_EQ(store->LoadDescription(UDPTRANS_PDESC), 0);
    ASSERT_EQ(store->SetParam("AlgoEnable", "0", 0), 0);
    EXPECT_EQ(enable(*store), 0);
    store.emplace();  // same address, same count of changes, other values
    ASSERT_EQ(store->LoadDescription(UDPTRANS_PDESC), 0);
    ASSERT_EQ(store->SetParam("AlgoEnable", "1", 0), 0);
    EXPECT_EQ(enable(*store), 1);
    std::thread([&] { EXPECT_EQ(store->SetParam("AlgoEnable", "0", 0), 0); }).join();
    EXPECT_EQ(enable(*store), 0);

    const std::string path = m_dir.Path() + "/other.pdesc";
    ts::WriteFile(path, "Other int 1\n");
    ASSERT_EQ(store->LoadDescription(path), 0);
    EXPECT_THROW(enable(*store), std::invalid_argument);
}

}  // namespace
