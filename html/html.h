// Hypertext page: with --html, every source also gets NAME.html beside its
// listing, a self-contained page (inline style, no script) with the files
// read, the symbols as the listing has them, every reference a link to its
// line, and the source itself, every recorded occurrence a link back to its
// symbol.  What the page needs is gathered while reading, by calls that the
// classifier and the driver make only when page_wanted is set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace html {

inline constexpr const char* PAGE_EXTENSION = ".html";
inline constexpr int MAX_ENCODED_PER_BYTE = 15;                 // U+061C: 2 bytes as "<span class=bidi>U+061C</span>"
inline constexpr std::size_t STORE_BLOCK_SIZE = 1024 * 1024;    // bytes per block of stored lines

// One file as it was read: the main source, or an include each time it is opened.
struct FileRead {
    std::string name;          // as written after INCLUDE, or the source path
    std::int32_t included_on;  // line of the INCLUDE that opened it, 0 for the source
    std::int32_t first_line;   // line number of its first line
    std::int32_t last_line;    // line number of its last line
    std::int32_t lines;        // lines handed out from it, 0 when it had none
    int depth;                 // 0 for the source, 1..4 for includes
};

// An include that was not read: it could not be opened or nested too deep.
struct IncludeFailure {
    std::string name;          // as written after INCLUDE
    std::int32_t line;         // line of the INCLUDE
    bool too_deep;             // nested too deep, else could not be opened
};

// A run of lines from one file, headed on the page where the file changes.
struct Segment {
    std::int32_t first_line;   // line number of its first line
    std::int32_t first_local;  // that line's number within its file
    int file;                  // index into files_read
};

inline bool page_wanted = false;                     // --html: every source gets a page
inline std::vector<FileRead> files_read;             // in reading order
inline std::vector<IncludeFailure> include_failures; // in reading order
inline std::vector<Segment> segments;                // in line order
inline std::int64_t occurrence_count = 0;            // occurrences recorded in the source

// From now on every source gets a page.
void request_pages();
// Per-source reset: no file read, no line stored.
void reset_page();
// The source of length bytes at name is read from now on.
void note_source(const char* name, std::size_t length);
// input::open_include did what result says with the include of length bytes
// at name, on the current line.
void note_include(const char* name, std::size_t length, int result);
// The reader handed out input::line_buffer as line number line, from the
// file at input::include_depth (includes that ended are left).
void begin_line(std::int32_t line);
// The classifier recorded length bytes at column of the current line, stored with mark.
void note_occurrence(int column, int length, char mark);
// The current line is analysed: it is stored with its occurrences.
void end_line();
// Writes the whole page of the source just read to page; a failed write is fatal.
void write_page(platform::TextStream* page, const char* source_name);
// Writes the page form of n bytes to out (room for MAX_ENCODED_PER_BYTE * n)
// and returns its length: valid UTF-8 as it is, other bytes of 128 and up as
// their code page 437 character, control bytes as control pictures, tabs
// kept, < > & " as character references, and a bidirectional control
// (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069), which would
// reorder the text around it, as its code point "U+202E" in a span of class
// bidi, or alone when markup is false (an attribute value, the title).
std::size_t encode_text(const char* bytes, std::size_t n, char* out, bool markup = true);

}  // namespace html
