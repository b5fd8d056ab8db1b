// The statement classifier: the first two tokens of a line choose its
// statement shape, and the shape says which symbols are recorded and how.
#include <cassert>
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
std::int32_t mentioned_line = -1;   // index of the line of the last mention, -1 before the first

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

// Whether the word before at in the line, blanks aside, is word (letter
// case aside) and stands alone.
bool word_before(const char* at, const char* word, std::size_t length) {
    const char* p = at;
    while (p > input::line_buffer && (p[-1] == ' ' || p[-1] == '\t')) --p;
    const char* end = p;
    while (p > input::line_buffer && lex::is_name_char(p[-1])) --p;
    if (static_cast<std::size_t>(end - p) != length) return false;
    for (std::size_t i = 0; i < length; ++i)
        if (input::to_upper(p[i]) != word[i]) return false;
    return true;
}

// Whether .MACRO stands as a word in the line before at.
bool after_macro(const char* at) {
    static constexpr char KEY[] = ".MACRO";
    constexpr std::size_t KEY_LENGTH = sizeof KEY - 1;
    for (const char* p = input::line_buffer; p + KEY_LENGTH <= at; ++p) {
        std::size_t i = 0;
        while (i < KEY_LENGTH && input::to_upper(p[i]) == KEY[i]) ++i;
        if (i == KEY_LENGTH && !lex::is_name_char(p[i])) return true;
    }
    return false;
}

// Notes the symbol token of length characters at text_start as a mention:
// listed, recorded with the current mark and kind (its name only), or left
// out by the statement.
void mention(const char* text_start, int length, bool listed) {
    // A word glued to a number before it is part of that number.
    if (text_start > input::line_buffer && lex::is_decimal_digit(text_start[-1])) return;
    std::uint32_t n = static_cast<std::uint32_t>(length);
    const symbols::SymbolNode* node;
    std::uint8_t flags = 0;
    char mark = 0;
    if (!listed) {
        node = symbols::note_name(text_start, n);
        if (word_before(text_start, "JSR", 3)) mark = '&';   // a call, though the listing leaves the line out
    } else {
        node = symbols::record_name(text_start, n, current_mark, current_kind, &mark);
        flags |= MENTION_LISTED;
        if (mark == ' ' && after_macro(text_start)) {   // a parameter, defined by its .MACRO line
            mark = '#';
            flags |= MENTION_PARAMETER;
        }
    }
    const input::RunRecord& run = input::record;
    std::int32_t index = run.lines_read - 1;
    if (index != mentioned_line) {
        flags |= MENTION_LINE_FIRST;
        mentioned_line = index;
    }
    if (!run.cut_lines.empty() && run.cut_lines.back() == index) flags |= MENTION_LINE_CUT;
    int column = static_cast<int>(text_start - input::line_buffer);
    std::int64_t from, to;
    input::file_span(run, index, column, length, &from, &to);
    int line_length = input::line_length - 1;
    assert(from >= 0 && to <= MAX_MENTION_OFFSET + 1 && "a file of at most 1 TiB");
    int file = run.line_runs.back().file;
    Mentions& kept = *mentions;
    if (kept.files.empty() || kept.files.back().file != file) kept.files.push_back(MentionRun{kept.list.size(), file});
    if (to - from != length) kept.broken.push_back(BrokenMention{kept.list.size(), static_cast<int>(to - from - length)});
    kept.list.push_back(Mention{node, static_cast<std::uint32_t>(from), static_cast<std::uint8_t>(from >> 32),
                                static_cast<std::uint8_t>(line_length < 0 ? 0 : line_length > 254 ? 254 : line_length), mark, flags});
}

// Records length characters of text, standing at text_start in the line, on
// the current line with the current mark and kind; with Mentions the table
// gets only the name, and the run a mention.  (Every step of a line is made
// twice, with and without Mentions, so that the command line's run tests
// nothing for them: a test per symbol cost 3.2 % more instructions on
// 1,000,000 realistic lines under callgrind, 3.8 % on hot.)
template <bool Mentions>
void record(const char* text_start, const char* text, int length) {
    if constexpr (Mentions) {
        mention(text_start, length, true);
    } else {
        symbols::record_reference(text, static_cast<std::uint32_t>(length), current_mark, current_kind, input::line_number,
                                  static_cast<int>(text_start - input::line_buffer));
    }
}

