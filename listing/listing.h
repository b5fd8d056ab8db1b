// Listing: writes the symbol table as pages, each opened by a form feed and a
// header, with aligned name and reference columns and wrapped lines.
#pragma once

#include <cstdint>

#include "symbols/symbols.h"

namespace listing {

inline constexpr const char* LISTING_BANNER = "Vela Family CROSS REFERENCE V.1.00.10";
inline constexpr int TEXT_BUFFER_SIZE = 256;
inline constexpr std::int32_t PAGE_WIDTH = 80;    // columns of a listing line
inline constexpr std::int32_t PAGE_LENGTH = 54;   // a page body holds PAGE_LENGTH + 1 lines

inline char text_buffer[TEXT_BUFFER_SIZE];   // each piece of text before it is written
inline int text_length = 0;                  // characters in text_buffer
inline std::uint32_t output_column = 0;      // columns used on the line being written
inline std::uint32_t page_lines = 0;         // line ends written in the current page body
inline std::int32_t page_number = 1;         // number of the next page header
inline std::int32_t page_width = PAGE_WIDTH;
inline std::int32_t page_length = PAGE_LENGTH;

// Form feed and header of a new page.
void start_page();
// Writes the symbols of node's subtree in name order.
void write_listing(symbols::SymbolNode* node);
// Writes the fields of a reference list, oldest first.
void write_references(symbols::RefEntry* entry);
// Accounts for a field of n columns, breaking the line when it would pass page_width.
void advance_column(std::uint32_t n);
// Writes text_buffer to the listing; a failure is fatal.
void write_text();
// Per-source reset: page width and length.
void reset_listing();

}  // namespace listing
