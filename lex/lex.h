// Lexical analysis: the three keyword tables and their lookup, the character
// classes, and the tokenizer that cuts the current line into
// classified tokens.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "input/input.h"

namespace lex {

// Token kinds, shared with the statement classifier.
inline constexpr std::int32_t TOKEN_END = 1;        // terminator, line feed or ";"
inline constexpr std::int32_t TOKEN_OPERATOR = 2;   // one or two punctuation characters
inline constexpr std::int32_t TOKEN_RESERVED = 3;   // a word of reserved_table
inline constexpr std::int32_t TOKEN_NUMBER = 4;     // a numeric literal
inline constexpr std::int32_t TOKEN_MNEMONIC = 5;   // a word of mnemonic_table
inline constexpr std::int32_t TOKEN_DIRECTIVE = 6;  // "." and a word of directive_table
inline constexpr std::int32_t TOKEN_SYMBOL = 7;     // a user symbol
inline constexpr std::int32_t TOKEN_STRING = 8;     // text between quotes
inline constexpr std::int32_t TOKEN_INVALID = 9;    // anything that starts no token

// Row types of the keyword tables.
inline constexpr std::int32_t MNEMONIC_IMPLIED = 1;   // no operand is read
inline constexpr std::int32_t MNEMONIC_CALL = 2;      // operand symbols are marked "&"
inline constexpr std::int32_t MNEMONIC_OPERANDS = 3;  // operand symbols are plain uses
inline constexpr std::int32_t DIRECTIVE_INCLUDE = 1;  // the operand names a file to read
inline constexpr std::int32_t DIRECTIVE_TITLE = 2;    // a string operand becomes the title
inline constexpr std::int32_t DIRECTIVE_GENERAL = 3;  // operand symbols are plain uses
inline constexpr std::int32_t DIRECTIVE_MACRO = 4;    // the label names a macro
inline constexpr std::int32_t RESERVED_WORD = 1;      // the one type of reserved_table

inline constexpr int FILE_NAME_SIZE = input::LINE_BUFFER_SIZE;   // a name is never longer than its line
inline constexpr int MAX_KEYWORD_LENGTH = 8;   // longest name in any table

struct KeywordEntry {
    const char* name;    // upper case; nullptr in the end row
    std::int32_t type;   // one of the row types above; 0 in the end row
};

inline constexpr KeywordEntry mnemonic_table[] = {
    {"ADC", MNEMONIC_OPERANDS}, {"AND", MNEMONIC_OPERANDS}, {"ASL", MNEMONIC_OPERANDS}, {"BBC", MNEMONIC_OPERANDS},
    {"BBS", MNEMONIC_OPERANDS}, {"BCC", MNEMONIC_OPERANDS}, {"BCS", MNEMONIC_OPERANDS}, {"BEQ", MNEMONIC_OPERANDS},
    {"BIT", MNEMONIC_OPERANDS}, {"BMI", MNEMONIC_OPERANDS}, {"BNE", MNEMONIC_OPERANDS}, {"BPL", MNEMONIC_OPERANDS},
    {"BRA", MNEMONIC_OPERANDS}, {"BRK", MNEMONIC_IMPLIED},  {"BVC", MNEMONIC_OPERANDS}, {"BVS", MNEMONIC_OPERANDS},
    {"CLB", MNEMONIC_OPERANDS}, {"CLC", MNEMONIC_IMPLIED},  {"CLD", MNEMONIC_IMPLIED},  {"CLI", MNEMONIC_IMPLIED},
    {"CLT", MNEMONIC_IMPLIED},  {"CLV", MNEMONIC_IMPLIED},  {"CMP", MNEMONIC_OPERANDS}, {"COM", MNEMONIC_OPERANDS},
    {"CPX", MNEMONIC_OPERANDS}, {"CPY", MNEMONIC_OPERANDS}, {"DEC", MNEMONIC_OPERANDS}, {"DEX", MNEMONIC_IMPLIED},
    {"DEY", MNEMONIC_IMPLIED},  {"DIV", MNEMONIC_OPERANDS}, {"EOR", MNEMONIC_OPERANDS}, {"FST", MNEMONIC_IMPLIED},
    {"INC", MNEMONIC_OPERANDS}, {"INX", MNEMONIC_IMPLIED},  {"INY", MNEMONIC_IMPLIED},  {"JMP", MNEMONIC_OPERANDS},
    {"JSR", MNEMONIC_CALL},     {"LDA", MNEMONIC_OPERANDS}, {"LDM", MNEMONIC_OPERANDS}, {"LDX", MNEMONIC_OPERANDS},
    {"LDY", MNEMONIC_OPERANDS}, {"LSR", MNEMONIC_OPERANDS}, {"MUL", MNEMONIC_OPERANDS}, {"NOP", MNEMONIC_IMPLIED},
    {"ORA", MNEMONIC_OPERANDS}, {"PHA", MNEMONIC_IMPLIED},  {"PHP", MNEMONIC_IMPLIED},  {"PLA", MNEMONIC_IMPLIED},
    {"PLP", MNEMONIC_IMPLIED},  {"ROL", MNEMONIC_OPERANDS}, {"ROR", MNEMONIC_OPERANDS}, {"RRF", MNEMONIC_OPERANDS},
    {"RTI", MNEMONIC_IMPLIED},  {"RTS", MNEMONIC_IMPLIED},  {"SBC", MNEMONIC_OPERANDS}, {"SEB", MNEMONIC_OPERANDS},
    {"SEC", MNEMONIC_IMPLIED},  {"SED", MNEMONIC_IMPLIED},  {"SEI", MNEMONIC_IMPLIED},  {"SET", MNEMONIC_IMPLIED},
    {"STA", MNEMONIC_OPERANDS}, {"STP", MNEMONIC_IMPLIED},  {"STX", MNEMONIC_OPERANDS}, {"STY", MNEMONIC_OPERANDS},
    {"TAX", MNEMONIC_IMPLIED},  {"TAY", MNEMONIC_IMPLIED},  {"TST", MNEMONIC_OPERANDS}, {"TSX", MNEMONIC_IMPLIED},
    {"TXA", MNEMONIC_IMPLIED},  {"TXS", MNEMONIC_IMPLIED},  {"TYA", MNEMONIC_IMPLIED},  {"WIT", MNEMONIC_IMPLIED},
    {nullptr, 0},
};

inline constexpr KeywordEntry directive_table[] = {
    {"BEXT", DIRECTIVE_GENERAL},     {"BLKB", DIRECTIVE_GENERAL},     {"BYTE", DIRECTIVE_GENERAL},
    {"COL", DIRECTIVE_GENERAL},      {"ELSE", DIRECTIVE_GENERAL},     {"END", DIRECTIVE_GENERAL},
    {"ENDFUNC", DIRECTIVE_GENERAL},  {"ENDIF", DIRECTIVE_GENERAL},    {"ENDIO", DIRECTIVE_GENERAL},
    {"ENDM", DIRECTIVE_GENERAL},     {"ENDPROC", DIRECTIVE_GENERAL},  {"ENDRAM", DIRECTIVE_GENERAL},
    {"EQU", DIRECTIVE_GENERAL},      {"ERROR", DIRECTIVE_GENERAL},    {"EXITM", DIRECTIVE_GENERAL},
    {"EXT", DIRECTIVE_GENERAL},      {"FUNC", DIRECTIVE_GENERAL},     {"IF", DIRECTIVE_GENERAL},
    {"INCLUDE", DIRECTIVE_INCLUDE},  {"IO", DIRECTIVE_GENERAL},       {"LIB", DIRECTIVE_GENERAL},
    {"LINE", DIRECTIVE_GENERAL},     {"LIST", DIRECTIVE_GENERAL},     {"LISTM", DIRECTIVE_GENERAL},
    {"LOCAL", DIRECTIVE_GENERAL},    {"MACRO", DIRECTIVE_MACRO},      {"NLIST", DIRECTIVE_GENERAL},
    {"NLISTM", DIRECTIVE_GENERAL},   {"OBJ", DIRECTIVE_GENERAL},      {"ORG", DIRECTIVE_GENERAL},
    {"PAGE", DIRECTIVE_TITLE},       {"PMOD", DIRECTIVE_GENERAL},     {"PROCINT", DIRECTIVE_GENERAL},
    {"PROCMAIN", DIRECTIVE_GENERAL}, {"PROCSUB", DIRECTIVE_GENERAL},  {"PROGNAME", DIRECTIVE_GENERAL},
    {"PUB", DIRECTIVE_GENERAL},      {"RAM", DIRECTIVE_GENERAL},      {"REPEAT", DIRECTIVE_GENERAL},
    {"REPEATC", DIRECTIVE_GENERAL},  {"REPEATI", DIRECTIVE_GENERAL},  {"RMOD", DIRECTIVE_GENERAL},
    {"SECTION", DIRECTIVE_GENERAL},  {"SEXT", DIRECTIVE_GENERAL},     {"SMOD", DIRECTIVE_GENERAL},
    {"VER", DIRECTIVE_GENERAL},      {"WORD", DIRECTIVE_GENERAL},     {"ZBEXT", DIRECTIVE_GENERAL},
    {"ZEXT", DIRECTIVE_GENERAL},     {"ZMOD", DIRECTIVE_GENERAL},
    {nullptr, 0},
};

inline constexpr KeywordEntry reserved_table[] = {
    {"A", RESERVED_WORD},      {"BIT_A0", RESERVED_WORD}, {"BIT_A1", RESERVED_WORD}, {"BIT_A2", RESERVED_WORD},
    {"BIT_A3", RESERVED_WORD}, {"BIT_A4", RESERVED_WORD}, {"BIT_A5", RESERVED_WORD}, {"BIT_A6", RESERVED_WORD},
    {"BIT_A7", RESERVED_WORD}, {"BREAK", RESERVED_WORD},  {"C", RESERVED_WORD},      {"CASE", RESERVED_WORD},
    {"CONTINUE", RESERVED_WORD}, {"D", RESERVED_WORD},    {"DEFAULT", RESERVED_WORD}, {"DO", RESERVED_WORD},
    {"ELSE", RESERVED_WORD},   {"ENDIF", RESERVED_WORD},  {"ENDS", RESERVED_WORD},   {"EVER", RESERVED_WORD},
    {"FOR", RESERVED_WORD},    {"I", RESERVED_WORD},      {"IF", RESERVED_WORD},     {"LDO", RESERVED_WORD},
    {"LELSE", RESERVED_WORD},  {"LFOR", RESERVED_WORD},   {"LIF", RESERVED_WORD},    {"LSWITCH", RESERVED_WORD},
    {"N", RESERVED_WORD},      {"NEXT", RESERVED_WORD},   {"P", RESERVED_WORD},      {"R", RESERVED_WORD},
    {"S", RESERVED_WORD},      {"SIZEOF", RESERVED_WORD}, {"SWITCH", RESERVED_WORD}, {"T", RESERVED_WORD},
    {"V", RESERVED_WORD},      {"W", RESERVED_WORD},      {"WHILE", RESERVED_WORD},  {"WITH_C", RESERVED_WORD},
    {"X", RESERVED_WORD},      {"Y", RESERVED_WORD},      {"Z", RESERVED_WORD},
    {nullptr, 0},
};

// Compile-time proofs of what the lookup relies on.
namespace table_checks {
template <std::size_t N>
constexpr int rows(const KeywordEntry (&)[N]) { return static_cast<int>(N) - 1; }
template <std::size_t N>
constexpr bool sorted_and_ended(const KeywordEntry (&t)[N]) {
    for (std::size_t i = 0; i + 1 < N; ++i) {
        if (t[i].name == nullptr || t[i].type == 0) return false;
        if (std::string_view(t[i].name).size() > MAX_KEYWORD_LENGTH) return false;
        if (i > 0 && !(std::string_view(t[i - 1].name) < std::string_view(t[i].name))) return false;
    }
    return t[N - 1].name == nullptr && t[N - 1].type == 0;
}
template <std::size_t N>
constexpr int count_type(const KeywordEntry (&t)[N], std::int32_t type) {
    int n = 0;
    for (std::size_t i = 0; i + 1 < N; ++i) n += t[i].type == type;
    return n;
}
}  // namespace table_checks

static_assert(table_checks::sorted_and_ended(mnemonic_table), "mnemonic_table must be sorted");
static_assert(table_checks::sorted_and_ended(directive_table), "directive_table must be sorted");
static_assert(table_checks::sorted_and_ended(reserved_table), "reserved_table must be sorted");
static_assert(table_checks::rows(mnemonic_table) == 72 && table_checks::rows(directive_table) == 50 &&
              table_checks::rows(reserved_table) == 43, "row counts");
static_assert(table_checks::count_type(mnemonic_table, MNEMONIC_IMPLIED) == 30 &&
              table_checks::count_type(mnemonic_table, MNEMONIC_CALL) == 1 &&
              table_checks::count_type(mnemonic_table, MNEMONIC_OPERANDS) == 41, "mnemonic types");
static_assert(table_checks::count_type(directive_table, DIRECTIVE_INCLUDE) == 1 &&
              table_checks::count_type(directive_table, DIRECTIVE_TITLE) == 1 &&
              table_checks::count_type(directive_table, DIRECTIVE_MACRO) == 1 &&
              table_checks::count_type(directive_table, DIRECTIVE_GENERAL) == 47, "directive types");
static_assert(table_checks::count_type(reserved_table, RESERVED_WORD) == 43, "reserved types");

// Character classes: ASCII only, no locale; bytes 128..255 belong to none.
inline constexpr unsigned char CLASS_BLANK = 1;    // space, tab
inline constexpr unsigned char CLASS_DIGIT = 2;    // 0-9
inline constexpr unsigned char CLASS_IDENT = 4;    // letter . ? _
inline constexpr unsigned char CLASS_HEX = 8;      // 0-9 A-F a-f
inline constexpr unsigned char CLASS_OCTAL = 16;   // 0-7
inline constexpr unsigned char CLASS_BINARY = 32;  // 0 1
inline constexpr unsigned char CLASS_LETTER = 64;  // A-Z a-z

constexpr unsigned char class_of(int c) {
    unsigned char k = 0;
    if (c == ' ' || c == '\t') k |= CLASS_BLANK;
    if (c >= '0' && c <= '9') k |= CLASS_DIGIT | CLASS_HEX;
    if (c >= '0' && c <= '7') k |= CLASS_OCTAL;
    if (c == '0' || c == '1') k |= CLASS_BINARY;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) k |= CLASS_LETTER | CLASS_IDENT;
    if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) k |= CLASS_HEX;
    if (c == '.' || c == '?' || c == '_') k |= CLASS_IDENT;
    return k;
}

