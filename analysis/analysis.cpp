// The statement classifier: the first two tokens of a line choose its
// statement shape, and the shape says which symbols are recorded and how.
#include <cstdint>
#include <cstring>

#include "analysis/analysis.h"
#include "fatal/fatal.h"
#include "input/input.h"
#include "lex/lex.h"
#include "listing/listing.h"
#include "symbols/symbols.h"

namespace analysis {

using lex::fetch_token;
using lex::TOKEN_DIRECTIVE;
using lex::TOKEN_END;
using lex::TOKEN_MNEMONIC;
using lex::TOKEN_RESERVED;
using lex::TOKEN_STRING;
using lex::TOKEN_SYMBOL;

namespace {

constexpr std::int32_t FIRST_DIRECTIVE_ROW = 0;   // BEXT, a general pseudo-instruction

// One of the line's first two tokens, kept because the tokenizer's state
// moves on to the next token.
struct TokenSlot {
    const char* text_start;            // where its text stands in the line
    std::int32_t index;                // keyword_index of a keyword token
    std::int32_t kind;                 // token kind, 0 when no token was read
    int length;                        // characters of its text
};

TokenSlot lookahead[2];   // first and second token of the line
SymbolSink sink = nullptr;   // of analyse_line_to, while it runs

// Reads the next token into slot; true when it ends the statement.  Forced
// inline, with set_text and find_word in lex/: once the run loop moved here
// the compiler stopped inlining all three (together 3 % fewer instructions
// on 100,000 lines of the realistic, hot and crlf cases, under callgrind).
[[gnu::always_inline]] inline bool fill_slot(TokenSlot& slot) {
    slot.kind = fetch_token();
    slot.text_start = lex::text_start;
    slot.index = lex::keyword_index;
    slot.length = lex::token_length;
    return slot.kind == TOKEN_END;
}

void clear_slot(TokenSlot& slot) {
    slot.text_start = input::line_buffer;
    slot.index = 0;
    slot.kind = 0;
    slot.length = 0;
}

// Whether the slot's text starts with c, or with c and then d.
bool starts_with(const TokenSlot& slot, char c) { return slot.length >= 1 && slot.text_start[0] == c; }
bool starts_with(const TokenSlot& slot, char c, char d) { return slot.length >= 2 && slot.text_start[0] == c && slot.text_start[1] == d; }

bool starts_bracket(const TokenSlot& slot) { return starts_with(slot, '[') || starts_with(slot, '{'); }

// Records length characters of text, standing at text_start in the line, on
// the current line with the current mark and kind; with Collect the table
// gets only the name, and the sink the occurrence.  (Every step of a line
// is made twice, with and without Collect, so that the command line's run
// tests nothing for the sink: a test of a sink pointer cost 3.2 % more
// instructions on 1,000,000 realistic lines under callgrind, 3.8 % on hot.)
template <bool Collect>
void record(const char* text_start, const char* text, int length) {
    if constexpr (Collect) {
        sink(text_start, text, length, symbols::record_name(text, static_cast<std::uint32_t>(length), current_mark, current_kind));
    } else {
        symbols::record_reference(text, static_cast<std::uint32_t>(length), current_mark, current_kind, input::line_number,
                                  static_cast<int>(text_start - input::line_buffer));
    }
}

// Hands the sink a symbol the statement leaves out.
void pass_over(const TokenSlot& slot) {
    if (slot.kind == TOKEN_SYMBOL) sink(slot.text_start, slot.text_start, slot.length, 0);
}

bool is_include(const TokenSlot& slot) {
    return slot.kind == TOKEN_DIRECTIVE && lex::directive_table[slot.index].type == lex::DIRECTIVE_INCLUDE;
}

// Hands the sink the symbols from scan_position to the end of the
// statement, which the classifier did not read.
void pass_over_rest() {
    for (;;) {
        std::int32_t kind = fetch_token();
        if (kind == TOKEN_END) return;
        if (kind == TOKEN_SYMBOL) sink(lex::text_start, lex::text_start, lex::token_length, 0);
    }
}

// Records the label with the mark "#".
template <bool Collect>
void define_symbol(const TokenSlot& label) {
    current_mark = '#';
    record<Collect>(label.text_start, label.text_start, label.length);
}

// Records every symbol up to the end of the statement.
template <bool Collect>
void record_rest_of_line() {
    for (;;) {
        std::int32_t kind = fetch_token();
        if (kind == TOKEN_END) return;
        if (kind == TOKEN_SYMBOL) record<Collect>(lex::text_start, lex::text_start, lex::token_length);
    }
}

// Hands the string operand of PAGE to the listing as its title, unless the
// source already has one.
void take_title() {
    if (listing::page_title[0] != 0) return;
    if (fetch_token() != TOKEN_STRING) {
        lex::back_up_token();   // not a title: what follows is read as the statement's rest
        return;
    }
    listing::set_title(lex::text_start, lex::token_length);
}

// A statement led by the mnemonic at row, after an optional label: operand
// symbols are uses, or calls ("&") for a call mnemonic; an implied mnemonic
// reads nothing after it.
template <bool Collect>
void analyse_instruction(const TokenSlot* label, std::int32_t row) {
    if (label != nullptr) define_symbol<Collect>(*label);
    current_mark = ' ';
    std::int32_t type = lex::mnemonic_table[row].type;
    if (type == lex::MNEMONIC_IMPLIED) return;
    if (type == lex::MNEMONIC_CALL) current_mark = '&';
    record_rest_of_line<Collect>();
    current_mark = ' ';
}

// A statement led by the pseudo-instruction at row, or an "=" assignment,
// after an optional label: MACRO makes the label a macro name, INCLUDE opens
// a file, PAGE takes the title, any other records its operand symbols.
template <bool Collect>
void analyse_directive(const TokenSlot* label, std::int32_t row) {
    std::int32_t type = lex::directive_table[row].type;
    if (type == lex::DIRECTIVE_MACRO) current_kind = 'M';
    if (label != nullptr) define_symbol<Collect>(*label);
    current_kind = ' ';
    current_mark = ' ';
    if (type == lex::DIRECTIVE_INCLUDE) {
        lex::scan_file_name();
        input::open_include(lex::file_name, static_cast<int>(lex::text_start - input::line_buffer));
        return;
    }
    if (type == lex::DIRECTIVE_TITLE) {
        take_title();
        return;
    }
    record_rest_of_line<Collect>();
}

// A statement led by a reserved word or a bracket, after an optional label:
// every symbol after it is a use.
template <bool Collect>
void analyse_keyword_statement(const TokenSlot* label) {
    if (label != nullptr) define_symbol<Collect>(*label);
    current_mark = ' ';
    record_rest_of_line<Collect>();
}

// A symbol followed by a mnemonic, a pseudo-instruction, a reserved word, a
// bracket or "=": the symbol is the statement's label.  True when one matched.
template <bool Collect>
bool analyse_labelled(const TokenSlot& f, const TokenSlot& s) {
    if (f.kind != TOKEN_SYMBOL) return false;
    if (s.kind == TOKEN_MNEMONIC) {
        analyse_instruction<Collect>(&f, s.index);
    } else if (s.kind == TOKEN_DIRECTIVE) {
        analyse_directive<Collect>(&f, s.index);
    } else if (s.kind == TOKEN_RESERVED || starts_bracket(s)) {
        analyse_keyword_statement<Collect>(&f);
    } else if (starts_with(s, '=')) {
        analyse_directive<Collect>(&f, FIRST_DIRECTIVE_ROW);
    } else {
        return false;
    }
    return true;
}

// A line without a label, with scan_position back at the second token: led
// by a mnemonic, a pseudo-instruction, a reserved word or a bracket; any
// other token followed by "=", "==" or "*=" (as in "* = BASE" and
// "ORIGIN *= BASE"), whose operands are uses and whose first token is not
// recorded; or a symbol alone, which is defined.  Anything else (two
// symbols, a symbol and a number, a lone "*=" ...) records nothing.
template <bool Collect>
void analyse_unlabelled(const TokenSlot& f, const TokenSlot& s) {
    if constexpr (Collect)
        if (f.kind == TOKEN_SYMBOL && s.kind != TOKEN_END) pass_over(f);   // a symbol that leads no statement
    if (f.kind == TOKEN_MNEMONIC) {
        analyse_instruction<Collect>(nullptr, f.index);
    } else if (f.kind == TOKEN_DIRECTIVE) {
        analyse_directive<Collect>(nullptr, f.index);
    } else if (f.kind == TOKEN_RESERVED || starts_bracket(f)) {
        analyse_keyword_statement<Collect>(nullptr);
    } else if (starts_with(s, '=') || starts_with(s, '*', '=')) {
        analyse_directive<Collect>(nullptr, FIRST_DIRECTIVE_ROW);
    } else if (f.kind == TOKEN_SYMBOL && s.kind == TOKEN_END) {
        define_symbol<Collect>(f);
    }
}

template <bool Collect>
void analyse_line_as() {
    TokenSlot& f = lookahead[0];
    TokenSlot& s = lookahead[1];
    lex::start_line();
    clear_slot(f);
    clear_slot(s);
    if (!fill_slot(f)) fill_slot(s);
    if (!analyse_labelled<Collect>(f, s)) {
        lex::back_up_token();
        analyse_unlabelled<Collect>(f, s);
    }
    // What the classifier stopped short of: after an implied mnemonic, a
    // title, or a statement that records nothing.  An INCLUDE's rest is its
    // file name.
    if constexpr (Collect)
        if (!is_include(f) && !is_include(s)) pass_over_rest();
}

}  // namespace

void analyse_line() { analyse_line_as<false>(); }

void analyse_line_to(SymbolSink to) {
    sink = to;
    analyse_line_as<true>();
}

void reset_analysis() {
    current_mark = ' ';
    current_kind = ' ';
}

// Flattened: the reader, the tokenizer and the classifier inlined into the
// run loop, as they were when the loop lived in the driver's main: 10 %
// fewer instructions on 100,000 realistic and crlf lines under callgrind,
// 11 % on hot (with the forced inlining above, 6 % with --html).
[[gnu::flatten]] void analyse_source(platform::TextStream* source, const char* name, int keep) {
    input::reset_input(source, name, keep);
    reset_analysis();
    symbols::reset_symbols();
    try {
        while (input::next_line()) {
            analyse_line();
            input::count_line();
        }
        symbols::finish_recording();   // nothing reads the table with occurrences queued
    } catch (const fatal::FatalExit&) {
        input::close_streams();   // a caller may go on after a fatal error
        throw;
    }
    // A source that failed while it was read ends the run before its
    // listing takes the place of the old one.
    if (!input::close_source()) fatal::report_error(fatal::ERROR_READ_SOURCE, name);
}

}  // namespace analysis
