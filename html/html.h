// Hypertext page: with --html, every source also gets NAME.html beside its
// listing, a self-contained page (inline style, no script) named after the
// program, with the files read, the symbols as the listing has them, every
// reference a link to its line that shows the file and the line within it,
// and the source itself in blocks of at most 200 lines, each headed by its
// file: every use of a symbol defined once links to that definition, every
// other recorded occurrence to its symbol.  The page is written after the listing, from what the run left:
// the reader's record (its files and the text of its lines) and the symbol
// table.  display.cpp holds the byte rules of what the page shows, page.cpp
// the page's layout.
#pragma once

#include <cstddef>

#include "analysis/analysis.h"
#include "platform/platform.h"

namespace html {

inline constexpr const char* PAGE_EXTENSION = ".html";
inline constexpr int MAX_ENCODED_PER_BYTE = 15;  // U+061C, 2 bytes, as "<span class=bidi>U+061C</span>"
inline constexpr int MAX_ID_PER_BYTE = 3;        // "-" and two hex digits

inline bool page_wanted = false;   // --html: every source gets a page

// From now on every source gets a page (the driver has the reader keep the text of every line).
void request_pages();
// Writes the whole page of the source named source_name, whose record is
// record (read with input::KEEP_TEXTS), to page; a failed write is fatal.
void write_page(platform::TextStream* page, const char* source_name, const analysis::Record& record);
// Writes the page form of n bytes to out (room for MAX_ENCODED_PER_BYTE * n)
// and returns its length: valid UTF-8 as it is, other bytes of 128 and up as
// their code page 437 character, control bytes as control pictures, tabs
// kept, < > & " as character references, and a bidirectional control
// (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069), which would
// reorder the text around it, as its code point "U+202E" in a span of class
// bidi, or alone when markup is false (an attribute value, the title).
std::size_t encode_text(const char* bytes, std::size_t n, char* out, bool markup = true);
// Writes an id or fragment for n bytes to out (room for MAX_ID_PER_BYTE * n)
// and returns its length: letters, digits and "_" as they are, every other
// byte as "-" and two hex digits, so different bytes never meet.
std::size_t encode_id(const char* bytes, std::size_t n, char* out);

}  // namespace html
