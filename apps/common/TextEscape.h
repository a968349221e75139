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

// The most bytes one input byte can take once escaped ("\xNN").
constexpr size_t kEscapeWidth = 4;

// `bytes` as printable text: printable ASCII as it is, \r \n \t \\ \" as
// such, every other byte (control bytes, DEL, bytes of 0x80 and above) as \xNN.
// Written into `out` (capacity `capacity`, always zero-terminated when
// capacity > 0); returns the length written. Stops before an escape that would
// not fit whole, so the text is never cut inside one. No allocation: the
// per-datagram paths use this form.
size_t EscapeTo(const char* bytes, size_t length, char* out, size_t capacity);

// The same as a string, for the paths where allocation does not matter.
std::string EscapeText(std::string_view bytes);
inline std::string EscapeText(const char* bytes, size_t length) {
    return EscapeText(std::string_view(bytes, length));
}

// Writes `text` (already printable ASCII) as the body of a JSON string:
// \ and " get their backslash, control bytes \u00NN. Same contract as EscapeTo.
size_t JsonQuoteTo(const char* text, size_t length, char* out, size_t capacity);

// A log line of the module as the host prints it: the module's own colour
// around the line (one SGR sequence at the start, the reset at the end) is
// kept when `colour` is set and dropped otherwise; the line end is removed;
// everything else is escaped like EscapeText, so bytes that a peer got into
// the line cannot act on the terminal.
std::string EscapeLogLine(std::string_view line, bool colour);

}  // namespace apps
