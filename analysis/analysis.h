// Statement analysis: chooses each line's statement shape from its first two
// tokens and records the symbols that shape keeps, with their marks; acts on
// INCLUDE, PAGE and MACRO.
#pragma once

#include "platform/platform.h"

namespace analysis {

inline char current_mark = ' ';                // "#", "&" or " " for the next recording
inline char current_kind = ' ';                // "M" while a macro name is recorded, else " "

// Receives every symbol token of a statement, in line order: where its text
// stands in the line, the text, its length, and the mark the table stored
// for it, or 0 when the statement's shape leaves it out.  The name after
// INCLUDE is no token.
using SymbolSink = void (*)(const char* text_start, const char* text, int length, char mark);

// Analyses the line in input::line_buffer, recording its symbols on input::line_number.
void analyse_line();
// Analyses the line as analyse_line does, except that the table gets only
// the names (symbols::record_name), and hands sink every symbol token of
// the statement, each recorded one with the mark the table would store.
void analyse_line_to(SymbolSink sink);
// Per-source reset: blank mark and kind.
void reset_analysis();
// The whole analysis of one source, open at source under name: resets the
// reader (closing what a failed run left open), the classifier and the
// symbol table, analyses every line and closes the source.  The record of input/ (keeping what keep, KEEP_ flags,
// asks for) and the symbol table then hold the source.  A source that
// failed while read is fatal (ERROR_READ_SOURCE).
void analyse_source(platform::TextStream* source, const char* name, int keep = 0);

}  // namespace analysis
