#include "Escape.h"

#include <cstdio>

namespace wire {

namespace {

const char kHex[] = "0123456789abcdef";

}  // namespace

size_t EscapeTo(const char* bytes, size_t length, char* out, size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        char piece[kEscapeWidth];
        size_t width = 2;
        piece[0] = '\\';
        switch (c) {
            case '\r':
                piece[1] = 'r';
                break;
            case '\n':
                piece[1] = 'n';
                break;
            case '\t':
                piece[1] = 't';
                break;
            case '\\':
                piece[1] = '\\';
                break;
            case '"':
                piece[1] = '"';
                break;
            default:
                if (c >= 0x20 && c < 0x7f) {
                    piece[0] = static_cast<char>(c);
                    width = 1;
                } else {
                    piece[1] = 'x';
                    piece[2] = kHex[c >> 4];
                    piece[3] = kHex[c & 0x0f];
                    width = 4;
                }
        }
        if (n + width >= capacity) {
            break;
        }
        for (size_t k = 0; k < width; ++k) {
            out[n++] = piece[k];
        }
    }
    out[n] = '\0';
    return n;
}

std::string Escape(const char* bytes, size_t length) {
    std::string out(length * kEscapeWidth + 1, '\0');
    out.resize(EscapeTo(bytes, length, &out[0], out.size()));
    return out;
}

size_t JsonQuoteTo(const char* text, size_t length, char* out, size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char piece[6];
        size_t width = 1;
        if (c == '\\' || c == '"') {
            piece[0] = '\\';
            piece[1] = static_cast<char>(c);
            width = 2;
        } else if (c < 0x20 || c >= 0x7f) {
            piece[0] = '\\';
            piece[1] = 'u';
            piece[2] = '0';
            piece[3] = '0';
            piece[4] = kHex[c >> 4];
            piece[5] = kHex[c & 0x0f];
            width = 6;
        } else {
            piece[0] = static_cast<char>(c);
        }
        if (n + width >= capacity) {
            break;
        }
        for (size_t k = 0; k < width; ++k) {
            out[n++] = piece[k];
        }
    }
    out[n] = '\0';
    return n;
}

}  // namespace wire
