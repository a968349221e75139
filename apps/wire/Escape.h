// Escaping of bytes that came from the network before they reach a terminal,
// a log or a JSON string: printable ASCII stays, \r \n \t \\ \" keep their
// short forms and every other byte becomes \xHH. The same rules as the host
// program's listener, so both programs show a datagram the same way.
//
// Threads: pure functions, any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace wire {

// The most bytes one input byte can take once escaped ("\xHH").
constexpr size_t kEscapeWidth = 4;

// Writes the escaped form of `bytes` into `out` (capacity `capacity`, always
// zero-terminated when capacity > 0) and returns the length written. Stops
// before an escape that would not fit whole, so the text is never cut inside
// one. No allocation: the per-datagram path uses this form.
size_t EscapeTo(const char* bytes, size_t length, char* out, size_t capacity);

// The escaped form as a string, for the paths where allocation does not
// matter. The same interface as the host program's text escaper, so that the
// two can become one.
std::string EscapeText(std::string_view bytes);
inline std::string EscapeText(const char* bytes, size_t length) {
    return EscapeText(std::string_view(bytes, length));
}

// Writes `text` (already printable ASCII) as the body of a JSON string:
// \ and " get their backslash, control bytes \u00HH. Same contract as EscapeTo.
size_t JsonQuoteTo(const char* text, size_t length, char* out, size_t capacity);

}  // namespace wire