// Mentions a symbol the statement leaves out.
void pass_over(const TokenSlot& slot) {
    if (slot.kind == TOKEN_SYMBOL) mention(slot.text_start, slot.length, false);
}

bool is_include(const TokenSlot& slot) {
    return slot.kind == TOKEN_DIRECTIVE && lex::directive_table[slot.index].type == lex::DIRECTIVE_INCLUDE;
}

// Mentions the symbols from scan_position to the end of the statement,
// which the classifier did not read.
void pass_over_rest() {
    for (;;) {
        std::int32_t kind = fetch_token();
        if (kind == TOKEN_END) return;
        if (kind == TOKEN_SYMBOL) mention(lex::text_start, lex::token_length, false);
    }
}

// Records the label with the mark "#".
template <bool Mentions>
void define_symbol(const TokenSlot& label) {
    current_mark = '#';
    record<Mentions>(label.text_start, label.text_start, label.length);
}

// Records every symbol up to the end of the statement.
template <bool Mentions>
void record_rest_of_line() {
    for (;;) {
        std::int32_t kind = fetch_token();
        if (kind == TOKEN_END) return;
        if (kind == TOKEN_SYMBOL) record<Mentions>(lex::text_start, lex::text_start, lex::token_length);
    }
}

// Takes the string operand of PAGE as the title, unless the source
// already has one.
void take_title() {
    if (title[0] != 0) return;
    if (fetch_token() != TOKEN_STRING) {
        lex::back_up_token();   // not a title: what follows is read as the statement's rest
        return;
    }
    listing::title_of(lex::text_start, lex::token_length, title);
}

// A statement led by the mnemonic at row, after an optional label: operand
// symbols are uses, or calls ("&") for a call mnemonic; an implied mnemonic
// reads nothing after it.
template <bool Mentions>
void analyse_instruction(const TokenSlot* label, std::int32_t row) {
    if (label != nullptr) define_symbol<Mentions>(*label);
    current_mark = ' ';
    std::int32_t type = lex::mnemonic_table[row].type;
    if (type == lex::MNEMONIC_IMPLIED) return;
    if (type == lex::MNEMONIC_CALL) current_mark = '&';
    record_rest_of_line<Mentions>();
    current_mark = ' ';
}

// A statement led by the pseudo-instruction at row, or an "=" assignment,
// after an optional label: MACRO makes the label a macro name, INCLUDE opens
// a file, PAGE takes the title, any other records its operand symbols.
template <bool Mentions>
void analyse_directive(const TokenSlot* label, std::int32_t row) {
    std::int32_t type = lex::directive_table[row].type;
    if (type == lex::DIRECTIVE_MACRO) current_kind = 'M';
    if (label != nullptr) define_symbol<Mentions>(*label);
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
    record_rest_of_line<Mentions>();
}

// A statement led by a reserved word or a bracket, after an optional label:
// every symbol after it is a use.
template <bool Mentions>
void analyse_keyword_statement(const TokenSlot* label) {
    if (label != nullptr) define_symbol<Mentions>(*label);
    current_mark = ' ';
    record_rest_of_line<Mentions>();
}

