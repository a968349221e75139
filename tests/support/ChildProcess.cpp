#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Wait.h"

extern char** environ;

namespace ts {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath,
                           const std::string& stderrPath,
                           const std::vector<std::string>& extraEnv) {
    std::vector<char*> args;
    for (const std::string& word : argv) {
        args.push_back(const_cast<char*>(word.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string name(*e, std::strcspn(*e, "="));
        if (std::none_of(extraEnv.begin(), extraEnv.end(), [&name](const std::string& x) {
                return x.compare(0, name.size() + 1, name + "=") == 0;
            })) {
            env.push_back(*e);
        }
    }
    for (const std::string& e : extraEnv) {
        env.push_back(const_cast<char*>(e.c_str()));
    }
    env.push_back(nullptr);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO,
                                     stdoutPath.empty() ? "/dev/null" : stdoutPath.c_str(), flags,
                                     0644);
    if (!stderrPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(), flags, 0644);
    }
    if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), env.data()) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    Kill();
}

bool ChildProcess::Exited() {
    int status = 0;
    if (!m_status && m_pid > 0 && waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_status = status;
    }
    return m_status.has_value();
}

int ChildProcess::Wait(int timeoutMs) {
    return WaitFor([this] { return Exited(); }, timeoutMs) && WIFEXITED(*m_status)
               ? WEXITSTATUS(*m_status)
               : -1;
}

void ChildProcess::Signal(int signal) {
    if (m_pid > 0 && !m_status) {
        kill(m_pid, signal);
    }
}

bool ChildProcess::Kill() {
    if (m_pid <= 0 || Exited()) {
        return false;
    }
    kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_status = status;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

std::string EnvAppended(const char* name, const std::string& suffix) {
    const char* value = std::getenv(name);
    return std::string(name) + "=" + (value != nullptr ? value : "") + suffix;
}

}  // namespace ts
