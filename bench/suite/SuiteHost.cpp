// Host side of the measuring programs; see SuiteHost.h.
#include "SuiteHost.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "algo/AbstractUserModule.h"
#include "algo/CommProxy.h"
#include "algo/ParamManage.h"

namespace suite {

uint64_t MonoNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t UpMs() {
    return (MonoNs() + 500000u) / 1000000u;
}

void SleepUntilNs(uint64_t ns) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000u);
    ts.tv_nsec = static_cast<long>(ns % 1000000000u);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

uint16_t FreeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof(addr);
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

long RssKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

int CurrentTid() {
    return static_cast<int>(syscall(SYS_gettid));
}

ThreadUsage UsageOfThread(int tid) {
    ThreadUsage usage;
    const std::string base = "/proc/self/task/" + std::to_string(tid);
    std::ifstream sched(base + "/schedstat");
    uint64_t cpu = 0;
    if (!(sched >> cpu)) {
        return usage;
    }
    usage.cpuNs = cpu;
    usage.threads = 1;
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.find("ctxt_switches:") != std::string::npos) {
            usage.switches += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
        }
    }
    return usage;
}

ThreadUsage UsageOfThreads(const std::string& name) {
    ThreadUsage total;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return total;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string threadName;
        std::getline(comm, threadName);
        if (threadName != name) {
            continue;
        }
        const ThreadUsage one = UsageOfThread(std::atoi(entry->d_name));
        total.cpuNs += one.cpuNs;
        total.switches += one.switches;
        total.threads += one.threads;
    }
    closedir(dir);
    return total;
}

std::vector<std::string> OtherRealtimeThreads() {
    std::vector<std::string> found;
    const std::string self = std::to_string(getpid());
    DIR* procs = opendir("/proc");
    if (procs == nullptr) {
        return found;
    }
    while (dirent* p = readdir(procs)) {
        if (p->d_name[0] < '0' || p->d_name[0] > '9' || self == p->d_name) {
            continue;
        }
        const std::string base = std::string("/proc/") + p->d_name;
        {
            // Kernel threads have no command line.
            std::ifstream cmd(base + "/cmdline");
            if (cmd.get() == std::char_traits<char>::eof()) {
                continue;
            }
        }
        DIR* tasks = opendir((base + "/task").c_str());
        if (tasks == nullptr) {
            continue;
        }
        while (dirent* t = readdir(tasks)) {
            if (t->d_name[0] == '.') {
                continue;
            }
            std::ifstream in(base + "/task/" + t->d_name + "/stat");
            std::string stat;
            std::getline(in, stat);
            const size_t open = stat.find('(');
            const size_t close = stat.rfind(')');
            if (open == std::string::npos || close == std::string::npos) {
                continue;
            }
            // Fields after the name start with the state (field 3); the
            // policy is field 41.
            std::istringstream rest(stat.substr(close + 2));
            std::string field;
            int index = 3;
            int policy = 0;
            while (rest >> field) {
                if (index == 41) {
                    policy = std::atoi(field.c_str());
                    break;
                }
                ++index;
            }
            if (policy == 1 || policy == 2) {
                found.push_back(stat.substr(open + 1, close - open - 1) + "(" + p->d_name + ")");
            }
        }
        closedir(tasks);
    }
    closedir(procs);
    return found;
}

uint64_t UdpCounter(const std::string& name) {
    // Two "Udp:" lines: the names, then the values, in the same order.
    std::ifstream in("/proc/net/snmp");
    std::string line;
    std::vector<std::string> names;
    while (std::getline(in, line)) {
        if (line.rfind("Udp:", 0) != 0) {
            continue;
        }
        std::istringstream fields(line.substr(4));
        std::vector<std::string> cells;
        std::string cell;
        while (fields >> cell) {
            cells.push_back(cell);
        }
        if (names.empty()) {
            names = cells;
            continue;
        }
        for (size_t i = 0; i < names.size() && i < cells.size(); ++i) {
            if (names[i] == name) {
                return std::strtoull(cells[i].c_str(), nullptr, 10);
            }
        }
    }
    return 0;
}

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return NAN;
    }
    const double pos = p / 100.0 * static_cast<double>(sorted.size() - 1);
    const size_t lo = static_cast<size_t>(pos);
    const size_t hi = lo + 1 < sorted.size() ? lo + 1 : lo;
    const double frac = pos - static_cast<double>(lo);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * frac;
}

