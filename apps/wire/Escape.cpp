#include "Escape.h"

#include <cstring>

namespace wire {

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

}  // namespace wire