struct ClassTable {
    unsigned char bits[256];
};
constexpr ClassTable make_class_table() {
    ClassTable t{};
    for (int c = 0; c < 256; ++c) t.bits[c] = class_of(c);
    return t;
}
inline constexpr ClassTable char_class = make_class_table();

inline bool has_class(char c, unsigned char k) { return (char_class.bits[static_cast<unsigned char>(c)] & k) != 0; }
inline bool is_blank(char c) { return has_class(c, CLASS_BLANK); }
inline bool is_decimal_digit(char c) { return has_class(c, CLASS_DIGIT); }
inline bool is_identifier_char(char c) { return has_class(c, CLASS_IDENT); }
// Whether c goes on a name that an identifier character started.
inline bool is_name_char(char c) { return is_identifier_char(c) || is_decimal_digit(c); }
inline bool is_hex_digit(char c) { return has_class(c, CLASS_HEX); }
inline bool is_octal_digit(char c) { return has_class(c, CLASS_OCTAL); }
inline bool is_binary_digit(char c) { return has_class(c, CLASS_BINARY); }
using input::to_upper;   // the standard upper-case mapping

// Tokenizer state, over the line in input::line_buffer.  A token's text is
// never copied: it is the token_length characters at text_start, read in
// place.  The copy, read back at once by the lookup, stalled on its own
// stores; without it 8.6 % fewer instructions on 200,000 realistic lines
// under callgrind (with the listing's direct formatting, 19 % less CPU on
// the realistic case of bench/run.sh; see listing/listing.cpp).
inline char* scan_position = input::line_buffer;  // where the next token is looked for
inline char* token_start = input::line_buffer;   // first character of the last token
inline const char* text_start = input::line_buffer;  // where its text starts in the line:
                                                     // after a leading ":" or quote, after the "." of a directive
