#include "Monitor.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "TextEscape.h"
#include "Report.h"

namespace monitor {

namespace {

uint64_t SecondsToUs(double seconds) {
    return static_cast<uint64_t>(seconds * 1e6);
}

}  // namespace

CMonitor::CMonitor(const MonitorOptions& options, FILE* out)
    : m_options(options),
      m_pOut(out),
      m_nStartUs(wire::MonotonicUs()),
      m_sockets(m_nStartUs),
      m_printer(
          out,
          options.bJson ? wire::CLinePrinter::Format::kJson : wire::CLinePrinter::Format::kText,
          true),
      m_pcap(m_nStartUs) {
    if (options.bHeartbeatText) {
        m_classifier.SetHeartbeatText(options.strHeartbeatText);
    }
}

uint64_t CMonitor::NowUs() const {
    return wire::MonotonicUs() - m_nStartUs;
}

int CMonitor::Open() {
    for (const wire::Address& address : m_options.vecListen) {
        const int error = m_sockets.Add(address);
        if (error != 0) {
            std::fprintf(stderr, "udptrans-monitor: cannot listen on %s: %s\n",
                         wire::FormatAddress(address).c_str(), std::strerror(error));
            return kExitStartup;
        }
        std::fprintf(stderr, "udptrans-monitor: listening on %s\n",
                     wire::FormatAddress(m_sockets.Local(m_sockets.Size() - 1)).c_str());
    }
    if (!m_options.strPcap.empty()) {
        std::string error;
        if (!m_pcap.Open(m_options.strPcap, error)) {
            std::fprintf(stderr, "udptrans-monitor: cannot write the capture: %s\n", error.c_str());
            return kExitStartup;
        }
    }
    if (m_options.bSend) {
        // Without a listening socket the command leaves from a port of its
        // own, where an answer arrives only if that is the camera's target.
        if (m_sockets.Size() == 0) {
            const int error = m_sockets.Add(wire::Address{0, 0});
            if (error != 0) {
                std::fprintf(stderr, "udptrans-monitor: cannot open a socket: %s\n",
                             std::strerror(error));
                return kExitStartup;
            }
        }
        m_nAnswerUntilUs = NowUs() + SecondsToUs(m_options.dAnswerWaitS);
        m_classifier.ExpectAnswer(m_nAnswerUntilUs);
        const std::string shown =
            apps::EscapeText(m_options.strSend.data(), m_options.strSend.size());
        const int error =
            m_sockets.SendTo(0, m_options.to, m_options.strSend.data(), m_options.strSend.size());
        if (error != 0) {
            std::fprintf(stderr, "udptrans-monitor: cannot send \"%s\" to %s: %s\n", shown.c_str(),
                         wire::FormatAddress(m_options.to).c_str(), std::strerror(error));
            return kExitStartup;
        }
        std::fprintf(stderr,
                     "udptrans-monitor: sent \"%s\" to %s from port %u; the camera answers at "
                     "its configured target\n",
                     shown.c_str(), wire::FormatAddress(m_options.to).c_str(),
                     m_sockets.Local(0).nPort);
    }
    return 0;
}

void CMonitor::Account(wire::Kind kind, size_t length, uint64_t timeUs, bool duplicate) {
    m_figures.Add(kind, length, timeUs, duplicate);
}

void CMonitor::OnDatagram(const wire::Datagram& d) {
    if (m_bCountReached) {
        return;  // read in the same batch as the last one counted
    }
    // Idle since the previous datagram, or since the start for the first: a
    // link silent for a second since we began listening was idle that long.
    const uint64_t idle = d.nTimeUs - m_nLastArrivalUs;
    m_nLastArrivalUs = d.nTimeUs;
    const wire::CClassifier::Verdict verdict = m_classifier.Classify(d, idle);
    const bool duplicate = m_duplicates.Check(d);
    if (m_held.bHeld) {
        Account(verdict.bCandidateWasHeart ? wire::Kind::kHeartbeat : wire::Kind::kResult,
                m_held.nLen, m_held.nTimeUs, m_held.bDuplicate);
        m_held.bHeld = false;
    }
    if (verdict.bCandidate) {
        m_held = Held{true, d.nLen, d.nTimeUs, duplicate};
    } else {
        Account(verdict.kind, d.nLen, d.nTimeUs, duplicate);
    }
    if (d.bTruncated) {
        m_figures.AddTruncated();
    }
    m_bAnswered = m_bAnswered || verdict.kind == wire::Kind::kAnswer;
    m_pcap.Write(d);
    if (!m_options.bQuiet) {
        m_printer.Print(d, verdict.kind);
    }
    if (m_options.nCount != 0 && ++m_nSeen >= m_options.nCount) {
        m_bCountReached = true;
    }
}

wire::CStatistics CMonitor::Figures() const {
    wire::CStatistics figures = m_figures;
    if (m_held.bHeld) {
        figures.Add(wire::Kind::kResult, m_held.nLen, m_held.nTimeUs, m_held.bDuplicate);
    }
    return figures;
}

void CMonitor::Report(const char* type, int status, const std::string& reason) {
    ReportContext context;
    context.nNowUs = NowUs();
    context.nKernelDrops = m_sockets.KernelDrops();
    context.bHeartbeatKnown = m_classifier.HeartbeatKnown();
    context.bHeartbeatLearned = m_classifier.HeartbeatLearned();
    context.strHeartbeat = m_classifier.HeartbeatText();
    context.expect = m_options.expect;
    const wire::CStatistics figures = Figures();
    if (m_options.bJson) {
        WriteFiguresJson(m_pOut, type, figures, context, status, reason);
    } else {
        WriteFiguresText(m_pOut, figures, context);
    }
    std::fflush(m_pOut);
}

int CMonitor::Run(int wakeFd) {
    const bool sendOnly = m_options.bSend && m_options.vecListen.empty();
    const uint64_t statsEveryUs = SecondsToUs(m_options.dStatsEveryS);
    const uint64_t endUs = m_options.dDurationS > 0 ? SecondsToUs(m_options.dDurationS) : 0;
    uint64_t nextStatsUs = statsEveryUs;
    int signal = -1;
    for (;;) {
        uint64_t now = NowUs();
        // Wake for the next thing due, and at least once a second.
        uint64_t waitUs = 1000000;
        if (statsEveryUs != 0) {
            waitUs = std::min(waitUs, nextStatsUs > now ? nextStatsUs - now : 0);
        }
        if (endUs != 0) {
            waitUs = std::min(waitUs, endUs > now ? endUs - now : 0);
        }
        if (sendOnly) {
            waitUs = std::min(waitUs, m_nAnswerUntilUs > now ? m_nAnswerUntilUs - now : 0);
        }
        if (m_sockets.Wait(static_cast<int>((waitUs + 999) / 1000), wakeFd)) {
            unsigned char byte = 0;
            signal = read(wakeFd, &byte, 1) == 1 ? byte : 0;
            break;
        }
        // One batch, then one flush: a burst costs one write, and a reader of
        // a pipe sees each batch as soon as it was read.
        if (m_sockets.Drain(*this) != 0) {
            std::fflush(m_pOut);
            m_pcap.Flush();
        }
        now = NowUs();
        if (statsEveryUs != 0 && now >= nextStatsUs) {
            Report("stats", -1, std::string());
            while (nextStatsUs <= now) {
                nextStatsUs += statsEveryUs;
            }
        }
        if (m_bCountReached || (endUs != 0 && now >= endUs) ||
            (sendOnly && (m_bAnswered || now > m_nAnswerUntilUs))) {
            break;
        }
    }
    m_pcap.Flush();

    const uint64_t now = NowUs();
    std::string reason;
    if (m_options.expect.Any()) {
        reason = wire::Judge(m_options.expect, Figures(), now);
    }
    if (m_options.bSend && !m_bAnswered && reason.empty()) {
        const std::string shown =
            apps::EscapeText(m_options.strSend.data(), m_options.strSend.size());
        char text[512];
        std::snprintf(text, sizeof(text), "no answer to \"%s\" within %.0f ms", shown.c_str(),
                      m_options.dAnswerWaitS * 1000.0);
        reason = text;
    }
    int status = reason.empty() ? kExitMet : kExitBroken;
    if (signal > 0 && !m_options.expect.Any()) {
        status = 128 + signal;
    }
    if (!sendOnly || m_options.bJson) {
        Report("summary", status, reason);
    }
    if (!reason.empty()) {
        std::fprintf(stderr, "udptrans-monitor: %s\n", reason.c_str());
    } else if (m_options.expect.Any()) {
        std::fprintf(stderr, "udptrans-monitor: every expectation met\n");
    }
    return status;
}

}  // namespace monitor
