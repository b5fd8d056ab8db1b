// The channel: messages framed by a Content-Length header, read from and
// written to the descriptors of platform::open_protocol_channel.  Nothing
// here knows what a message says.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "lsp/lsp.h"
#include "platform/platform.h"

namespace lsp {

namespace {

constexpr std::size_t READ_SIZE = 64 * 1024;

unsigned char read_buffer[READ_SIZE];   // bytes read and not yet taken
std::size_t read_pos = 0;               // the next byte to take
std::size_t read_len = 0;               // bytes in read_buffer
bool input_ended = false;               // the descriptor reported its end or an error

bool fill() {
    if (input_ended) return false;
    std::ptrdiff_t n = platform::system_read(channel_in, read_buffer, READ_SIZE);
    if (n <= 0) {
        input_ended = true;
        return false;
    }
    read_pos = 0;
    read_len = static_cast<std::size_t>(n);
    return true;
}

// The next byte, or -1 at the end of the input.
int take_byte() {
    if (read_pos == read_len && !fill()) return -1;
    return read_buffer[read_pos++];
}

// One header line without its line end, cut at MAX_HEADER_LINE (the rest is
// skipped); false at the end of the input.
bool read_header_line(std::string* line) {
    line->clear();
    for (;;) {
        int c = take_byte();
        if (c < 0) return false;
        if (c == '\n') break;
        if (line->size() < MAX_HEADER_LINE) line->push_back(static_cast<char>(c));
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The value of a "Content-Length:" line: digits between optional blanks;
// false for any other line.  A value past the limit sets too_long, and
// *length stays exact up to UINT64_MAX (past it, too_large is set too).
bool content_length(const std::string& line, std::uint64_t* length, bool* too_long, bool* too_large) {
    static const char NAME[] = "content-length:";
    std::size_t n = sizeof NAME - 1;
    if (line.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (lower(line[i]) != NAME[i]) return false;
    std::size_t i = n;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    bool overflow = false;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits) {
        std::uint64_t d = static_cast<std::uint64_t>(line[i] - '0');
        if (value > (UINT64_MAX - d) / 10) overflow = true;
        else value = value * 10 + d;
    }
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (digits == 0 || i != line.size()) return false;
    *too_large = overflow;
    *too_long = overflow || value > MAX_MESSAGE_LENGTH;
    *length = value;
    return true;
}

// Passes over n bytes of the input; false when it ended first.
bool skip_bytes(std::uint64_t n) {
    while (n > 0) {
        if (read_pos == read_len && !fill()) return false;
        std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, read_len - read_pos));
        read_pos += k;
        n -= k;
    }
    return true;
}

}  // namespace

int read_message(std::string* body) {
    std::string line;
    bool have_length = false, too_long = false, too_large = false;
    std::uint64_t length = 0;
    bool any = false;
    for (;;) {
        if (!read_header_line(&line)) return MESSAGE_END;
        if (line.empty()) {
            if (any) break;
            continue;   // blank lines before a header are passed over
        }
        any = true;
        bool long_one = false, large_one = false;
        std::uint64_t n = 0;
        if (content_length(line, &n, &long_one, &large_one)) {
            have_length = true;
            too_long = long_one;
            too_large = large_one;
            length = n;
        }
    }
    if (!have_length) return MESSAGE_REFUSED;
    // A body past the limit is passed over whole, however long it says it is:
    // none of it is ever read as headers.  A length no counter holds cannot
    // be passed over: the framing is lost, and the session ends.
    if (too_large) return MESSAGE_END;
    if (too_long) return skip_bytes(length) ? MESSAGE_REFUSED : MESSAGE_END;
    body->clear();
    body->reserve(static_cast<std::size_t>(length));
    while (body->size() < length) {
        if (read_pos == read_len && !fill()) return MESSAGE_END;
        std::size_t k = std::min(static_cast<std::size_t>(length) - body->size(), read_len - read_pos);
        body->append(reinterpret_cast<const char*>(read_buffer + read_pos), k);
        read_pos += k;
    }
    return MESSAGE_READ;
}

void write_bytes(std::string_view bytes) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    while (n > 0 && !channel_broken) {
        std::ptrdiff_t w = platform::system_write(channel_out, p, n);
        if (w <= 0) {
            channel_broken = true;
            return;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

void write_header(std::size_t length) { write_bytes("Content-Length: " + std::to_string(length) + "\r\n\r\n"); }

void write_framed(const std::string& body) {
    if (body.size() > READ_SIZE) {   // a large body is not copied behind its header
        write_header(body.size());
        write_bytes(body);
        return;
    }
    write_bytes("Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

void reset_channel() {
    read_pos = read_len = 0;
    input_ended = false;
    channel_broken = false;
}

}  // namespace lsp
