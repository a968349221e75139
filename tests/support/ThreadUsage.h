// What the scheduler gave the threads of this process, read from /proc: CPU
// time and context switches per thread or per thread name, to put the cost of
// code under measurement beside a bare loop measured in the same run; and the
// real-time threads of other processes, which can hold off real-time tasks of
// ours as no ordinary thread can.
//
// Threads: any thread may call these; they only read /proc.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ts {

struct ThreadUsage {
    uint64_t cpuNs = 0;     // on the CPU since the thread started
    uint64_t switches = 0;  // voluntary and involuntary context switches
    int threads = 0;        // how many threads the figures sum
};

// The thread `tid` of this process (nothing when it is gone).
ThreadUsage UsageOfThread(int tid);
// All threads of this process named `name`, summed.
ThreadUsage UsageOfThreads(const std::string& name);
// The kernel's id of the calling thread.
int CurrentTid();
// "name(pid)" of every SCHED_FIFO or SCHED_RR thread of other user-space
// processes right now.
std::vector<std::string> OtherRealtimeThreads();

}  // namespace ts
