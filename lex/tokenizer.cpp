// The tokenizer: one token per call from input::scan_position.  Every scan
// stops at the line's terminating zero (or an earlier NUL), which belongs to
// no character class and is never a quote, so it never leaves the line.
#include <bit>
#include <cstdint>
#include <cstring>

#include "lex/lex.h"

namespace lex {

namespace {

// The token's text is the line's characters from from to to.
inline void set_text(const char* from, const char* to) {
    text_start = from;
    token_length = static_cast<int>(to - from);
}

inline const char* skip_class(const char* p, unsigned char k) {
    while (has_class(*p, k)) ++p;
    return p;
}

// Sixteen bytes as one vector: a comparison gives all ones in every byte
// where it holds, 0 elsewhere.
using Chars16 = signed char __attribute__((vector_size(16)));

// Place of the first byte in memory of the eight of w (loaded from memory)
// that is not zero; w is not zero.
inline int first_byte_set(std::uint64_t w) {
    if constexpr (std::endian::native == std::endian::little) return std::countr_zero(w) >> 3;
    return std::countl_zero(w) >> 3;
}

// The rest of an identifier: identifier characters and decimal digits.  The
// first eight through the class table, as most names are shorter; from
// there sixteen at a time, looked at as one vector (a name ends at the
// line's terminator at the latest, so a load never passes the line buffer's
// padding).  The vector alone for every name took 3 % more instructions on
// 200,000 realistic lines; from the ninth character, 5 % fewer on 200,000
// wide lines, whose names are long, and 1 % on realistic.
inline const char* skip_name(const char* p) {
    for (int i = 0; i < 8; ++i, ++p)
        if (!has_class(*p, CLASS_IDENT | CLASS_DIGIT)) return p;
    for (;; p += 16) {
        Chars16 v;
        std::memcpy(&v, p, 16);
        Chars16 folded = v | 0x20;   // a letter in lower case
        Chars16 name = ((v >= '0') & (v <= '9')) | ((folded >= 'a') & (folded <= 'z')) | (v == '.') | (v == '_') |
                       (v == '?');
        std::uint64_t half[2];
        std::memcpy(half, &name, 16);
        if (~half[0] != 0) return p + first_byte_set(~half[0]);
        if (~half[1] != 0) return p + 8 + first_byte_set(~half[1]);
    }
}
static_assert(class_of('.') == CLASS_IDENT && class_of('?') == CLASS_IDENT && class_of('_') == CLASS_IDENT &&
              class_of('@') == 0 && class_of('[') == 0 && class_of('`') == 0 && class_of('{') == 0 &&
              class_of('/') == 0 && class_of(':') == 0 && class_of(0x80) == 0 && class_of(0xC1) == 0,
              "skip_name's vector test and the class table agree on what ends a name");

// The operator from token_start to scan_position.
std::int32_t scan_operator() {
    set_text(token_start, scan_position);
    return TOKEN_OPERATOR;
}

std::int32_t scan_string(char quote) {
    char* p = scan_position;
    while (*p != quote && *p != 0) ++p;
    set_text(scan_position, p);
    if (*p == 0) {   // unterminated: the rest of the line, and the end comes next
        scan_position = p;
        return TOKEN_INVALID;
    }
    scan_position = p + 1;
    return TOKEN_STRING;
}

std::int32_t scan_prefix_number(unsigned char digit_class) {
    char* p = const_cast<char*>(skip_class(scan_position, digit_class));
    if (p == scan_position) return scan_operator();   // the prefix alone
    set_text(scan_position, p);
    scan_position = p;
    return TOKEN_NUMBER;
}

std::int32_t scan_number() {
    char* end = token_start + number_length(token_start);
    set_text(token_start, end);
    scan_position = end;
    return TOKEN_NUMBER;
}

std::int32_t scan_identifier() {
    char* end = const_cast<char*>(skip_name(token_start));
    set_text(token_start, end);
    scan_position = end;
    if (*end == ':') {   // a label is never looked up
        ++scan_position;
        return TOKEN_SYMBOL;
    }
    std::int32_t row = 0;
    // Reserved, then mnemonic.
    std::int32_t kind = classify_line_identifier(token_start, token_length, &row);
    if (kind != TOKEN_SYMBOL) keyword_index = row;
    return kind;
}

std::int32_t scan_dot() {
    char* name = scan_position;
    if (!is_identifier_char(*name)) {
        if (*name == ':') ++scan_position;
        set_text(token_start, name);
        return TOKEN_SYMBOL;
    }
    char* end = const_cast<char*>(skip_name(name));
    std::int32_t row = find_line_directive(name, static_cast<int>(end - name));
    scan_position = end;
    if (row >= 0) {
        set_text(name, end);
        keyword_index = row;
        return TOKEN_DIRECTIVE;
    }
    if (*end == ':') ++scan_position;
    set_text(token_start, end);
    return TOKEN_SYMBOL;
}

std::int32_t scan_colon() {
    char* name = scan_position;
    if (is_identifier_char(*name)) {
        char* end = const_cast<char*>(skip_name(name));
        set_text(name, end);
        scan_position = *end == ':' ? end + 1 : end;
        return TOKEN_SYMBOL;
    }
    if (*name == 0) {   // only the colon is passed
        set_text(name, name);
        return TOKEN_INVALID;
    }
    set_text(name, name + 1);
    scan_position = name + 1;
    return TOKEN_INVALID;
}

// Characters that end an include file name: white space, ";" and the end.
bool ends_file_name(char c) {
    return c == 0 || c == ';' || c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

void scan_file_name() {
    skip_blanks();
    char* end = scan_position;
    while (!ends_file_name(*end)) ++end;
    set_text(scan_position, end);
    scan_position = end;
    std::memcpy(file_name, text_start, static_cast<std::size_t>(token_length));
    file_name[token_length] = 0;
}

void start_line() { scan_position = input::line_buffer; }

void skip_blanks() {
    while (is_blank(*scan_position)) ++scan_position;
}

void back_up_token() { scan_position = token_start; }

int number_length(const char* position) {
    const char* p = skip_class(position, CLASS_HEX);
    if (to_upper(*p) == 'H') return static_cast<int>(p - position) + 1;
    p = skip_class(position, CLASS_OCTAL);
    if (to_upper(*p) == 'O' || to_upper(*p) == 'Q') return static_cast<int>(p - position) + 1;
    p = skip_class(position, CLASS_BINARY);
    if (to_upper(*p) == 'B') return static_cast<int>(p - position) + 1;
    return static_cast<int>(skip_class(position, CLASS_DIGIT) - position);
}

std::int32_t fetch_token() {
    skip_blanks();
    char* p = scan_position;
    token_start = p;
    char c = *p;
    scan_position = p + 1;
    // The most common token first, before the switch: 1.7 % fewer
    // instructions on 200,000 realistic lines (callgrind).
    if (has_class(c, CLASS_LETTER)) return scan_identifier();
    switch (c) {
    case '\0':
    case '\n':
    case ';':
        scan_position = p;   // every further call ends here again
        set_text(p, c == 0 ? p : p + 1);
        return TOKEN_END;
    case '!':
    case '*':
        if (*scan_position == '=') ++scan_position;
        return scan_operator();
    case '&':
    case '+':
    case '-':
    case '=':
    case '|':
        if (*scan_position == c) ++scan_position;
        return scan_operator();
    case '<':
    case '>':
        if (*scan_position == c || *scan_position == '=') ++scan_position;
        return scan_operator();
    case '#':
    case '(':
    case ')':
    case ',':
    case '/':
    case '[':
    case ']':
    case '^':
    case '{':
    case '}':
    case '~':
        return scan_operator();
    case '"':
    case '\'':
        return scan_string(c);
    case '$':
        return scan_prefix_number(CLASS_HEX);
    case '%':
        return scan_prefix_number(CLASS_BINARY);
    case '@':
        return scan_prefix_number(CLASS_OCTAL);
    case '.':
        return scan_dot();
    case ':':
        return scan_colon();
    default:
        break;
    }
    if (is_decimal_digit(c)) return scan_number();
    if (is_identifier_char(c)) return scan_identifier();
    set_text(p, p + 1);   // a character that starts no token
    return TOKEN_INVALID;
}

bool is_one_symbol(const char* text, std::size_t length, std::size_t max_length) {
    if (length == 0 || length > max_length) return false;
    if (!is_identifier_char(text[0])) return false;
    if (text[0] == '.' && length > 1 && !is_identifier_char(text[1])) return false;
    for (std::size_t i = 0; i < length; ++i)
        if (!is_name_char(text[i])) return false;
    return true;
}

}  // namespace lex
