#include "ProcessInfo.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "TempDir.h"

namespace ts {

void ForEachFd(const std::function<void(int)>& fn) {
    // The listing's own descriptor is closed once EntriesOf returns.
    for (const std::string& name : EntriesOf("/proc/self/fd")) {
        const int fd = std::atoi(name.c_str());
        if (fcntl(fd, F_GETFD) != -1) {
            fn(fd);
        }
    }
}

int OpenFdCount() {
    int count = 0;
    ForEachFd([&](int) { ++count; });
    return count;
}

long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

int FindUdpSocketByPort(uint16_t port) {
    int found = -1;
    ForEachFd([&](int fd) {
        int type = 0;
        socklen_t typeLen = sizeof(type);
        sockaddr_in addr{};
        socklen_t len = sizeof(addr);
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) == 0 && type == SOCK_DGRAM &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
            addr.sin_family == AF_INET && ntohs(addr.sin_port) == port) {
            found = fd;
        }
    });
    return found;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long UdpCounter(const std::string& wanted) {
    // Two "Udp:" lines: the names, then the values in the same order.
    std::ifstream snmp("/proc/net/snmp");
    std::string names;
    for (std::string line; std::getline(snmp, line);) {
        if (line.rfind("Udp: ", 0) != 0) {
            continue;
        }
        if (names.empty()) {
            names = line;
            continue;
        }
        std::istringstream n(names);
        std::istringstream v(line);
        for (std::string name, value; n >> name && v >> value;) {
            if (name == wanted) {
                return std::stol(value);
            }
        }
    }
    return -1;
}

long UdpNoPortsCount() {
    return UdpCounter("NoPorts");
}

}  // namespace ts