inline int token_length = 0;                     // characters of its text, case as written
inline std::int32_t keyword_index = 0;           // table row of the last keyword token
inline char file_name[FILE_NAME_SIZE];           // scan_file_name's name, zero-terminated

// The last token's text.
inline std::string_view token_text() { return {text_start, static_cast<std::size_t>(token_length)}; }

// Kind of the identifier of length characters at text (which need not be
// terminated), letter case aside: TOKEN_RESERVED with its row of
// reserved_table in *row, else TOKEN_MNEMONIC with its row of mnemonic_table,
// else TOKEN_SYMBOL (so for any length outside 1..MAX_KEYWORD_LENGTH).
std::int32_t classify_identifier(const char* text, int length, std::int32_t* row);
// Whether the length bytes at text are exactly one symbol token as the
// tokenizer reads it, within a line of at most max_length characters.
bool is_one_symbol(const char* text, std::size_t length, std::size_t max_length);
// Row of directive_table that the length characters at text name, letter case
// aside, or -1.
std::int32_t find_directive(const char* text, int length);
// classify_identifier and find_directive for a name of identifier characters
// in input::line_buffer, whose padding lets them load eight bytes from it.
std::int32_t classify_line_identifier(const char* text, int length, std::int32_t* row);
std::int32_t find_line_directive(const char* text, int length);

// Starts the scan of the line the reader just handed out, at its first character.
void start_line();
// Scans one token from scan_position and returns its kind.
std::int32_t fetch_token();
// Takes the name after INCLUDE as the token's text and into file_name: from
// the first non-blank up to white space, ";" or the end of the line.
void scan_file_name();
// Moves scan_position back to token_start.
void back_up_token();
// Advances scan_position over blanks and tabs.
void skip_blanks();
// Length of the suffix-form numeric literal that begins at position.
int number_length(const char* position);

}  // namespace lex
