// Statement analysis: chooses each line's statement shape from its first two
// tokens and records the symbols that shape keeps, with their marks; acts on
// INCLUDE, PAGE and MACRO.
#pragma once

#include <cstdint>

#include "lex/lex.h"

namespace analysis {

inline constexpr int TITLE_WIDTH = 30;   // columns of the listing title

struct TokenSlot {
    std::int32_t index;                // keyword_index of a keyword token
    std::int32_t kind;                 // token kind, 0 when no token was read
    int length;                        // characters of text
    char text[lex::TOKEN_TEXT_SIZE];   // copy of token_text
};

inline TokenSlot lookahead[2];                 // first and second token of the line
inline char current_mark = ' ';                // "#", "&" or " " for the next recording
inline char current_kind = ' ';                // "M" while a macro name is recorded, else " "
inline char page_title[TITLE_WIDTH + 1];       // empty until the first non-empty PAGE string

// Analyses the line in input::line_buffer.
void analyse_line();
// Records text with the mark "#".
void define_symbol(const char* text);
// A statement led by the mnemonic at row, after an optional label.
void analyse_instruction(const char* label, std::int32_t row);
// A statement led by the pseudo-instruction at row, or an "=" assignment.
void analyse_directive(const char* label, std::int32_t row);
// A statement led by a reserved word or a bracket.
void analyse_keyword_statement(const char* label);
// Records every symbol up to the end of the statement.
void record_rest_of_line();
// Takes the string operand of PAGE as the title, once per source.
void take_title();
// Whether text begins with "[" or "{".
bool starts_bracket(const char* text);
// Per-source reset: empty title, blank mark and kind.
void reset_analysis();

}  // namespace analysis
