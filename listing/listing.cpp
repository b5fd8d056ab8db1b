// The cross-reference listing writer.
#include <cassert>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "fatal/fatal.h"
#include "listing/listing.h"
#include "platform/platform.h"

namespace listing {

using symbols::name_width;
using symbols::number_width;
using symbols::RefEntry;
using symbols::SymbolNode;

namespace {

constexpr char FORM_FEED = 0x0C;
constexpr char END_OF_FILE_BYTE = 0x1A;
constexpr int TEXT_BUFFER_SIZE = 256;

char text_buffer[TEXT_BUFFER_SIZE];   // each piece of text before it is written
int text_length = 0;                  // characters in text_buffer
std::uint32_t output_column = 0;      // columns used on the line being written
const char* current_name = nullptr;   // name being written, repeated on a new page

// Counts one line end of the body; true when it was the page's last.
inline bool count_body_line() {
    std::uint32_t k = page_lines;
    page_lines = k + 1;
    return k >= static_cast<std::uint32_t>(PAGE_LENGTH);
}

// A name field: the name cut to 32 characters, filled with blanks to name_width.
void format_name(const char* name) {
    int n = 0;
    while (n < symbols::MAX_NAME_WIDTH && name[n] != 0) {
        text_buffer[n] = name[n];
        ++n;
    }
    while (n < name_width) text_buffer[n++] = ' ';
    if (n > symbols::MAX_NAME_WIDTH) n = symbols::MAX_NAME_WIDTH;
    text_buffer[n] = 0;
    text_length = n;
}

void format_blanks(int n) {
    std::memset(text_buffer, ' ', static_cast<std::size_t>(n));
    text_buffer[n] = 0;
    text_length = n;
}

void format_line_end() {
    text_buffer[0] = '\n';
    text_buffer[1] = 0;
    text_length = 1;
}

// A reference field: blank, the line right-aligned in number_width, the mark.
void format_reference(std::int32_t line, char mark) {
    char digits[12];   // sign and ten digits
    int d = static_cast<int>(std::to_chars(digits, digits + sizeof digits, line).ptr - digits);
    int n = 0;
    text_buffer[n++] = ' ';
    for (int pad = number_width - d; pad > 0; --pad) text_buffer[n++] = ' ';
    std::memcpy(text_buffer + n, digits, static_cast<std::size_t>(d));
    n += d;
    text_buffer[n++] = mark;
    text_buffer[n] = 0;
    text_length = n;
}

// Writes text_buffer to the listing; a failure is fatal.
void write_text() {
    platform::write_bytes(listing_file, text_buffer, static_cast<std::size_t>(text_length));
    if (platform::stream_error(listing_file)) fatal::report_error(fatal::ERROR_DISK_FULL);
}

// Accounts for a field of n columns, breaking the line when it would pass PAGE_WIDTH.
void advance_column(std::uint32_t n) {
    output_column += n;
    if (output_column <= static_cast<std::uint32_t>(PAGE_WIDTH)) return;
    format_line_end();
    write_text();
    output_column = static_cast<std::uint32_t>(name_width) + n;
    if (!count_body_line()) {
        format_blanks(name_width);
        write_text();
        return;
    }
    start_page();
    format_name(current_name);
    write_text();
}

// Writes the fields of a symbol's references, oldest first.
void write_references(const SymbolNode* node) {
    symbols::RefWalk w;
    for (const RefEntry* e = symbols::first_ref(node, &w); e != nullptr; e = symbols::next_ref(&w)) {
        advance_column(static_cast<std::uint32_t>(number_width + 2));
        format_reference(e->line, e->mark);
        write_text();
    }
}

}  // namespace

bool open_listing(const char* path) {
    listing_file = platform::open_replace(path);
    return listing_file != nullptr;
}

void set_title(const char* text) {
    int column = 0;
    for (const char* p = text; *p != 0 && column < TITLE_WIDTH; ++p) {
        if (*p == '\t') {
            int stop = column + 8 - column % 8;
            if (stop > TITLE_WIDTH) stop = TITLE_WIDTH;
            while (column < stop) page_title[column++] = ' ';
        } else {
            page_title[column++] = *p;
        }
    }
    page_title[column] = 0;
}

void start_page() {
    if (!platform::write_char(listing_file, FORM_FEED)) fatal::report_error(fatal::ERROR_DISK_FULL);
    const char* title = page_title[0] != 0 ? page_title : " ";
    int n = std::snprintf(text_buffer, TEXT_BUFFER_SIZE, "%s%c\t%-30s\tP. %03d\n\n", LISTING_BANNER, ' ', title,
                          static_cast<int>(page_number));
    text_length = n < TEXT_BUFFER_SIZE ? n : TEXT_BUFFER_SIZE - 1;
    write_text();
    page_lines = 0;
    page_number = static_cast<std::int32_t>(static_cast<std::uint32_t>(page_number) + 1u);
}

void write_listing(SymbolNode* node) {
    for (; node != nullptr; node = node->greater) {
        write_listing(node->less);   // the depth is bounded by the balanced height
        output_column = 0;
        current_name = node->name;
        advance_column(static_cast<std::uint32_t>(name_width));
        format_name(node->name);
        write_text();
        write_references(node);
        format_line_end();
        write_text();
        if (count_body_line()) start_page();
    }
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
    current_name = nullptr;
    page_lines = 0;
    output_column = 0;
    page_number = 1;
}

}  // namespace listing
