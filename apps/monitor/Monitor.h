// CMonitor: the receiving run of udptrans-monitor. Listens on the sockets of
// the options, classifies, counts, prints and captures every datagram, sends
// the command of --send, reports the figures and judges the expectations.
//
// Memory is fixed once Open has returned: the receive buffer, the line
// buffers, the histograms and the duplicate ring are made there, and nothing
// is allocated per datagram.
//
// Threads: Open and Run on one thread (the main thread in the program, any
// one thread in a test or benchmark). Run stops when a byte arrives on its
// wake descriptor: a signal number (the program's signal handler writes it)
// or 0 for a plain stop.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "Classifier.h"
#include "DuplicateFilter.h"
#include "LinePrinter.h"
#include "MonitorOptions.h"
#include "PcapWriter.h"
#include "SocketSet.h"
#include "Statistics.h"

namespace monitor {

class CMonitor : private wire::CSocketSet::Sink {
public:
    CMonitor(const MonitorOptions& options, FILE* out);
    CMonitor(const CMonitor&) = delete;
    CMonitor& operator=(const CMonitor&) = delete;

    // Binds the sockets, opens the capture file and sends the command. 0, or
    // kExitStartup with the reason on standard error.
    int Open();
    // The address socket `index` listens on (after Open).
    wire::Address Local(size_t index) const { return m_sockets.Local(index); }

    // Receives until the end of the run and returns the exit status.
    int Run(int wakeFd);

    // The figures so far, a candidate heartbeat still held counted as a result.
    wire::CStatistics Figures() const;
    // Datagrams the kernel dropped on our sockets: the receiver fell behind.
    uint64_t KernelDrops() const { return m_sockets.KernelDrops(); }

private:
    void OnDatagram(const wire::Datagram& d) override;
    void Account(wire::Kind kind, size_t length, uint64_t timeUs, bool duplicate);
    uint64_t NowUs() const;
    void Report(const char* type, int status, const std::string& reason);

    const MonitorOptions m_options;
    FILE* m_pOut;
    const uint64_t m_nStartUs;
    wire::CSocketSet m_sockets;
    wire::CClassifier m_classifier;
    wire::CDuplicateFilter m_duplicates;
    wire::CStatistics m_figures;
    wire::CLinePrinter m_printer;
    wire::CPcapWriter m_pcap;

    // A first copy of what may be a learned heartbeat, held out of the figures
    // until the next datagram tells what it was.
    struct Held {
        bool bHeld = false;
        size_t nLen = 0;
        uint64_t nTimeUs = 0;
        bool bDuplicate = false;
    } m_held;
    uint64_t m_nLastArrivalUs = 0;  // since the start; 0 before the first datagram
    uint64_t m_nSeen = 0;
    bool m_bCountReached = false;
    bool m_bAnswered = false;
    uint64_t m_nAnswerUntilUs = 0;
};

}  // namespace monitor
