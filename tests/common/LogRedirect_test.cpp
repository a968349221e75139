// Redirection of descriptors 0/1/2 to a file or a pseudo-terminal, and back.
// Every test checks that the process's own standard descriptors end up where
// they started.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "StdoutCapture.h"
#include "udptrans/udptrans_api.h"

namespace {

struct FdIdentity {
    dev_t dev;
    ino_t ino;
    dev_t rdev;
    bool operator==(const FdIdentity& o) const {
        return dev == o.dev && ino == o.ino && rdev == o.rdev;
    }
};

FdIdentity Identify(int fd) {
    struct stat st = {};
    if (fstat(fd, &st) != 0) {
        return {0, 0, 0};
    }
    return {st.st_dev, st.st_ino, st.st_rdev};
}

// Records what 0, 1 and 2 refer to and checks it again at the end of a test.
class LogRedirect : public ::testing::Test {
protected:
    void SetUp() override {
        for (int fd = 0; fd < 3; ++fd) {
            m_before[fd] = Identify(fd);
        }
        char dir[] = "/tmp/logredirXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        m_strDir = dir;
        m_strFile = m_strDir + "/out.log";
        std::ofstream create(m_strFile);
    }
    void TearDown() override {
        log_redirection_close();  // undoes whatever a failed test left behind
        for (int fd = 0; fd < 3; ++fd) {
            EXPECT_TRUE(m_before[fd] == Identify(fd)) << "descriptor " << fd << " changed";
        }
        unlink(m_strFile.c_str());
        rmdir(m_strDir.c_str());
    }
    std::string FileText() const {
        std::stringstream text;
        text << std::ifstream(m_strFile).rdbuf();
        return text.str();
    }

    FdIdentity m_before[3];
    std::string m_strDir;
    std::string m_strFile;
};

// Must stay the first test: the descriptor fields start at -1, so a
// redirection made before log_prt_init is accepted rather than taken for an
// active one.
TEST_F(LogRedirect, WorksBeforeInit) {
    ASSERT_EQ(0, log_redirection_output(m_strFile.c_str()));
    log_print_mod(1, 6, "before init\n");
    EXPECT_EQ(0, log_redirection_close());
    EXPECT_EQ("before init\n", FileText());
}

TEST_F(LogRedirect, OutputAndErrorGoToFileUntilClosed) {
    ASSERT_EQ(0, log_prt_init(0, 0, nullptr));
    log_set_priority(-1, 0);
    StdoutCapture cap;
    ASSERT_EQ(0, log_redirection_output(m_strFile.c_str()));
    log_print_mod(3, 6, "log line\n");
    ASSERT_EQ(6, write(STDERR_FILENO, "error\n", 6));
    EXPECT_EQ(-2, log_redirection_output(m_strFile.c_str()));
    EXPECT_EQ(-2, log_redirection_dev("/dev/null"));
    EXPECT_EQ(0, log_redirection_close());
    log_print_mod(3, 6, "after close\n");
    EXPECT_EQ("after close\n", cap.Stop());
    EXPECT_EQ("log line\nerror\n", FileText());

    // Appends, never truncates.
    ASSERT_EQ(0, log_redirection_output(m_strFile.c_str()));
    log_print_mod(3, 6, "again\n");
    EXPECT_EQ(0, log_redirection_close());
    EXPECT_EQ("log line\nerror\nagain\n", FileText());
}

TEST_F(LogRedirect, BadPathsRefusedWithoutSideEffects) {
    ASSERT_EQ(0, log_prt_init(0, 0, nullptr));
    EXPECT_EQ(-1, log_redirection_output(nullptr));
    EXPECT_EQ(-1, log_redirection_dev(nullptr));
    const std::string missing = m_strDir + "/missing.log";
    EXPECT_EQ(-3, log_redirection_output(missing.c_str()));
    EXPECT_EQ(-3, log_redirection_dev(missing.c_str()));
    struct stat st = {};
    EXPECT_NE(0, stat(missing.c_str(), &st));  // never created
    // Nothing active afterwards: a valid redirection is still accepted.
    ASSERT_EQ(0, log_redirection_output(m_strFile.c_str()));
    EXPECT_EQ(0, log_redirection_close());
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
    FdIdentity attached[3];
    for (int fd = 0; fd < 3; ++fd) {
        attached[fd] = Identify(fd);
    }
    log_print_mod(5, 6, "on the terminal\n");
    struct termios now = {};
    const int attrResult = tcgetattr(STDIN_FILENO, &now);
    EXPECT_EQ(-2, log_redirection_output(m_strFile.c_str()));
    EXPECT_EQ(0, log_redirection_close());

    const FdIdentity pty = Identify(slave);
    for (int fd = 0; fd < 3; ++fd) {
        EXPECT_TRUE(attached[fd] == pty) << "descriptor " << fd << " not on the terminal";
    }
    ASSERT_EQ(0, attrResult);
    EXPECT_NE(0u, now.c_iflag & ICRNL);
    EXPECT_NE(0u, now.c_lflag & ISIG);
    EXPECT_NE(0u, now.c_lflag & ICANON);

    std::string seen;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    while (seen.find("on the terminal") == std::string::npos &&
           std::chrono::steady_clock::now() < end) {
        char buf[256];
        const ssize_t n = read(master, buf, sizeof(buf));
        if (n > 0) {
            seen.append(buf, static_cast<size_t>(n));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_NE(std::string::npos, seen.find("on the terminal")) << seen;

    // Descriptors are back (checked in TearDown) and a new redirection is
    // accepted.
    ASSERT_EQ(0, log_redirection_output(m_strFile.c_str()));
    log_print_mod(5, 6, "file after device\n");
    EXPECT_EQ(0, log_redirection_close());
    EXPECT_EQ("file after device\n", FileText());
    close(slave);
    close(master);
}

TEST_F(LogRedirect, CloseResetsLossCounter) {
    ASSERT_EQ(-1, log_prt_init(1, 4, nullptr));  // ring mode without a buffer
    log_set_priority(-1, 0);
    log_print_mod(1, 6, "lost\n");
    log_print_mod(1, 6, "lost\n");
    EXPECT_EQ(2u, log_get_loss_cnt());
    EXPECT_EQ(0, log_redirection_close());  // nothing redirected
    EXPECT_EQ(0u, log_get_loss_cnt());

    log_print_mod(1, 6, "lost\n");
    ASSERT_EQ(0, log_redirection_output(m_strFile.c_str()));
    EXPECT_EQ(0u, log_get_loss_cnt());
    log_print_mod(1, 6, "lost\n");
    EXPECT_EQ(1u, log_get_loss_cnt());
    EXPECT_EQ(0, log_redirection_close());
    EXPECT_EQ(0u, log_get_loss_cnt());
    EXPECT_EQ("", FileText());
    log_set_mode(0);
}

}  // namespace
