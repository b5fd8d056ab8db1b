// The statement classifier: thirteen rules on the first two tokens of a line.
#include <cstring>

#include "analysis/analysis.h"
#include "input/input.h"
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

// Reads the next token into slot; true when it ends the statement.
bool fill_slot(TokenSlot& slot) {
    slot.kind = fetch_token();
    slot.index = lex::keyword_index;
    slot.length = lex::token_length;
    lex::copy_text(slot.text, lex::token_text, static_cast<std::size_t>(lex::token_length) + 1);
    return slot.kind == TOKEN_END;
}

void clear_slot(TokenSlot& slot) {
    slot.index = 0;
    slot.kind = 0;
    slot.length = 0;
    slot.text[0] = 0;
}

inline bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Step A: a symbol followed by a mnemonic, pseudo-instruction, reserved word,
// bracket or "=".  True when a rule matched.
bool analyse_labelled(const TokenSlot& f, const TokenSlot& s) {
    if (f.kind != TOKEN_SYMBOL) return false;
    if (s.kind == TOKEN_MNEMONIC) {
        analyse_instruction(f.text, s.index);
    } else if (s.kind == TOKEN_DIRECTIVE) {
        analyse_directive(f.text, s.index);
    } else if (s.kind == TOKEN_RESERVED || starts_bracket(s.text)) {
        analyse_keyword_statement(f.text);
    } else if (s.text[0] == '=') {
        analyse_directive(f.text, FIRST_DIRECTIVE_ROW);
    } else {
        return false;
    }
    return true;
}

// Step B, with scan_position back at the second token.
void analyse_unlabelled(const TokenSlot& f, const TokenSlot& s) {
    if (f.kind == TOKEN_MNEMONIC) {
        analyse_instruction(nullptr, f.index);
    } else if (f.kind == TOKEN_DIRECTIVE) {
        analyse_directive(nullptr, f.index);
    } else if (f.kind == TOKEN_RESERVED || starts_bracket(f.text)) {
        analyse_keyword_statement(nullptr);
    } else if (s.text[0] == '=' || starts_with(s.text, "*=")) {
        analyse_directive(nullptr, FIRST_DIRECTIVE_ROW);
    } else if (f.kind == TOKEN_SYMBOL && s.kind == TOKEN_END) {
        define_symbol(f.text);
    }
}

}  // namespace

void analyse_line() {
    TokenSlot& f = lookahead[0];
    TokenSlot& s = lookahead[1];
    clear_slot(f);
    clear_slot(s);
    if (!fill_slot(f)) fill_slot(s);
    if (analyse_labelled(f, s)) return;
    lex::back_up_token();
    analyse_unlabelled(f, s);
}

void define_symbol(const char* text) {
    current_mark = '#';
    symbols::queue_reference(text, static_cast<std::uint32_t>(std::strlen(text)));
}

void analyse_instruction(const char* label, std::int32_t row) {
    if (label != nullptr) define_symbol(label);
    current_mark = ' ';
    std::int32_t type = lex::mnemonic_table[row].type;
    if (type == lex::MNEMONIC_IMPLIED) return;
    if (type == lex::MNEMONIC_CALL) current_mark = '&';
    record_rest_of_line();
    current_mark = ' ';
}

void analyse_directive(const char* label, std::int32_t row) {
    std::int32_t type = lex::directive_table[row].type;
    if (type == lex::DIRECTIVE_MACRO) current_kind = 'M';
    if (label != nullptr) define_symbol(label);
    current_kind = ' ';
    current_mark = ' ';
    if (type == lex::DIRECTIVE_INCLUDE) {
        input::open_include();
        return;
    }
    if (type == lex::DIRECTIVE_TITLE) {
        take_title();
        return;
    }
    record_rest_of_line();
    current_kind = ' ';
    current_mark = ' ';
}

void analyse_keyword_statement(const char* label) {
    if (label != nullptr) define_symbol(label);
    current_mark = ' ';
    record_rest_of_line();
    current_mark = ' ';
}

void record_rest_of_line() {
    for (;;) {
        std::int32_t kind = fetch_token();
        if (kind == TOKEN_END) return;
        if (kind == TOKEN_SYMBOL)
            symbols::queue_reference(lex::token_text, static_cast<std::uint32_t>(lex::token_length));
    }
}

void take_title() {
    if (page_title[0] != 0) return;
    if (fetch_token() != TOKEN_STRING) return;
    int column = 0;
    for (const char* p = lex::token_text; *p != 0 && column < TITLE_WIDTH; ++p) {
        if (*p == '\t') {
            int stop = column + 8 - column % 8;
            if (stop > TITLE_WIDTH) stop = TITLE_WIDTH;
            while (column < stop) page_title[column++] = ' ';
        } else {
            page_title[column++] = *p;
        }
    }
    page_title[column] = 0;
}

bool starts_bracket(const char* text) { return text[0] == '[' || text[0] == '{'; }

void reset_analysis() {
    page_title[0] = 0;
    current_mark = ' ';
    current_kind = ' ';
}

}  // namespace analysis
