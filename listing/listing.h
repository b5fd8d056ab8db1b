// Listing: owns the open listing file and its title, and writes the symbol
// table into it as pages, each opened by a form feed and a header, with
// aligned name and reference columns and wrapped lines.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "symbols/symbols.h"

namespace listing {

// VELXREF_VERSION comes from the build, which takes it from the project's version.
inline constexpr const char* LISTING_BANNER = "Vela Family CROSS REFERENCE V." VELXREF_VERSION;
inline constexpr std::int32_t PAGE_WIDTH = 80;    // columns of a listing line
inline constexpr std::int32_t PAGE_LENGTH = 54;   // a page body holds PAGE_LENGTH + 1 lines
inline constexpr int TITLE_WIDTH = 30;            // columns of the listing title

inline platform::TextStream* listing_file = nullptr;   // open write stream of the listing
inline char page_title[TITLE_WIDTH + 1];     // empty until the first non-empty PAGE string
inline std::uint32_t page_lines = 0;         // line ends written in the current page body
inline std::int32_t page_number = 1;         // number of the next page header

// Opens a new listing that replaces path once closed; false when that is impossible.
bool open_listing(const char* path);
// Writes the title the length characters at text make to title (room for
// TITLE_WIDTH + 1), terminated: tabs expand to the next multiple of 8
// columns, and the title is cut at TITLE_WIDTH (and at a NUL).
void title_of(const char* text, int length, char* title);
// Takes the title the length characters at text make (title_of) for the page headers.
void set_title(const char* text, int length);
// Form feed and header of a new page.
void start_page();
// Writes the symbols of table in name order, in its widths.
void write_listing(const symbols::Table& table);
// Ends the listing with the byte 0x1A and closes it, complete, to be put in
// place by platform::commit_writers; a failure is fatal.
void close_listing();
// Per-source reset: no listing open, empty title, page 1.
void reset_listing();

}  // namespace listing
