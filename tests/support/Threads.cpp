#include "Threads.h"

#include <dirent.h>

#include <fstream>

namespace ts {
namespace {

// Counts the tasks of this process for which `accept(task id)` holds.
template <typename Accept>
int CountTasks(Accept accept) {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.' && accept(e->d_name)) {
            ++n;
        }
    }
    closedir(dir);
    return n;
}

}  // namespace

int ThreadCount() {
    return CountTasks([](const char*) { return true; });
}

namespace {
bool Named(const char* task, const std::string& name) {
    std::ifstream comm(std::string("/proc/self/task/") + task + "/comm");
    std::string text;
    return std::getline(comm, text) && text == name;
}
}  // namespace

int ThreadsNamed(const std::string& name) {
    return CountTasks([&name](const char* task) { return Named(task, name); });
}

uint64_t ThreadCpuNs(const std::string& name) {
    uint64_t total = 0;
    CountTasks([&](const char* task) {
        uint64_t ns = 0;
        if (Named(task, name) &&
            std::ifstream(std::string("/proc/self/task/") + task + "/schedstat") >> ns) {
            total += ns;
        }
        return false;
    });
    return total;
}

}  // namespace ts
