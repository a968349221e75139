// Escaping of untrusted bytes before they reach a terminal: datagrams, texts
// from the parameter store, command-line values and the module's log lines
// all pass through here, so that no peer can move the cursor, retitle the
// window or clear the screen of whoever watches the output.
//
// Shared by the host program and the monitor. Threads: pure functions, any
// thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace apps {

// `bytes` as printable text: printable ASCII as it is, \r \n \t \\ \" as
// such, every other byte (control bytes, DEL, bytes of 0x80 and above) as \xNN.
std::string EscapeText(std::string_view bytes);
inline std::string EscapeText(const char* bytes, size_t length) {
    return EscapeText(std::string_view(bytes, length));
}

// A log line of the module as the host prints it: the module's own colour
// around the line (one SGR sequence at the start, the reset at the end) is
// kept when `colour` is set and dropped otherwise; the line end is removed;
// everything else is escaped like EscapeText, so bytes that a peer got into
// the line cannot act on the terminal.
std::string EscapeLogLine(std::string_view line, bool colour);

}  // namespace apps
