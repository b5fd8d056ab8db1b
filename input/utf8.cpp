// UTF-8, the one rule of what a valid sequence is and how a code point is
// written, for every reader of a source's bytes (the page, the server).
#include "input/input.h"

namespace input {

std::size_t utf8_length(const unsigned char* p, std::size_t n) {
    unsigned char b = p[0];
    if (b < 0x80) return 1;
    std::size_t len = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (len == 0 || n < len) return 0;
    for (std::size_t i = 1; i < len; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    if (b == 0xE0 && p[1] < 0xA0) return 0;   // overlong
    if (b == 0xED && p[1] >= 0xA0) return 0;  // surrogate
    if (b == 0xF0 && p[1] < 0x90) return 0;   // overlong
    if (b == 0xF4 && p[1] >= 0x90) return 0;  // past U+10FFFF
    return len;
}

char32_t utf8_value(const unsigned char* p, std::size_t len) {
    if (len == 1) return p[0];
    char32_t c = p[0] & (0x7F >> len);
    for (std::size_t i = 1; i < len; ++i) c = (c << 6) | (p[i] & 0x3F);
    return c;
}

std::size_t put_utf8(char32_t c, char* to) {
    if (c < 0x80) {
        to[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        to[0] = static_cast<char>(0xC0 | (c >> 6));
        to[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        to[0] = static_cast<char>(0xE0 | (c >> 12));
        to[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        to[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    to[0] = static_cast<char>(0xF0 | (c >> 18));
    to[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    to[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    to[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

}  // namespace input
