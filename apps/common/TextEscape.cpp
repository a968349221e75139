#include "TextEscape.h"

#include <cstring>

namespace apps {
namespace {

const char kHex[] = "0123456789abcdef";
constexpr size_t kMaxPiece = 6;

// The loop both escapers share: `piece(c, out)` writes the form of byte c
// (at most kMaxPiece bytes) and returns its width; a form that does not fit
// whole, with the terminator, ends the text.
template <typename Piece>
size_t EscapeWith(const char* bytes, size_t length, char* out, size_t capacity, Piece piece) {
    if (capacity == 0) {
        return 0;
    }
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        char form[kMaxPiece];
        const size_t width = piece(static_cast<unsigned char>(bytes[i]), form);
        if (n + width >= capacity) {
            break;
        }
        for (size_t k = 0; k < width; ++k) {
            out[n++] = form[k];
        }
    }
    out[n] = '\0';
    return n;
}

size_t Hex(unsigned char c, char* form, size_t at) {
    form[at] = kHex[c >> 4];
    form[at + 1] = kHex[c & 0x0f];
    return at + 2;
}

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

size_t EscapeTo(const char* bytes, size_t length, char* out, size_t capacity) {
    return EscapeWith(bytes, length, out, capacity, [](unsigned char c, char* form) -> size_t {
        form[0] = '\\';
        switch (c) {
            case '\r':
                form[1] = 'r';
                return 2;
            case '\n':
                form[1] = 'n';
                return 2;
            case '\t':
                form[1] = 't';
                return 2;
            case '\\':
            case '"':
                form[1] = static_cast<char>(c);
                return 2;
            default:
                if (c >= 0x20 && c < 0x7f) {
                    form[0] = static_cast<char>(c);
                    return 1;
                }
                form[1] = 'x';
                return Hex(c, form, 2);
        }
    });
}

std::string EscapeText(std::string_view bytes) {
    std::string out(bytes.size() * kEscapeWidth + 1, '\0');
    out.resize(EscapeTo(bytes.data(), bytes.size(), &out[0], out.size()));
    return out;
}

size_t JsonQuoteTo(const char* text, size_t length, char* out, size_t capacity) {
    return EscapeWith(text, length, out, capacity, [](unsigned char c, char* form) -> size_t {
        if (c == '\\' || c == '"') {
            form[0] = '\\';
            form[1] = static_cast<char>(c);
            return 2;
        }
        if (c < 0x20 || c >= 0x7f) {
            std::memcpy(form, "\\u00", 4);
            return Hex(c, form, 4);
        }
        form[0] = static_cast<char>(c);
        return 1;
    });
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
            char form[kEscapeWidth + 1];
            body.append(form, EscapeTo(&raw, 1, form, sizeof(form)));
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
