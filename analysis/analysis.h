// Statement analysis: chooses each line's statement shape from its first two
// tokens and records the symbols that shape keeps, with their marks; acts on
// INCLUDE, PAGE and MACRO.
#pragma once

namespace analysis {

inline constexpr int TITLE_WIDTH = 30;   // columns of the listing title

inline char current_mark = ' ';                // "#", "&" or " " for the next recording
inline char current_kind = ' ';                // "M" while a macro name is recorded, else " "
inline char page_title[TITLE_WIDTH + 1];       // empty until the first non-empty PAGE string

// Analyses the line in input::line_buffer, recording its symbols on line_number.
void analyse_line();
// Per-source reset: empty title, blank mark and kind.
void reset_analysis();

}  // namespace analysis