// A symbol followed by a mnemonic, a pseudo-instruction, a reserved word, a
// bracket or "=": the symbol is the statement's label.  True when one matched.
template <bool Mentions>
bool analyse_labelled(const TokenSlot& f, const TokenSlot& s) {
    if (f.kind != TOKEN_SYMBOL) return false;
    if (s.kind == TOKEN_MNEMONIC) {
        analyse_instruction<Mentions>(&f, s.index);
    } else if (s.kind == TOKEN_DIRECTIVE) {
        analyse_directive<Mentions>(&f, s.index);
    } else if (s.kind == TOKEN_RESERVED || starts_bracket(s)) {
        analyse_keyword_statement<Mentions>(&f);
    } else if (starts_with(s, '=')) {
        analyse_directive<Mentions>(&f, FIRST_DIRECTIVE_ROW);
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
template <bool Mentions>
void analyse_unlabelled(const TokenSlot& f, const TokenSlot& s) {
    if constexpr (Mentions)
        if (f.kind == TOKEN_SYMBOL && s.kind != TOKEN_END) pass_over(f);   // a symbol that leads no statement
    if (f.kind == TOKEN_MNEMONIC) {
        analyse_instruction<Mentions>(nullptr, f.index);
    } else if (f.kind == TOKEN_DIRECTIVE) {
        analyse_directive<Mentions>(nullptr, f.index);
    } else if (f.kind == TOKEN_RESERVED || starts_bracket(f)) {
        analyse_keyword_statement<Mentions>(nullptr);
    } else if (starts_with(s, '=') || starts_with(s, '*', '=')) {
        analyse_directive<Mentions>(nullptr, FIRST_DIRECTIVE_ROW);
    } else if (f.kind == TOKEN_SYMBOL && s.kind == TOKEN_END) {
        define_symbol<Mentions>(f);
    }
}

template <bool Mentions>
void analyse_line_as() {
    TokenSlot& f = lookahead[0];
    TokenSlot& s = lookahead[1];
    lex::start_line();
    clear_slot(f);
    clear_slot(s);
    if (!fill_slot(f)) fill_slot(s);
    if (!analyse_labelled<Mentions>(f, s)) {
        lex::back_up_token();
        analyse_unlabelled<Mentions>(f, s);
    }
    // What the classifier stopped short of: after an implied mnemonic, a
    // title, or a statement that records nothing.  An INCLUDE's rest is its
    // file name.
    if constexpr (Mentions)
        if (!is_include(f) && !is_include(s)) pass_over_rest();
}

}  // namespace

void analyse_line(int keep) {
    if ((keep & KEEP_MENTIONS) != 0) {
        if (!mentions) mentions.emplace();
        analyse_line_as<true>();
    } else {
        analyse_line_as<false>();
    }
}

void reset_analysis() {
    current_mark = ' ';
    current_kind = ' ';
    title[0] = 0;
    mentions.reset();
    mentioned_line = -1;
}

namespace {

// The command line's run loop, flattened: the reader, the tokenizer and the
// classifier inlined into it, as they were when the loop lived in the
// driver's main: 10 % fewer instructions on 100,000 realistic and crlf
// lines under callgrind, 11 % on hot (with the forced inlining above, 6 %
// with --html).
[[gnu::flatten]] void analyse_lines() {
    while (input::next_line()) {
        analyse_line_as<false>();
        input::count_line();
    }
}

// The run loop that keeps mentions, for the language server (not
// flattened: it would double the code of the loop above).
void analyse_lines_keeping_mentions() {
    while (input::next_line()) {
        analyse_line_as<true>();
        input::count_line();
    }
}

// What a run that failed leaves: nothing.
void drop_run() {
    input::close_streams();   // a caller may go on after a fatal error
    input::take_record();
    symbols::release_tree();
    reset_analysis();
}

}  // namespace

Record analyse_source(platform::TextStream* source, const char* name, int keep) {
    bool keep_mentions = (keep & KEEP_MENTIONS) != 0;
    input::reset_input(source, name, (keep & (input::KEEP_OFFSETS | input::KEEP_TEXTS)) | (keep_mentions ? input::KEEP_OFFSETS : 0));
    reset_analysis();
    if (keep_mentions) mentions.emplace();
    symbols::reset_symbols();
    try {
        if (keep_mentions)
            analyse_lines_keeping_mentions();
        else
            analyse_lines();
        symbols::finish_recording();   // nothing reads the table with occurrences queued
    } catch (const fatal::FatalExit&) {
        drop_run();
        throw;
    }
    bool failed = !input::close_source();   // a read error shows only here
    Record record{input::take_record(), symbols::take_table(), std::string(title),
                  mentions ? std::move(*mentions) : Mentions(), failed};
    reset_analysis();
    return record;
}

}  // namespace analysis
