// What the measuring programs need around the module: libudptrans.so loaded
// with dlopen and driven through the factory and the base class, a parameter
// store in a temporary folder, kernel-picked ports, loopback receivers, and
// readings of the clock, of a thread's CPU time and of the resident size.
//
// Threads: a CSuiteModule and a CUdpSink belong to the thread that made them
// (a sink may be read by one other thread once handed over); the free
// functions may be called from any thread.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CAbstractUserModule;

namespace suite {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

// Monotonic clock in nanoseconds (the clock the module stamps with).
uint64_t MonoNs();
// The module's millisecond clock: CLOCK_MONOTONIC rounded to the nearest ms.
uint64_t UpMs();
// Sleeps until the monotonic time `ns`.
void SleepUntilNs(uint64_t ns);

// A UDP port that the kernel reports free right now (bound to 0, read back,
// released).
uint16_t FreeUdpPort();

// VmRSS of this process in KiB.
long RssKiB();
// CPU time (ns) and context switches of the threads of this process whose
// name is `name`; sums over all threads of that name.
struct ThreadUsage {
    uint64_t cpuNs = 0;
    uint64_t switches = 0;
    int threads = 0;
};
ThreadUsage UsageOfThreads(const std::string& name);
// The same for one thread id.
ThreadUsage UsageOfThread(int tid);
int CurrentTid();
// Names of the real-time (SCHED_FIFO/SCHED_RR) threads of other user-space
// processes on the machine right now: they can hold off the engine's
// real-time tasks, which no ordinary thread can.
std::vector<std::string> OtherRealtimeThreads();
// A UDP counter of the whole machine from /proc/net/snmp ("RcvbufErrors",
// "SndbufErrors", "NoPorts", "InErrors", ...); 0 when absent.
uint64_t UdpCounter(const std::string& name);
inline uint64_t UdpRcvbufErrors() {
    return UdpCounter("RcvbufErrors");
}

// A UDP socket on 127.0.0.1 at a kernel-chosen port.
class CUdpSink {
public:
    explicit CUdpSink(int rcvbufBytes = 1 << 20);
    ~CUdpSink();
    CUdpSink(const CUdpSink&) = delete;
    CUdpSink& operator=(const CUdpSink&) = delete;

    int Fd() const { return m_nFd; }
    uint16_t Port() const { return m_nPort; }
    sockaddr_in Address() const;
    // One datagram into `buf`; its size, or -1 when none came within `ms`.
    int Recv(void* buf, int size, int ms);
    // One waiting datagram without blocking; its size, or -1 when none is
    // waiting. `arrivalNs` gets the kernel's arrival stamp of the datagram on
    // the monotonic clock, so the figure does not depend on when the
    // receiving thread got to run.
    int RecvStamped(void* buf, int size, uint64_t* arrivalNs);

private:
    int m_nFd = -1;
    uint16_t m_nPort = 0;
    int64_t m_nRealMinusMono = 0;  // ns; set at construction, read-only afterwards
};

// libudptrans.so as the camera application loads it.
class CSuiteModule {
public:
    CSuiteModule();
    ~CSuiteModule();
    CSuiteModule(const CSuiteModule&) = delete;
    CSuiteModule& operator=(const CSuiteModule&) = delete;

    // dlopen and the exported functions; 0 or -1 (reason on stderr).
    int Open(const std::string& soPath);
    // Writes `values` over the description's defaults into a fresh store,
    // creates the module with `moduleId` and starts it (SetPwd). Returns the
    // result of SetPwd, or -1 when the store could not be written.
    int Start(const KeyValues& values, int moduleId);
    // Destroys the module (its engine stops and joins its tasks).
    void Stop();
    // Waits until the proxy holds no callback of the module, then dlclose.
    void Close();

    CAbstractUserModule* Module() { return m_pModule; }
    // Threshold of one log id of the module's own log facility.
    void SetLogThreshold(int id, int level);
    // The module's log facility back to direct output with every id silent.
    void ResetLog();
    void* Symbol(const char* name);

private:
    void* m_pHandle = nullptr;
    CAbstractUserModule* m_pModule = nullptr;
    std::string m_strDir;  // temporary working folder with the store
    std::string m_strPdesc;
};

// Sorted copy helpers for distributions.
double Percentile(const std::vector<double>& sorted, double p);

}  // namespace suite
