// The cross-reference listing writer.
#include <cassert>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "fatal/fatal.h"
#include "listing/listing.h"
#include "platform/platform.h"

namespace listing {

using symbols::RefEntry;
using symbols::SymbolNode;

namespace {

std::int32_t name_width = symbols::MIN_NAME_WIDTH;       // of the table being written
std::int32_t number_width = symbols::MIN_NUMBER_WIDTH;

constexpr char FORM_FEED = 0x0C;
constexpr char END_OF_FILE_BYTE = 0x1A;
constexpr int HEADER_SIZE = 256;

// The listing is formatted straight into the stream's buffer, line ends as
// CR LF, instead of piece by piece through a buffer of its own and
// platform::write_bytes with its search for line feeds: on 200,000 realistic
// lines under callgrind, the listing's instructions went from 50 M to 23 M,
// 10.5 % of the run's (with the tokens read in place, see lex/lex.h, 19 %
// less CPU on the realistic case of bench/run.sh, 19 % on hot, 15 % on
// crlf; interleaved runs, medians of 9).  ROOM is asked of the
// stream at a time; a step that may write more than STEP_MOST bytes (a
// reference or a name with a line break and a page header, the header's line
// ends doubled) starts with ROOM fresh.
constexpr std::size_t ROOM = 16 * 1024;
constexpr std::ptrdiff_t STEP_MOST = 2 * HEADER_SIZE + 64;
static_assert(ROOM <= platform::STREAM_BUFFER_SIZE && ROOM > 2 * STEP_MOST);

char* out = nullptr;                  // where the next byte goes, in the stream's buffer
char* out_end = nullptr;              // end of the room taken
std::uint32_t output_column = 0;      // columns used on the line being written
const SymbolNode* current_node = nullptr;   // symbol being written, its name repeated on a new page

// Hands what was placed to the stream; a write that failed is fatal.
void give_back() {
    if (out != nullptr) platform::wrote_to(listing_file, out);
    out = out_end = nullptr;
    if (platform::stream_error(listing_file)) fatal::report_error(fatal::ERROR_DISK_FULL);
}

void take_room() {
    give_back();
    out = platform::write_room(listing_file, ROOM);
    out_end = out + ROOM;
    if (platform::stream_error(listing_file)) fatal::report_error(fatal::ERROR_DISK_FULL);
}

// Room for one step.
inline void room_for_step() {
    if (out_end - out < STEP_MOST) take_room();
}

// Counts one line end of the body; true when it was the page's last.
inline bool count_body_line() {
    std::uint32_t k = page_lines;
    page_lines = k + 1;
    return k >= static_cast<std::uint32_t>(PAGE_LENGTH);
}

inline void put_line_end() {
    out[0] = '\r';
    out[1] = '\n';
    out += 2;
}

inline void put_blanks(int n) {
    std::memset(out, ' ', static_cast<std::size_t>(n));
    out += n;
}

// A name field: the name cut to MAX_NAME_WIDTH characters, filled with
// blanks to name_width.
inline void put_name(const SymbolNode* node) {
    std::uint32_t n = node->length < static_cast<std::uint32_t>(symbols::MAX_NAME_WIDTH)
                          ? node->length : static_cast<std::uint32_t>(symbols::MAX_NAME_WIDTH);
    std::memset(out, ' ', symbols::MAX_NAME_WIDTH);
    std::memcpy(out, node->name, n);
    out += n > static_cast<std::uint32_t>(name_width) ? n : static_cast<std::uint32_t>(name_width);
}

// The page header, its line ends as CR LF.
void put_page_header() {
    *out++ = FORM_FEED;
    const char* title = page_title[0] != 0 ? page_title : " ";
    char header[HEADER_SIZE];
    int n = std::snprintf(header, HEADER_SIZE, "%s%c\t%-30s\tP. %03d\n\n", LISTING_BANNER, ' ', title,
                          static_cast<int>(page_number));
    if (n >= HEADER_SIZE) n = HEADER_SIZE - 1;
    for (int i = 0; i < n; ++i) {
        if (header[i] == '\n') *out++ = '\r';
        *out++ = header[i];
    }
    page_lines = 0;
    page_number = static_cast<std::int32_t>(static_cast<std::uint32_t>(page_number) + 1u);
}

// Accounts for a field of n columns, breaking the line when it would pass PAGE_WIDTH.
inline void advance_column(std::uint32_t n) {
    output_column += n;
    if (output_column <= static_cast<std::uint32_t>(PAGE_WIDTH)) return;
    put_line_end();
    output_column = static_cast<std::uint32_t>(name_width) + n;
    if (!count_body_line()) {
        put_blanks(name_width);
        return;
    }
    put_page_header();
    put_name(current_node);
}

// A reference field: blank, the line right-aligned in number_width, the mark.
inline void put_reference(std::int32_t line, char mark) {
    advance_column(static_cast<std::uint32_t>(number_width + 2));
    char digits[12];   // sign and ten digits
    int d = static_cast<int>(std::to_chars(digits, digits + sizeof digits, line).ptr - digits);
    int pad = number_width > d ? number_width - d : 0;
    std::memset(out, ' ', 12);
    std::memcpy(out + 1 + pad, digits, static_cast<std::size_t>(d));
    out += 1 + pad + d;
    *out++ = mark;
}

// Writes the fields of a symbol's references, oldest first.
void put_references(const SymbolNode* node) {
    symbols::RefWalk w;
    for (const RefEntry* e = symbols::first_ref(node, &w); e != nullptr; e = symbols::next_ref(&w)) {
        room_for_step();
        put_reference(e->line, e->mark);
    }
}

// Writes one symbol's line: its name and its references.
void put_symbol(const SymbolNode* node) {
    room_for_step();
    output_column = static_cast<std::uint32_t>(name_width);   // a name never breaks the line
    current_node = node;
    put_name(node);
    put_references(node);
    room_for_step();
    put_line_end();
    if (count_body_line()) put_page_header();
}

// Writes the symbols of table in name order, from its array of nodes: the
// node (and the name after it) eight names ahead and the chunk of its
// newest entries (its only one, for most names of a large table) four
// ahead are fetched while the names before them are written.  Against the
// walk of the tree with its children fetched one level ahead: wide 8 % less
// CPU time, ascending 4 %, realistic 1 % (Release, 1,000,000 lines,
// interleaved runs, medians of 11, a loaded machine).
void put_symbols(const symbols::Table& table) {
    constexpr std::uint32_t NODE_AHEAD = 8;
    constexpr std::uint32_t CHUNK_AHEAD = 4;
    SymbolNode* const* order = table.order;
    std::uint32_t n = table.count;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (i + NODE_AHEAD < n) __builtin_prefetch(order[i + NODE_AHEAD]);
        if (i + CHUNK_AHEAD < n) {
            const SymbolNode* soon = order[i + CHUNK_AHEAD];
            __builtin_prefetch(soon->name);
            if (soon->last != nullptr) __builtin_prefetch(soon->last);
        }
        put_symbol(order[i]);
    }
}

}  // namespace