CUdpSink::CUdpSink(int rcvbufBytes) {
    m_nFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_nFd < 0) {
        perror("socket");
        return;
    }
    // The same buffer for every sink, so the module and its floor meet the
    // same receiver.
    if (setsockopt(m_nFd, SOL_SOCKET, SO_RCVBUF, &rcvbufBytes, sizeof(rcvbufBytes)) != 0) {
        perror("SO_RCVBUF");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(m_nFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(m_nFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        perror("bind");
        return;
    }
    m_nPort = ntohs(addr.sin_port);
    const int on = 1;
    if (setsockopt(m_nFd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) != 0) {
        perror("SO_TIMESTAMPNS");
    }
    // Kernel stamps are on the real-time clock; the offset to the monotonic
    // clock does not move measurably within one run.
    timespec real;
    timespec mono;
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    m_nRealMinusMono =
        (static_cast<int64_t>(real.tv_sec) - static_cast<int64_t>(mono.tv_sec)) * 1000000000 +
        (real.tv_nsec - mono.tv_nsec);
}

int CUdpSink::RecvStamped(void* buf, int size, uint64_t* arrivalNs) {
    iovec iov{buf, static_cast<size_t>(size)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(m_nFd, &msg, MSG_DONTWAIT);
    if (n < 0) {
        return -1;
    }
    *arrivalNs = MonoNs();
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts;
            std::memcpy(&ts, CMSG_DATA(c), sizeof(ts));
            const int64_t real = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            *arrivalNs = static_cast<uint64_t>(real - m_nRealMinusMono);
        }
    }
    return static_cast<int>(n);
}

CUdpSink::~CUdpSink() {
    if (m_nFd >= 0) {
        close(m_nFd);
    }
}

sockaddr_in CUdpSink::Address() const {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(m_nPort);
    return addr;
}

int CUdpSink::Recv(void* buf, int size, int ms) {
    pollfd pfd{m_nFd, POLLIN, 0};
    if (poll(&pfd, 1, ms) <= 0) {
        return -1;
    }
    const ssize_t n = recv(m_nFd, buf, static_cast<size_t>(size), MSG_DONTWAIT);
    return n < 0 ? -1 : static_cast<int>(n);
}

CSuiteModule::CSuiteModule() {
    char tmpl[] = "/tmp/udptrans_bench_XXXXXX";
    const char* made = mkdtemp(tmpl);
    m_strDir = made != nullptr ? made : "";
}

CSuiteModule::~CSuiteModule() {
    Stop();
    Close();
    if (!m_strDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }
}

int CSuiteModule::Open(const std::string& soPath) {
    m_strPdesc = std::filesystem::path(soPath).parent_path().string() + "/udptrans.pdesc";
    m_pHandle = dlopen(soPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_pHandle == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return -1;
    }
    if (Symbol("CreateModule") == nullptr || Symbol("DestroyModule") == nullptr) {
        std::fprintf(stderr, "factory not exported\n");
        return -1;
    }
    ResetLog();
    return 0;
}

void* CSuiteModule::Symbol(const char* name) {
    return m_pHandle != nullptr ? dlsym(m_pHandle, name) : nullptr;
}

void CSuiteModule::ResetLog() {
    using InitFn = int (*)(int, int, void*);
    auto init = reinterpret_cast<InitFn>(Symbol("log_prt_init"));
    if (init != nullptr) {
        init(0, 0, nullptr);
    }
}

void CSuiteModule::SetLogThreshold(int id, int level) {
    using PriorityFn = void (*)(int, int);
    auto priority = reinterpret_cast<PriorityFn>(Symbol("log_set_priority"));
    if (priority != nullptr) {
        priority(id, level);
    }
}

int CSuiteModule::Start(const KeyValues& values, int moduleId) {
    {
        CParamManage store;
        if (store.LoadDescription(m_strPdesc) != 0 ||
            store.LoadFile(m_strDir + "/udptrans.param") != 0) {
            std::fprintf(stderr, "parameter description or store not loadable\n");
            return -1;
        }
        for (const auto& kv : values) {
            if (store.SetParam(kv.first.c_str(), kv.second.c_str(), 0) != 0) {
                std::fprintf(stderr, "store refused %s=%s\n", kv.first.c_str(), kv.second.c_str());
                return -1;
            }
        }
        if (store.SaveFile() != 0) {
            return -1;
        }
    }
    using CreateFn = CAbstractUserModule* (*)();
    auto create = reinterpret_cast<CreateFn>(Symbol("CreateModule"));
    m_pModule = create != nullptr ? create() : nullptr;
    if (m_pModule == nullptr) {
        return -1;
    }
    m_pModule->SetModuleId(moduleId);
    return m_pModule->SetPwd(m_strDir.c_str());
}

void CSuiteModule::Stop() {
    if (m_pModule != nullptr) {
        using DestroyFn = void (*)(void*, void*);
        auto destroy = reinterpret_cast<DestroyFn>(Symbol("DestroyModule"));
        destroy(nullptr, m_pModule);
        m_pModule = nullptr;
    }
}

void CSuiteModule::Close() {
    if (m_pHandle != nullptr) {
        CCommProxy::getInstance().WaitIdle(5000);
        dlclose(m_pHandle);
        m_pHandle = nullptr;
    }
}

}  // namespace suite
