#include "LinePrinter.h"

#include <cstring>

#include "Address.h"
#include "TextEscape.h"
#include "SocketSet.h"

namespace wire {

namespace {

// JSON quoting can grow an escaped byte ("\xHH", 4) to 5 ("\\xHH").
constexpr size_t kJsonGrowth = 2;
constexpr size_t kFrame = 512;  // everything of a line but the bytes

}  // namespace

CLinePrinter::CLinePrinter(FILE* stream, Format format, bool showKind)
    : m_pStream(stream),
      m_eFormat(format),
      m_bShowKind(showKind),
      m_nCapacity(CSocketSet::kMaxDatagram * apps::kEscapeWidth + 1),
      m_pEscaped(new char[m_nCapacity]),
      m_pLine(new char[m_nCapacity * kJsonGrowth + kFrame]) {}

const char* CLinePrinter::Build(const Datagram& d, Kind kind, size_t* length) {
    const size_t escaped = apps::EscapeTo(d.pData, d.nLen, m_pEscaped.get(), m_nCapacity);
    const size_t lineCapacity = m_nCapacity * kJsonGrowth + kFrame;
    char* line = m_pLine.get();
    int n = 0;
    if (m_eFormat == Format::kText) {
        n = std::snprintf(line, lineCapacity, "%7llu ms  %5u -> %-5u %5zu bytes  \"%s\"%s%s\n",
                          static_cast<unsigned long long>(d.nTimeUs / 1000), d.nSrcPort, d.nDstPort,
                          d.nLen, m_pEscaped.get(), m_bShowKind ? "  " : "",
                          m_bShowKind ? KindName(kind) : "");
    } else {
        char src[16];
        char dst[16];
        n = std::snprintf(line, lineCapacity,
                          "{\"type\":\"datagram\",\"time_ms\":%llu.%03u,\"src\":\"%s\","
                          "\"sport\":%u,\"dst\":\"%s\",\"dport\":%u,\"len\":%zu,%s\"data\":\"",
                          static_cast<unsigned long long>(d.nTimeUs / 1000),
                          static_cast<unsigned>(d.nTimeUs % 1000), FormatIp(d.nSrcIp, src),
                          d.nSrcPort, FormatIp(d.nDstIp, dst), d.nDstPort, d.nLen,
                          d.bTruncated ? "\"truncated\":true," : "");
        const size_t at = static_cast<size_t>(n);
        const size_t quoted =
            apps::JsonQuoteTo(m_pEscaped.get(), escaped, line + at, lineCapacity - at - 64);
        n = static_cast<int>(at + quoted);
        n += std::snprintf(line + n, lineCapacity - static_cast<size_t>(n), "\",\"kind\":\"%s\"}\n",
                           KindName(kind));
    }
    *length = static_cast<size_t>(n);
    return line;
}

bool CLinePrinter::Print(const Datagram& d, Kind kind) {
    size_t length = 0;
    const char* line = Build(d, kind, &length);
    return std::fwrite(line, 1, length, m_pStream) == length;
}

}  // namespace wire
