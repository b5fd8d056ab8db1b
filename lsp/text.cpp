// Positions as the editor counts them: lines end at LF, CR LF or a lone CR;
// characters are UTF-16 code units, or bytes when the client chose utf-8; a
// maximal subpart of invalid UTF-8 is one character (one U+FFFD), as
// editors that decode by the WHATWG encoding standard count.  Also the edits of
// incremental synchronisation and the file: URIs.
#include <algorithm>
#include <cstring>

#include "input/input.h"
#include "lsp/lsp.h"
#include "platform/platform.h"

namespace lsp {

namespace {

bool kept_in_uri(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/';
}

// The end of the line that starts at starts[line]: where its line end begins
// (the last line has none).
std::size_t line_end(std::string_view text, const std::vector<std::uint32_t>& starts, std::size_t line) {
    if (line + 1 >= starts.size()) return text.size();
    std::size_t end = starts[line + 1];
    if (text[end - 1] == '\n') --end;
    if (end > starts[line] && text[end - 1] == '\r' && (end == starts[line + 1] || text[end] == '\n')) --end;
    return end;
}

// Bytes of the maximal subpart at p (n bytes available), where no valid
// UTF-8 sequence starts: the lead byte of a sequence and the bytes after it
// that could still continue it, or the one byte that leads none.  An
// editor that decodes by the WHATWG encoding standard shows each as one
// U+FFFD.
std::size_t subpart_length(const unsigned char* p, std::size_t n) {
    unsigned char b = p[0];
    std::size_t need = b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : 0;
    unsigned char low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
    unsigned char high = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
    std::size_t i = 1;
    while (i <= need && i < n && p[i] >= low && p[i] <= high) {
        ++i;
        low = 0x80;
        high = 0xBF;
    }
    return i;
}

}  // namespace

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<std::uint32_t> line_starts(std::string_view text, std::size_t count) {
    std::vector<std::uint32_t> starts{0};
    if (text.find('\r') == std::string_view::npos) {   // the usual text: a search for each LF
        for (std::size_t i = text.find('\n'); i != std::string_view::npos && starts.size() < count; i = text.find('\n', i + 1))
            starts.push_back(static_cast<std::uint32_t>(i + 1));
        return starts;
    }
    for (std::size_t i = 0; i < text.size() && starts.size() < count; ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        if (c == '\n' || c == '\r') starts.push_back(static_cast<std::uint32_t>(i + 1));
    }
    return starts;
}

LineTable line_table(std::uint32_t file, std::string_view text) {
    LineTable table{file, line_starts(text), {}};
    if (utf8_positions) return table;
    // A byte past ASCII anywhere: most texts have none, and need no flags.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t high = 0;
    while (high < text.size() && p[high] < 0x80) ++high;
    if (high == text.size()) return table;
    const std::vector<std::uint32_t>& starts = table.starts;
    table.wide.assign(starts.size(), false);
    for (std::size_t line = 0, i = high; i < text.size();) {
        while (line + 1 < starts.size() && starts[line + 1] <= i) ++line;
        table.wide[line] = true;
        if (line + 1 == starts.size()) break;
        for (i = starts[line + 1]; i < text.size() && p[i] < 0x80;) ++i;   // the next line's first byte past ASCII
    }
    return table;
}

// The line is looked for from the last one asked for, a few lines on, and
// only then searched for: the requests and the analysis mostly ask in
// reading order.  The search alone (20 steps over the 4 MB of line starts of
// the 1,000,000-line realistic source) made range_of a quarter of an
// editor's session there.
bool narrow_position(const LineTable& table, std::size_t offset, Position* position) {
    constexpr std::size_t LOOKED_ON = 8;   // lines tried after the last one before a search
    const std::vector<std::uint32_t>& starts = table.starts;
    std::size_t line = table.last_line;
    if (line < starts.size() && starts[line] <= offset) {
        std::size_t stop = std::min(starts.size(), line + LOOKED_ON);
        while (line + 1 < stop && starts[line + 1] <= offset) ++line;
        if (line + 1 == stop && stop < starts.size() && starts[stop] <= offset) line = starts.size();
    } else {
        line = starts.size();
    }
    if (line == starts.size()) line = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), offset) - starts.begin()) - 1;
    table.last_line = line;
    *position = Position{static_cast<std::int32_t>(line), static_cast<std::int32_t>(offset - table.starts[line])};
    return table.wide.empty() || !table.wide[line];
}

std::int32_t characters_of(const char* text, std::size_t count) {
    if (utf8_positions) return static_cast<std::int32_t>(count);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    std::int32_t units = 0;
    std::size_t i = 0;
    while (i < count) {
        if (p[i] < 0x80) {   // the common byte, without the call
            ++units;
            ++i;
            continue;
        }
        std::size_t len = input::utf8_length(p + i, count - i);
        units += len == 4 ? 2 : 1;
        i += len == 0 ? subpart_length(p + i, count - i) : len;
    }
    return units;
}

Position position_of(std::string_view text, const std::vector<std::uint32_t>& starts, std::size_t offset) {
    if (offset > text.size()) offset = text.size();
    std::size_t line = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), offset) - starts.begin()) - 1;
    return {static_cast<std::int32_t>(line), characters_of(text.data() + starts[line], offset - starts[line])};
}

