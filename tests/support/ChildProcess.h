// A program run as a child process of a test, its output in files (or
// nowhere), killed and reaped on destruction if it is still running.
//
// Threads: one test thread owns each child.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace ts {

class ChildProcess {
public:
    // argv[0] is the program's path. `extraEnv` ("NAME=value") is added to
    // this process's environment, in place of a variable of the same name. Standard output goes to
    // /dev/null unless a path is given; standard error stays this process's unless one is given.
    ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath = "",
                 const std::string& stderrPath = "", const std::vector<std::string>& extraEnv = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    // Reaps the child when it has ended; true once it has.
    bool Exited();
    // Exit code, or -1 when it died of a signal or did not end within
    // `timeoutMs` (it is then left running for the destructor to kill).
    int Wait(int timeoutMs = 60000);
    void Signal(int signal);
    // SIGKILL and reap; true when it was still running when killed.
    bool Kill();

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;  // raw wait status once reaped
};

// "NAME=value" with `suffix` added to this process's value of NAME (an
// option a child alone needs, such as a sanitizer's).
std::string EnvAppended(const char* name, const std::string& suffix);

}  // namespace ts
