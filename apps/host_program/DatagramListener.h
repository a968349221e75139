// CDatagramListener: a receiver on the module's target ports that prints each
// datagram as it arrives, so that one run of the program shows results,
// heartbeats and command answers without a second tool. The sockets and the
// line are the receiving side's (wire::CSocketSet, wire::CLinePrinter), so
// the host program and udptrans-monitor print a datagram the same way, as
// text or as JSON lines.
//
// Threads: Add, Start and Stop on the main thread; the receive loop runs on
// the listener's own thread, which owns the sockets until Stop has joined it.
// Count may be read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "Classifier.h"
#include "Console.h"
#include "LinePrinter.h"
#include "SocketSet.h"

namespace hostprog {

class CDatagramListener : private wire::CSocketSet::Sink {
public:
    struct Format {
        bool bJson = false;        // JSON objects instead of text lines
        bool bQuiet = false;       // count only, print nothing
        std::string strHeartbeat;  // the module's heartbeat text, for the JSON "kind"
    };

    CDatagramListener(CConsole& console, std::chrono::steady_clock::time_point start);
    ~CDatagramListener();
    CDatagramListener(const CDatagramListener&) = delete;
    CDatagramListener& operator=(const CDatagramListener&) = delete;

    // Before Start only.
    void SetFormat(const Format& format);
    // Binds a UDP socket on `address`:`port` (host byte order). 0, or the
    // errno of the failed call. Before Start only.
    int Add(uint32_t address, uint16_t port);
    bool Empty() const { return m_sockets.Size() == 0; }

    // Starts the receive thread; false when it cannot be created.
    bool Start();
    void Stop();  // joins the thread

    uint64_t Count() const { return m_nCount.load(); }

private:
    void Run();
    void OnDatagram(const wire::Datagram& datagram) override;

    CConsole& m_console;
    wire::CSocketSet m_sockets;  // set up before Start, used by the thread only
    std::unique_ptr<wire::CLinePrinter> m_pPrinter;
    wire::CClassifier m_classifier;
    bool m_bQuiet = false;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};   // written by Stop, read by the thread
    std::atomic<uint64_t> m_nCount{0};  // written by the thread, read by any
};

}  // namespace hostprog
