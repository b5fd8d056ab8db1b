// The JSON string lifter (lsp.h): long string values are taken out of a
// message before the JSON reader sees it and decoded by its rules.
#include <string>
#include <vector>

#include "input/input.h"
#include "lsp/lsp.h"

namespace lsp {

namespace {

// Long strings (a document's text) are taken out of a message before the
// JSON reader sees it: the reader would hold such a string three times
// over while it reads it (two token buffers, each doubled as it grows, and
// the value).  Each is decoded once, the longest in place in the body, whose
// room it keeps, and stands in the message as "\u0000" and its number until
// the parsed message gets the value back.  Every string value that starts
// with U+0000 is taken out, whatever its length, so a value that starts so
// in the parsed message is always a stand-in.  A string the JSON reader
// would refuse stays where it is, for the reader to refuse.
constexpr std::size_t LIFT_LENGTH = 4096;   // bytes of a string value, escapes as written, from which it is taken out

// A string value taken out: its bytes between the quotes, and its length decoded.
struct Lifted {
    std::size_t from;
    std::size_t to;
    std::size_t length;
};

// The code unit of the four hex digits at p (at least four bytes there), or -1.
long hex4(const char* p) {
    long v = 0;
    for (int i = 0; i < 4; ++i) {
        int d = hex_value(p[i]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// Decodes the bytes of a JSON string between its quotes, from to end, by the
// JSON reader's rules, into out (nullptr: only counted; out may be from
// itself, since nothing is written ahead of what is read).  False when the
// reader would refuse the string.
bool decode_string(const char* from, const char* end, char* out, std::size_t* length) {
    std::size_t n = 0;
    auto put = [&](char c) {
        if (out != nullptr) out[n] = c;
        ++n;
    };
    for (const char* p = from; p < end;) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x80) {
            std::size_t len = input::utf8_length(reinterpret_cast<const unsigned char*>(p), static_cast<std::size_t>(end - p));
            if (len == 0) return false;
            for (std::size_t i = 0; i < len; ++i) put(p[i]);
            p += len;
            continue;
        }
        if (c < 0x20) return false;
        if (c != '\\') {
            put(static_cast<char>(c));
            ++p;
            continue;
        }
        if (end - p < 2) return false;
        char e = p[1];
        p += 2;
        switch (e) {
        case '"': put('"'); continue;
        case '\\': put('\\'); continue;
        case '/': put('/'); continue;
        case 'b': put('\b'); continue;
        case 'f': put('\f'); continue;
        case 'n': put('\n'); continue;
        case 'r': put('\r'); continue;
        case 't': put('\t'); continue;
        case 'u': break;
        default: return false;
        }
        if (end - p < 4) return false;
        long code = hex4(p);
        p += 4;
        if (code < 0 || (code >= 0xDC00 && code <= 0xDFFF)) return false;
        if (code >= 0xD800 && code <= 0xDBFF) {   // a high surrogate: its low one must follow
            if (end - p < 6 || p[0] != '\\' || p[1] != 'u') return false;
            long low = hex4(p + 2);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            p += 6;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        char bytes[4];
        std::size_t count = input::put_utf8(static_cast<char32_t>(code), bytes);
        for (std::size_t i = 0; i < count; ++i) put(bytes[i]);
    }
    *length = n;
    return true;
}

bool is_json_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::string lift_strings(std::string& body, std::vector<std::string>* lifted) {
    std::vector<Lifted> spans;
    std::size_t n = body.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (body[i] != '"') continue;
        std::size_t from = i + 1, to = from;
        while (to < n && body[to] != '"') to += body[to] == '\\' ? 2 : 1;
        if (to >= n) break;   // no end: for the reader to refuse
        i = to;
        std::size_t next = to + 1;
        while (next < n && is_json_blank(body[next])) ++next;
        if (next < n && body[next] == ':') continue;   // a member's name
        if (to - from < LIFT_LENGTH && body.compare(from, 6, "\\u0000") != 0) continue;
        std::size_t length;
        if (decode_string(body.data() + from, body.data() + to, nullptr, &length)) spans.push_back(Lifted{from, to, length});
    }
    if (spans.empty()) return std::string();
    std::string rest;
    std::size_t at = 0;
    for (std::size_t k = 0; k < spans.size(); ++k) {
        rest.append(body, at, spans[k].from - at);
        rest += "\\u0000" + std::to_string(k);
        at = spans[k].to;
    }
    rest.append(body, at, std::string::npos);
    std::size_t longest = 0;
    for (std::size_t k = 0; k < spans.size(); ++k)
        if (spans[k].length > spans[longest].length) longest = k;
    lifted->assign(spans.size(), std::string());
    for (std::size_t k = 0; k < spans.size(); ++k) {
        if (k == longest) continue;
        (*lifted)[k].resize(spans[k].length);
        decode_string(body.data() + spans[k].from, body.data() + spans[k].to, (*lifted)[k].data(), &spans[k].length);
    }
    decode_string(body.data() + spans[longest].from, body.data() + spans[longest].to, body.data(), &spans[longest].length);
    body.resize(spans[longest].length);
    (*lifted)[longest] = std::move(body);
    body = std::string();
    return rest;
}

}  // namespace lsp