std::size_t offset_of(std::string_view text, const std::vector<std::uint32_t>& starts, Position position) {
    if (position.line < 0) return 0;
    std::size_t line = static_cast<std::size_t>(position.line);
    if (line >= starts.size()) return text.size();
    std::size_t at = starts[line], end = line_end(text, starts, line);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    std::int32_t units = 0;
    while (at < end && units < position.character) {
        std::size_t len = input::utf8_length(p + at, end - at);
        if (len == 0) len = utf8_positions ? 1 : subpart_length(p + at, end - at);
        units += utf8_positions ? static_cast<std::int32_t>(len) : (len == 4 ? 2 : 1);
        at += len;
    }
    return at;
}

PositionCursor position_cursor(std::string_view text) {
    PositionCursor c{};
    c.has_cr = text.find('\r') != std::string_view::npos;
    return c;
}

// The lines are counted on from the last position asked for, which a
// reading mostly leaves just before it (from the text's start when it lies
// after it): no table of line starts is kept (4 MB for the 1,000,000-line source).
Position position_at(PositionCursor* cursor, std::string_view text, std::int64_t offset) {
    PositionCursor& f = *cursor;
    std::size_t at = std::min(static_cast<std::size_t>(std::max<std::int64_t>(offset, 0)), text.size());
    if (at < f.last_offset) f.last_line = f.line_start = f.last_offset = f.last_character = 0;
    std::size_t line = f.last_line, line_start = f.line_start;
    for (std::size_t p = f.last_offset;;) {
        std::size_t end;   // the next line end in p..at
        if (!f.has_cr) {
            const void* lf = std::memchr(text.data() + p, '\n', at - p);
            if (lf == nullptr) break;
            end = static_cast<std::size_t>(static_cast<const char*>(lf) - text.data());
        } else {
            end = p;
            while (end < at && text[end] != '\n' && text[end] != '\r') ++end;
            if (end == at) break;
            if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') {
                if (end + 1 == at) break;   // the line ends with the LF at the offset itself
                ++end;
            }
        }
        ++line;
        line_start = p = end + 1;
    }
    // Counted on from the last position when it lies before on the same line
    // at an ASCII byte, where no UTF-8 sequence can straddle it; otherwise
    // from the line's start.
    std::int32_t character;
    if (line == f.last_line && f.last_offset < text.size() && static_cast<unsigned char>(text[f.last_offset]) < 0x80)
        character = f.last_character + characters_of(text.data() + f.last_offset, at - f.last_offset);
    else
        character = characters_of(text.data() + line_start, at - line_start);
    f.last_line = line;
    f.line_start = line_start;
    f.last_offset = at;
    f.last_character = character;
    return Position{static_cast<std::int32_t>(line), character};
}

std::string line_around(std::string_view text, std::size_t offset) {
    std::size_t from = offset, to = offset;
    while (from > 0 && text[from - 1] != '\n' && text[from - 1] != '\r') --from;
    while (to < text.size() && text[to] != '\n' && text[to] != '\r') ++to;
    return std::string(text.substr(from, to - from));
}

void apply_change(std::string* text, Range range, std::string_view replacement) {
    // The starts up to the line after the range's last: an edit near the
    // top of a large document needs no table of all its lines.
    std::size_t last = static_cast<std::size_t>(std::max({range.start.line, range.end.line, 0}));
    std::vector<std::uint32_t> starts = line_starts(*text, last + 2);
    std::size_t from = offset_of(*text, starts, range.start);
    std::size_t to = offset_of(*text, starts, range.end);
    if (to < from) std::swap(from, to);
    std::size_t size = text->size() - (to - from) + replacement.size();
    if (size > text->capacity()) {   // grown by a little, never doubled: a document may be large
        std::string grown;
        grown.reserve(size + size / 64 + 4096);
        grown.append(*text, 0, from).append(replacement).append(*text, to);
        text->swap(grown);
        return;
    }
    text->replace(from, to - from, replacement);
}

std::string path_of_uri(std::string_view uri) {
    static constexpr std::string_view SCHEME = "file://";
    if (uri.size() < SCHEME.size()) return {};
    for (std::size_t i = 0; i < SCHEME.size(); ++i)
        if ((uri[i] | 0x20) != (SCHEME[i] | 0x20) && uri[i] != SCHEME[i]) return {};
    std::string_view rest = uri.substr(SCHEME.size());
    std::size_t cut = rest.find_first_of("?#");
    if (cut != std::string_view::npos) rest = rest.substr(0, cut);
    std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return {};
    std::string_view host = rest.substr(0, slash);
    std::string path = host.empty() || host == "localhost" ? std::string() : "//" + std::string(host);
    for (std::size_t i = slash; i < rest.size(); ++i) {
        int high = rest[i] == '%' && i + 2 < rest.size() ? hex_value(rest[i + 1]) : -1;
        int low = high >= 0 ? hex_value(rest[i + 2]) : -1;
        if (low >= 0) {
            path += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            path += rest[i];
        }
    }
    // "/C:/dir" is the drive path "C:/dir".
    if (path.size() >= 3 && path[0] == '/' && path[2] == ':' && ((path[1] | 0x20) >= 'a' && (path[1] | 0x20) <= 'z'))
        path.erase(0, 1);
    if (path.empty() || path.find('\0') != std::string::npos) return {};
    return platform::full_path(path.c_str());
}

std::string uri_of_path(const std::string& path) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string uri = path.empty() || path[0] != '/' ? "file:///" : "file://";
    for (std::size_t i = 0; i < path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (kept_in_uri(c) || (c == ':' && i == 1)) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += HEX[c >> 4];
            uri += HEX[c & 15];
        }
    }
    return uri;
}

}  // namespace lsp
