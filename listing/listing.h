// Listing: writes the symbol table as pages, each opened by a form feed and a
// header, with aligned name and reference columns and wrapped lines.
#pragma once

#include <cstdint>

#include "symbols/symbols.h"

namespace listing {

inline constexpr const char* LISTING_BANNER = "Vela Family CROSS REFERENCE V.1.00.10";
inline constexpr std::int32_t PAGE_WIDTH = 80;    // columns of a listing line
inline constexpr std::int32_t PAGE_LENGTH = 54;   // a page body holds PAGE_LENGTH + 1 lines

inline std::uint32_t page_lines = 0;         // line ends written in the current page body
inline std::int32_t page_number = 1;         // number of the next page header
inline std::int32_t page_width = PAGE_WIDTH;
inline std::int32_t page_length = PAGE_LENGTH;

// Form feed and header of a new page.
void start_page();
// Writes the symbols of node's subtree in name order.
void write_listing(symbols::SymbolNode* node);
// Per-source reset: page width and length.
void reset_listing();

}  // namespace listing
