#include "ThreadUsage.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

namespace ts {
namespace {

// Calls `fn(name)` for every entry of the folder but "." and "..".
void ForEachEntry(const std::string& folder, const std::function<void(const char*)>& fn) {
    DIR* dir = opendir(folder.c_str());
    while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
        if (entry->d_name[0] != '.') {
            fn(entry->d_name);
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
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

ThreadUsage UsageOfThread(int tid) {
    ThreadUsage usage;
    const std::string base = "/proc/self/task/" + std::to_string(tid);
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
    ForEachEntry("/proc/self/task", [&](const char* task) {
        std::ifstream comm(std::string("/proc/self/task/") + task + "/comm");
        std::string threadName;
        if (std::getline(comm, threadName) && threadName == name) {
            const ThreadUsage one = UsageOfThread(std::atoi(task));
            total.cpuNs += one.cpuNs;
            total.switches += one.switches;
            total.threads += one.threads;
        }
    });
    return total;
}

int CurrentTid() {
    return static_cast<int>(syscall(SYS_gettid));
}

std::vector<std::string> OtherRealtimeThreads() {
    std::vector<std::string> found;
    const std::string self = std::to_string(getpid());
    ForEachEntry("/proc", [&](const char* pid) {
        const std::string base = std::string("/proc/") + pid;
        std::ifstream cmdline(base + "/cmdline");
        // Kernel threads have no command line.
        if (pid[0] < '0' || pid[0] > '9' || self == pid ||
            cmdline.get() == std::char_traits<char>::eof()) {
            return;
        }
        ForEachEntry(base + "/task", [&](const char* task) {
            std::ifstream in(base + "/task/" + task + "/stat");
            std::string stat;
            std::getline(in, stat);
            const int policy = Policy(stat);
            const size_t open = stat.find('(');
            if ((policy == 1 || policy == 2) && open != std::string::npos) {
                found.push_back(stat.substr(open + 1, stat.rfind(')') - open - 1) + "(" + pid +
                                ")");
            }
        });
    });
    return found;
}

}  // namespace ts
