#include "DatagramListener.h"

#include <cerrno>
#include <system_error>

namespace hostprog {
namespace {

uint64_t SteadyUs(std::chrono::steady_clock::time_point t) {
    // steady_clock is CLOCK_MONOTONIC, the clock the socket set times with.
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
}

}  // namespace

CDatagramListener::CDatagramListener(CConsole& console, std::chrono::steady_clock::time_point start)
    : m_console(console),
      m_sockets(SteadyUs(start)),
      m_pPrinter(new wire::CLinePrinter(nullptr, wire::CLinePrinter::Format::kText, false)) {}

CDatagramListener::~CDatagramListener() {
    Stop();
}

void CDatagramListener::SetFormat(const Format& format) {
    m_pPrinter.reset(new wire::CLinePrinter(
        nullptr,
        format.bJson ? wire::CLinePrinter::Format::kJson : wire::CLinePrinter::Format::kText,
        false));
    m_bQuiet = format.bQuiet;
    // The module's heartbeat is at most as long as the classifier knows; a
    // longer text (refused by the store anyway) leaves every datagram a result.
    if (!format.strHeartbeat.empty()) {
        m_classifier.SetHeartbeatText(format.strHeartbeat);
    }
}

int CDatagramListener::Add(uint32_t address, uint16_t port) {
    wire::Address local;
    local.nIp = address;
    local.nPort = port;
    return m_sockets.Add(local);
}

bool CDatagramListener::Start() {
    if (m_sockets.Size() != 0 && !m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return false;  // no thread: the caller reports it and shuts down
        }
    }
    return true;
}

void CDatagramListener::Stop() {
    m_bStop.store(true);
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CDatagramListener::Run() {
    while (!m_bStop.load()) {
        // Bounded wait so that Stop is seen without a wake-up descriptor.
        m_sockets.Wait(50, -1);
        m_sockets.Drain(*this);
    }
}

void CDatagramListener::OnDatagram(const wire::Datagram& datagram) {
    m_nCount.fetch_add(1);
    if (m_bQuiet) {
        return;
    }
    // Heartbeats are told by their text alone: nothing is learned here.
    const wire::Kind kind = m_classifier.Classify(datagram, 0).kind;
    size_t length = 0;
    const char* line = m_pPrinter->Build(datagram, kind, &length);
    m_console.Write(line, length);
}

}  // namespace hostprog
