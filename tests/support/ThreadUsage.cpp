// The thread readers of Threads.h and ThreadUsage.h: both walk
// /proc/self/task and match threads by the name in their "comm" file.
#include "ThreadUsage.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "TempDir.h"
#include "Threads.h"

namespace ts {
namespace {

const std::string kTasks = "/proc/self/task/";

bool Named(const std::string& task, const std::string& name) {
    std::ifstream comm(kTasks + task + "/comm");
    std::string text;
    return std::getline(comm, text) && text == name;
}

// The scheduling policy of a task from its stat line (field 41; the name in
// field 2 may hold spaces, so counting starts after its closing parenthesis).
int Policy(const std::string& stat) {
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream rest(stat.substr(close + 1));
    std::string field;
    for (int index = 3; rest >> field; ++index) {
        if (index == 41) {
            return std::atoi(field.c_str());
        }
    }
    return -1;
}

}  // namespace

int ThreadCount() {
    return static_cast<int>(EntriesOf(kTasks).size());
}

int ThreadsNamed(const std::string& name) {
    int n = 0;
    for (const std::string& task : EntriesOf(kTasks)) {
        n += Named(task, name) ? 1 : 0;
    }
    return n;
}

uint64_t ThreadCpuNs(const std::string& name) {
    return UsageOfThreads(name).cpuNs;
}

ThreadUsage UsageOfThread(int tid) {
    ThreadUsage usage;
    const std::string base = kTasks + std::to_string(tid);
    std::ifstream sched(base + "/schedstat");
    if (!(sched >> usage.cpuNs)) {
        return usage;
    }
    usage.threads = 1;
    std::ifstream status(base + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.find("ctxt_switches:") != std::string::npos) {
            usage.switches += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
        }
    }
    return usage;
}

ThreadUsage UsageOfThreads(const std::string& name) {
    ThreadUsage total;
    for (const std::string& task : EntriesOf(kTasks)) {
        if (Named(task, name)) {
            const ThreadUsage one = UsageOfThread(std::atoi(task.c_str()));
            total.cpuNs += one.cpuNs;
            total.switches += one.switches;
            total.threads += one.threads;
        }
    }
    return total;
}

int CurrentTid() {
    return static_cast<int>(syscall(SYS_gettid));
}

std::vector<std::string> OtherRealtimeThreads() {
    std::vector<std::string> found;
    const std::string self = std::to_string(getpid());
    for (const std::string& pid : EntriesOf("/proc")) {
        const std::string base = "/proc/" + pid;
        std::ifstream cmdline(base + "/cmdline");
        // Kernel threads have no command line.
        if (pid[0] < '0' || pid[0] > '9' || self == pid ||
            cmdline.get() == std::char_traits<char>::eof()) {
            continue;
        }
        for (const std::string& task : EntriesOf(base + "/task")) {
            std::ifstream in(base + "/task/" + task + "/stat");
            std::string stat;
            std::getline(in, stat);
            const int policy = Policy(stat);
            const size_t open = stat.find('(');
            if ((policy == 1 || policy == 2) && open != std::string::npos) {
                found.push_back(stat.substr(open + 1, stat.rfind(')') - open - 1) + "(" + pid +
                                ")");
            }
        }
    }
    return found;
}

}  // namespace ts
