#include "TextEscape.h"

#include <cstdio>

namespace apps {
namespace {

constexpr std::string_view kReset = "\x1b[0m";

// Length of an SGR sequence ("ESC [ digits/semicolons m") at the start of
// `text`, 0 when there is none.
size_t ColourPrefix(std::string_view text) {
    if (text.size() < 3 || text[0] != '\x1b' || text[1] != '[') {
        return 0;
    }
    for (size_t i = 2; i < text.size() && i < 16; ++i) {
        const char c = text[i];
        if (c == 'm') {
            return i + 1;
        }
        if ((c < '0' || c > '9') && c != ';') {
            return 0;
        }
    }
    return 0;
}

void TrimLineEnd(std::string_view& text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
}

}  // namespace

std::string EscapeText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char raw : bytes) {
        const unsigned char c = static_cast<unsigned char>(raw);
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            default:
                if (c >= 0x20 && c < 0x7f) {
                    out += static_cast<char>(c);
                } else {
                    char hex[8];
                    std::snprintf(hex, sizeof(hex), "\\x%02x", c);
                    out += hex;
                }
        }
    }
    return out;
}

std::string EscapeLogLine(std::string_view line, bool colour) {
    // The module wraps a coloured line as ESC[..m <text> \r\n ESC[0m.
    const size_t prefix = ColourPrefix(line);
    std::string_view start = line.substr(0, prefix);
    line.remove_prefix(prefix);
    if (prefix != 0 && line.size() >= kReset.size() &&
        line.substr(line.size() - kReset.size()) == kReset) {
        line.remove_suffix(kReset.size());
    }
    TrimLineEnd(line);
    // Quotes and backslashes are the module's own text here, not a value in
    // quotes: only what could act on a terminal is escaped.
    std::string body;
    body.reserve(line.size());
    for (const char raw : line) {
        const unsigned char c = static_cast<unsigned char>(raw);
        if (c >= 0x20 && c < 0x7f) {
            body += static_cast<char>(c);
        } else {
            body += EscapeText(std::string_view(&raw, 1));
        }
    }
    if (!colour || prefix == 0) {
        return body;
    }
    // The reset is always written after a kept colour, so that a line cut
    // short never leaves the terminal coloured.
    return std::string(start) + body + std::string(kReset);
}

}  // namespace apps
