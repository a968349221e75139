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

int ThreadsNamed(const std::string& name) {
    return CountTasks([&name](const char* task) {
        std::ifstream comm(std::string("/proc/self/task/") + task + "/comm");
        std::string text;
        return std::getline(comm, text) && text == name;
    });
}

}  // namespace ts