bool open_listing(const char* path) {
    listing_file = platform::open_replace(path);
    return listing_file != nullptr;
}

void title_of(const char* text, int length, char* title) {
    int column = 0;
    for (const char* p = text; p < text + length && *p != 0 && column < TITLE_WIDTH; ++p) {
        if (*p == '\t') {
            int stop = column + 8 - column % 8;
            if (stop > TITLE_WIDTH) stop = TITLE_WIDTH;
            while (column < stop) title[column++] = ' ';
        } else {
            title[column++] = *p;
        }
    }
    title[column] = 0;
}

void set_title(const char* text, int length) { title_of(text, length, page_title); }

void start_page() {
    take_room();
    put_page_header();
    give_back();
}

void write_listing(const symbols::Table& table) {
    name_width = table.name_width;
    number_width = table.number_width;
    take_room();
    put_symbols(table);
    give_back();
}

void close_listing() {
    if (!platform::write_char(listing_file, END_OF_FILE_BYTE)) fatal::report_error(fatal::ERROR_DISK_FULL);
    bool closed = platform::finish_stream(listing_file);
    listing_file = nullptr;
    if (!closed) fatal::report_error(fatal::ERROR_DISK_FULL);
}

void reset_listing() {
    listing_file = nullptr;   // closed, or removed on the way out of a fatal error
    page_title[0] = 0;
    current_node = nullptr;
    out = out_end = nullptr;
    page_lines = 0;
    output_column = 0;
    page_number = 1;
}

}  // namespace listing
