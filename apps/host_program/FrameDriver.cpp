#include "FrameDriver.h"

#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <system_error>
#include <vector>

#include "FrameFactory.h"
#include "TextEscape.h"

namespace hostprog {
namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

}  // namespace

CFrameDriver::CFrameDriver(CAbstractUserModule& module, zerran_app::CLocalTriggerSource& trigger,
                           const HostOptions& options, CConsole& console)
    : m_module(module), m_trigger(trigger), m_options(options), m_console(console) {}

CFrameDriver::~CFrameDriver() {
    Stop();
}

bool CFrameDriver::Start() {
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return false;  // no thread: the caller reports it and shuts down
        }
    }
    return true;
}

void CFrameDriver::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bStop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

int CFrameDriver::FireTrigger() {
    int count = 0;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (m_options.eTrigger == TriggerMode::kSoft && m_dqPending.size() >= kMaxPendingTriggers) {
            m_nTriggersRefused.fetch_add(1);
            return kTriggerRefused;
        }
        count = TriggerLocked(zerran_app::UpTimeMs(), false);
    }
    m_cv.notify_all();
    return count;
}

int CFrameDriver::TriggerLocked(uint64_t nowMs, bool timed) {
    // The image time is stamped before the count moves, so a reader that sees
    // the new count never pairs it with the previous trigger's time.
    const int count = m_trigger.TriggerAt(nowMs);
    m_nLastTriggerMs.store(nowMs);
    if (m_options.eTrigger == TriggerMode::kSoft && !m_bStop) {
        m_dqPending.push_back(PendingFrame{
            m_nNextFrame++, count, nowMs + static_cast<uint64_t>(m_options.nProcessMs), timed});
        if (timed) {
            ++m_nTimedPending;
            m_bIdle.store(false);
        }
    }
    return count;
}

FrameStats CFrameDriver::Stats() const {
    FrameStats stats = m_stStats;
    stats.nTriggersRefused = m_nTriggersRefused.load();
    return stats;
}

void CFrameDriver::Run() {
    const uint64_t startMs = zerran_app::UpTimeMs();
    int timedIssued = 0;
    std::unique_lock<std::mutex> lock(m_mtx);
    while (!m_bStop) {
        const uint64_t nowMs = zerran_app::UpTimeMs();
        const bool timedLeft = timedIssued < m_options.nFrames;
        // Due times come from the start and the index, not from the previous
        // frame, so a slow Process does not make the frame rate drift.
        const uint64_t timedDueMs =
            timedLeft
                ? startMs +
                      static_cast<uint64_t>(std::llround(timedIssued * 1000.0 / m_options.dFps))
                : kNever;
        if (timedDueMs <= nowMs) {
            ++timedIssued;
            if (m_options.eTrigger == TriggerMode::kSoft) {
                TriggerLocked(nowMs, true);
            } else {
                const int frame = m_nNextFrame++;
                const int trigger = m_trigger.TriggerCount();
                lock.unlock();
                HandOver(frame, trigger);
                lock.lock();
            }
            continue;
        }
        if (!m_dqPending.empty() && m_dqPending.front().nDueMs <= nowMs) {
            const PendingFrame pending = m_dqPending.front();
            m_dqPending.pop_front();
            if (pending.bTimed) {
                --m_nTimedPending;
            }
            // Process runs without the lock: the command handler may fire a
            // trigger meanwhile, and the module may take its time.
            lock.unlock();
            HandOver(pending.nFrame, pending.nTrigger);
            lock.lock();
            continue;
        }
        m_bIdle.store(!timedLeft && m_nTimedPending == 0);
        const uint64_t wakeMs =
            std::min(timedDueMs, m_dqPending.empty() ? kNever : m_dqPending.front().nDueMs);
        if (wakeMs == kNever) {
            m_cv.wait(lock);
        } else {
            m_cv.wait_for(lock, std::chrono::milliseconds(wakeMs - nowMs));
        }
    }
}

void CFrameDriver::HandOver(int frame, int trigger) {
    const std::string payload = m_options.bPayloadIsFile
                                    ? m_options.strPayload
                                    : ExpandPayload(m_options.strPayload, frame, trigger);
    zerran_app::CFrame record(frame, trigger, std::vector<uint8_t>(payload.begin(), payload.end()));
    int result = 0;
    bool threw = false;
    // The module lets exceptions of the framework and of components pass
    // through Process; the frame is lost, the chain goes on as the camera's
    // would. Counted, and the first few are reported.
    constexpr uint64_t kThrowsReported = 5;
    try {
        result = m_module.Process(record.Input(), record.Output());
    } catch (const std::exception& e) {
        threw = true;
        if (m_stStats.nThrew < kThrowsReported) {
            m_console.Print("frame %d: Process threw: %s", frame,
                            apps::EscapeText(e.what()).c_str());
        }
    } catch (...) {
        // Anything else a component throws: the same, without a text.
        threw = true;
        if (m_stStats.nThrew < kThrowsReported) {
            m_console.Print("frame %d: Process threw an exception that is not std::exception",
                            frame);
        }
    }
    m_nLastProcessMs.store(zerran_app::UpTimeMs());
    ++m_stStats.nHandedOver;
    const int status = record.Status();
    if (threw) {
        ++m_stStats.nThrew;
    } else if (result != 0) {
        ++m_stStats.mapRefused[result];
    } else if (status == 1) {
        ++m_stStats.nStatus1;
    } else {
        ++m_stStats.nStatus0;
    }
    if (m_options.bVerbose) {
        m_console.Print("frame %d trigger %d: Process 0x%08X, status %d", frame, trigger,
                        static_cast<unsigned>(result), status);
    }
}

}  // namespace hostprog
