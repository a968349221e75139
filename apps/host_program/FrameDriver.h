// CFrameDriver: the processing chain in front of the module. It produces
// frames on a timer and hands each to the module's Process on one processing
// thread, as the camera does.
//
// Free-running: a frame every 1/fps seconds, with the trigger source's current
// count. Triggered ("soft"): every frame is preceded by a software trigger
// (count + 1, image time stamped on the up-time clock) and reaches Process
// `processMs` after its trigger; a trigger requested from the network makes a
// frame too. Frames are handed over in trigger order.
//
// Threads: Start, Stop and Stats on the main thread; Run on the processing
// thread; FireTrigger from any thread (the command handler's). m_mtx guards
// the pending frames and the frame counter; the progress values are atomic.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "Console.h"
#include "HostOptions.h"
#include "LocalTriggerSource.h"
#include "algo/AbstractUserModule.h"

namespace hostprog {

struct FrameStats {
    uint64_t nHandedOver = 0;
    uint64_t nStatus1 = 0;
    uint64_t nStatus0 = 0;
    uint64_t nThrew = 0;                 // Process ended with an exception
    std::map<int, uint64_t> mapRefused;  // Process result code -> frames
    uint64_t nTriggersRefused = 0;       // remote triggers beyond the pending bound
};

class CFrameDriver {
public:
    CFrameDriver(CAbstractUserModule& module, zerran_app::CLocalTriggerSource& trigger,
                 const HostOptions& options, CConsole& console);
    ~CFrameDriver();
    CFrameDriver(const CFrameDriver&) = delete;
    CFrameDriver& operator=(const CFrameDriver&) = delete;

    // Starts the processing thread; false when it cannot be created.
    bool Start();
    // Ends the processing thread; frames still waiting for their processing
    // time are dropped (they were never handed over).
    void Stop();

    // A software trigger now, as from a trigger input; in triggered mode its
    // frame follows. Returns the new trigger count, or kTriggerRefused when
    // kMaxPendingTriggers frames already wait (nothing changes then).
    static constexpr int kTriggerRefused = -1;
    int FireTrigger();

    // True once every timed frame has been handed over. Frames of remote
    // triggers do not count: a flood of them must not keep the host running.
    bool Idle() const { return m_bIdle.load(); }
    // Up-time (ms) of the last trigger and the last hand-over; 0 when none.
    uint64_t LastTriggerMs() const { return m_nLastTriggerMs.load(); }
    uint64_t LastProcessMs() const { return m_nLastProcessMs.load(); }

    FrameStats Stats() const;  // after Stop

private:
    struct PendingFrame {
        int nFrame;
        int nTrigger;
        uint64_t nDueMs;  // up-time at which the frame reaches Process
        bool bTimed;      // from the timer, not from a remote trigger
    };

    void Run();
    // Soft trigger and its frame; caller holds m_mtx.
    int TriggerLocked(uint64_t nowMs, bool timed);
    void HandOver(int frame, int trigger);

    CAbstractUserModule& m_module;
    zerran_app::CLocalTriggerSource& m_trigger;
    const HostOptions& m_options;
    CConsole& m_console;

    std::mutex m_mtx;  // guards the five members below
    std::condition_variable m_cv;
    std::deque<PendingFrame> m_dqPending;
    int m_nNextFrame = 1;
    int m_nTimedPending = 0;  // timed frames in m_dqPending
    bool m_bStop = false;

    std::thread m_thread;
    std::atomic<bool> m_bIdle{false};
    std::atomic<uint64_t> m_nLastTriggerMs{0};
    std::atomic<uint64_t> m_nLastProcessMs{0};
    std::atomic<uint64_t> m_nTriggersRefused{0};  // written by FireTrigger's callers
    FrameStats m_stStats;  // processing thread only; read by Stats after the join
};

}  // namespace hostprog
