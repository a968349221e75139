// CLinePrinter: one line per received datagram, as text for a person or as a
// JSON object per line for a program. The bytes are always escaped (TextEscape.h).
//
//   text:  "    62 ms   8192 -> 9000     24 bytes  "result frame=1""  [kind]
//   json:  {"type":"datagram","time_ms":62.113,"src":"127.0.0.1","sport":8192,
//           "dst":"127.0.0.1","dport":9000,"len":24,"data":"result frame=1",
//           "kind":"result"}
//
// In JSON "data" holds the same escaped text as the text line (so a byte 0x01
// is the four characters \x01), which keeps every line plain ASCII.
//
// No allocation per line: the line is built in a buffer made once and written
// with one fwrite, so lines of the printer never mix with other writers' lines
// on a stream they share under the stream's lock.
//
// Threads: one thread owns a printer.
#pragma once

#include <cstdio>
#include <memory>

#include "Datagram.h"

namespace wire {

class CLinePrinter {
public:
    enum class Format { kText, kJson };

    CLinePrinter(FILE* stream, Format format, bool showKind);
    CLinePrinter(const CLinePrinter&) = delete;
    CLinePrinter& operator=(const CLinePrinter&) = delete;

    // Writes the line of `d`; false when the stream refused it.
    bool Print(const Datagram& d, Kind kind);
    // Builds the line of `d` (newline included) and returns it; valid until the next call.
    const char* Build(const Datagram& d, Kind kind, size_t* length);

private:
    FILE* m_pStream;
    const Format m_eFormat;
    const bool m_bShowKind;
    size_t m_nCapacity;
    std::unique_ptr<char[]> m_pEscaped;  // the bytes escaped
    std::unique_ptr<char[]> m_pLine;     // the whole line
};

}  // namespace wire
