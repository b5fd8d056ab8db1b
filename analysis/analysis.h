// Statement analysis: chooses each line's statement shape from its first two
// tokens and records the symbols that shape keeps, with their marks; acts on
// INCLUDE, PAGE and MACRO.
#pragma once

namespace analysis {

inline char current_mark = ' ';                // "#", "&" or " " for the next recording
inline char current_kind = ' ';                // "M" while a macro name is recorded, else " "

// Analyses the line in input::line_buffer, recording its symbols on input::line_number.
void analyse_line();
// Per-source reset: blank mark and kind.
void reset_analysis();

}  // namespace analysis
