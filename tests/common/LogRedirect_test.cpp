// Redirection of descriptors 0/1/2 to a file or a pseudo-terminal, and back.
// Every test checks that the process's own standard descriptors end up where
// they started.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "StdoutCapture.h"
#include "TempDir.h"
#include "udptrans/udptrans_api.h"
#include "Wait.h"

namespace {

std::tuple<dev_t, ino_t, dev_t> Identify(int fd) {
    struct stat st = {};
    fstat(fd, &st);
    return {st.st_dev, st.st_ino, st.st_rdev};
}

// Records what 0, 1 and 2 refer to and checks it again at the end of a test.
class LogRedirect : public ::testing::Test {
protected:
    void SetUp() override {
        for (int fd = 0; fd < 3; ++fd) {
            m_before[fd] = Identify(fd);
        }
        ASSERT_FALSE(m_dir.Path().empty());
        m_strFile = m_dir.Path() + "/out.log";
        ASSERT_TRUE(ts::WriteFile(m_strFile, ""));
    }
    void TearDown() override {
        log_redirection_close();  // undoes whatever a failed test left behind
        for (int fd = 0; fd < 3; ++fd) {
            EXPECT_TRUE(m_before[fd] == Identify(fd)) << "descriptor " << fd << " changed";
        }
    }
    std::string FileText() const { return ts::ReadFile(m_strFile); }
    // A following redirection is accepted and carries log lines.
    void ExpectFileRedirectionWorks(const std::string& line) {
        ASSERT_EQ(0, log_redirection_output(m_strFile.c_str()));
        log_print_mod(3, 6, "%s", line.c_str());
        EXPECT_EQ(0, log_redirection_close());
        EXPECT_NE(std::string::npos, FileText().find(line)) << FileText();
    }

    std::tuple<dev_t, ino_t, dev_t> m_before[3];
    ts::TempDir m_dir;
    std::string m_strFile;
};

// Must stay the first test: the descriptor fields start at -1, so a
// redirection made before log_prt_init is accepted rather than taken for an
// active one.
TEST_F(LogRedirect, WorksBeforeInit) {
    ExpectFileRedirectionWorks("before init\n");
    EXPECT_EQ("before init\n", FileText());
}

TEST_F(LogRedirect, OutputAndErrorAppendToFileUntilClosedAndSecondIsRefused) {
    ASSERT_EQ(0, log_prt_init(0, 0, nullptr));
    log_set_priority(-1, 0);
    ts::StdoutCapture cap;
    ASSERT_EQ(0, log_redirection_output(m_strFile.c_str()));
    log_print_mod(3, 6, "log line\n");
    ASSERT_EQ(6, write(STDERR_FILENO, "error\n", 6));
    EXPECT_EQ(-2, log_redirection_output(m_strFile.c_str()));
    EXPECT_EQ(-2, log_redirection_dev("/dev/null"));
    EXPECT_EQ(0, log_redirection_close());
    log_print_mod(3, 6, "after close\n");
    EXPECT_EQ("after close\n", cap.Stop());
    EXPECT_EQ("log line\nerror\n", FileText());
    ExpectFileRedirectionWorks("again\n");
    EXPECT_EQ("log line\nerror\nagain\n", FileText());  // appends, never truncates
}

TEST_F(LogRedirect, BadPathsRefusedWithoutSideEffects) {
    ASSERT_EQ(0, log_prt_init(0, 0, nullptr));
    log_set_priority(-1, 0);
    EXPECT_EQ(-1, log_redirection_output(nullptr));
    EXPECT_EQ(-1, log_redirection_dev(nullptr));
    const std::string missing = m_dir.Path() + "/missing.log";
    EXPECT_EQ(-3, log_redirection_output(missing.c_str()));
    EXPECT_EQ(-3, log_redirection_dev(missing.c_str()));
    EXPECT_NE(0, access(missing.c_str(), F_OK));  // never created
    ExpectFileRedirectionWorks("nothing was active\n");
}

TEST_F(LogRedirect, DeviceAttachesAllThreeToTerminal) {
    ASSERT_EQ(0, log_prt_init(0, 0, nullptr));
    log_set_priority(-1, 0);
    int master = -1;
    int slave = -1;
    char name[128] = {};
    ASSERT_EQ(0, openpty(&master, &slave, name, nullptr, nullptr));
    // Clear the flags the redirection must set, to see it set them.
    struct termios attrs = {};
    ASSERT_EQ(0, tcgetattr(slave, &attrs));
    attrs.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
    attrs.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON);
    ASSERT_EQ(0, tcsetattr(slave, TCSANOW, &attrs));

    ASSERT_EQ(0, log_redirection_dev(name));
    const auto attached = std::make_tuple(Identify(0), Identify(1), Identify(2));
    log_print_mod(5, 6, "on the terminal\n");
    struct termios now = {};
    const int attrResult = tcgetattr(STDIN_FILENO, &now);
    EXPECT_EQ(-2, log_redirection_output(m_strFile.c_str()));
    EXPECT_EQ(0, log_redirection_close());

    const auto pty = Identify(slave);
    EXPECT_TRUE(std::make_tuple(pty, pty, pty) == attached) << "not all three on the terminal";
    ASSERT_EQ(0, attrResult);
    EXPECT_NE(0u, now.c_iflag & ICRNL);
    EXPECT_NE(0u, now.c_lflag & ISIG);
    EXPECT_NE(0u, now.c_lflag & ICANON);

    std::string seen;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    EXPECT_TRUE(ts::WaitFor([&] {
        char buf[256];
        const ssize_t n = read(master, buf, sizeof(buf));
        seen.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
        return seen.find("on the terminal") != std::string::npos;
    })) << seen;
    // Descriptors are back (checked in TearDown) and a new redirection works.
    ExpectFileRedirectionWorks("file after device\n");
    EXPECT_EQ("file after device\n", FileText());
    close(slave);
    close(master);
}

// Ring mode without a buffer counts every line as lost: the count survives
// an unchanged mode and is reset by a mode change, log_prt_init and every
// redirection call.
TEST_F(LogRedirect, LossCounterResetsOnModeChangeInitAndRedirection) {
    ts::StdoutCapture cap;
    ASSERT_EQ(-1, log_prt_init(1, 4, nullptr));
    log_set_priority(-1, 0);
    auto lose = [](int lines, unsigned expected) {
        for (int i = 0; i < lines; ++i) {
            log_print_mod(1, 6, "lost %d\n", i);
        }
        EXPECT_EQ(expected, log_get_loss_cnt());
    };
    lose(3, 3);
    log_set_mode(1);
    lose(0, 3);
    log_set_mode(0);
    lose(0, 0);
    log_set_mode(1);
    lose(2, 2);
    EXPECT_EQ(0, log_redirection_close());  // nothing redirected
    lose(0, 0);
    lose(1, 1);
    ASSERT_EQ(0, log_redirection_output(m_strFile.c_str()));
    lose(0, 0);
    lose(1, 1);
    EXPECT_EQ(0, log_redirection_close());
    lose(0, 0);
    lose(1, 1);
    EXPECT_EQ(0, log_prt_init(0, 0, nullptr));
    lose(0, 0);
    EXPECT_EQ("", cap.Stop());
    EXPECT_EQ("", FileText());
}

}  // namespace
