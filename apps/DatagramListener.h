// CDatagramListener: a receiver on the module's target ports that prints each
// datagram as it arrives, so that one run of the program shows results,
// heartbeats and command answers without a second tool.
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
#include <vector>

#include "Console.h"

namespace host {

class CDatagramListener {
public:
    CDatagramListener(CConsole& console, std::chrono::steady_clock::time_point start);
    ~CDatagramListener();
    CDatagramListener(const CDatagramListener&) = delete;
    CDatagramListener& operator=(const CDatagramListener&) = delete;

    // Binds a UDP socket on `address`:`port` (host byte order). 0, or the
    // errno of the failed call. Before Start only.
    int Add(uint32_t address, uint16_t port);
    bool Empty() const { return m_vecSocket.empty(); }

    // Starts the receive thread; false when it cannot be created.
    bool Start();
    void Stop();  // joins the thread and closes the sockets

    uint64_t Count() const { return m_nCount.load(); }

private:
    struct Socket {
        int nFd;
        uint16_t nPort;
    };

    void Run();

    CConsole& m_console;
    const std::chrono::steady_clock::time_point m_tStart;
    std::vector<Socket> m_vecSocket;  // set up before Start, used by the thread only
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};   // written by Stop, read by the thread
    std::atomic<uint64_t> m_nCount{0};  // written by the thread, read by any
};

}  // namespace host
