// The byte rules of the page: what each byte of a name or a line becomes in
// the page's text, and in its ids and fragments.
#include <cstring>

#include "html/html.h"
#include "input/input.h"

namespace html {

namespace {

// Code page 437, bytes 128 to 255.
constexpr char16_t CP437_HIGH[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC,
    0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2,
    0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310,
    0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C,
    0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF,
    0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2,
    0x25A0, 0x00A0,
};

// Bytes the page shows as they are: printable ASCII but the markup characters, and the tab.
struct ByteTable {
    bool bits[256];
};
constexpr ByteTable make_shown_as_is() {
    ByteTable t{};
    for (int b = 0x20; b < 0x7F; ++b) t.bits[b] = b != '<' && b != '>' && b != '&' && b != '"';
    t.bits[static_cast<unsigned char>('\t')] = true;
    return t;
}
constexpr ByteTable SHOWN_AS_IS = make_shown_as_is();

// The character reference a markup character is shown as, or nullptr.
const char* reference_of(unsigned char b) {
    switch (b) {
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    case '&':
        return "&amp;";
    case '"':
        return "&quot;";
    default:
        return nullptr;
    }
}

// Length of the valid UTF-8 sequence at p (of at most n bytes) that stands
// for a character fit to show, or 0: C1 controls and noncharacters are shown
// byte by byte instead, as a parser of the page would take them for errors.
std::size_t shown_utf8_length(const unsigned char* p, std::size_t n) {
    std::size_t len = input::utf8_length(p, n);
    if (len < 2) return 0;
    char32_t c = input::utf8_value(p, len);
    if (c <= 0x9F || (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE) return 0;
    return len;
}

// The bidirectional control a valid sequence of k bytes at p stands for, or
// 0: shown as itself, it would reorder the text around it on the page.
char32_t bidi_control(const unsigned char* p, std::size_t k) {
    char32_t c = k == 2 ? ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu)
                        : k == 3 ? ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu) : 0;
    bool bidi = c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    return bidi ? c : 0;
}

// Its code point, "U+202E", in a marked span, or alone where no markup can stand.
std::size_t put_code_point(char32_t c, bool markup, char* to) {
    static const char HEX[] = "0123456789ABCDEF";
    static const char OPEN[] = "<span class=bidi>";
    static const char CLOSE[] = "</span>";
    std::size_t w = 0;
    if (markup) {
        std::memcpy(to, OPEN, sizeof OPEN - 1);
        w = sizeof OPEN - 1;
    }
    to[w++] = 'U';
    to[w++] = '+';
    for (int shift = 12; shift >= 0; shift -= 4) to[w++] = HEX[(c >> shift) & 15];
    if (markup) {
        std::memcpy(to + w, CLOSE, sizeof CLOSE - 1);
        w += sizeof CLOSE - 1;
    }
    return w;
}

}  // namespace

std::size_t encode_text(const char* bytes, std::size_t n, char* to, bool markup) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t w = 0;
    for (std::size_t i = 0; i < n;) {
        // Most bytes are shown as they are: a run of them is found by one table
        // look-up a byte and copied whole.
        std::size_t run = i;
        while (run < n && SHOWN_AS_IS.bits[p[run]]) ++run;
        if (run > i) {
            std::memcpy(to + w, p + i, run - i);
            w += run - i;
            i = run;
            continue;
        }
        unsigned char b = p[i];
        if (const char* ref = reference_of(b)) {
            std::size_t k = std::strlen(ref);
            std::memcpy(to + w, ref, k);
            w += k;
            ++i;
        } else if (b < 0x20) {
            w += input::put_utf8(0x2400 + b, to + w);   // the control pictures
            ++i;
        } else if (b == 0x7F) {
            w += input::put_utf8(0x2421, to + w);
            ++i;
        } else if (std::size_t k = shown_utf8_length(p + i, n - i)) {
            if (char32_t c = bidi_control(p + i, k)) {
                w += put_code_point(c, markup, to + w);
            } else {
                std::memcpy(to + w, p + i, k);
                w += k;
            }
            i += k;
        } else {
            w += input::put_utf8(CP437_HIGH[b - 0x80], to + w);
            ++i;
        }
    }
    return w;
}

std::size_t encode_id(const char* bytes, std::size_t n, char* out) {
    static const char HEX[] = "0123456789ABCDEF";
    char* p = out;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_') {
            *p++ = static_cast<char>(b);
        } else {
            *p++ = '-';
            *p++ = HEX[b >> 4];
            *p++ = HEX[b & 15];
        }
    }
    return static_cast<std::size_t>(p - out);
}

}  // namespace html
