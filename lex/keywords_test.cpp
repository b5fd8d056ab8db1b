// Case-insensitive keyword lookup in the three tables.
#include "lex/lex.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

std::int32_t row_of_kind(const char* text, int length, std::int32_t kind) {
    std::int32_t row = -1;
    return lex::classify_identifier(text, length, &row) == kind ? row : -1;
}
std::int32_t mnemonic(const std::string& text) {
    return row_of_kind(text.data(), static_cast<int>(text.size()), lex::TOKEN_MNEMONIC);
}
std::int32_t reserved(const std::string& text) {
    return row_of_kind(text.data(), static_cast<int>(text.size()), lex::TOKEN_RESERVED);
}
std::int32_t directive(const std::string& text) {
    return lex::find_directive(text.data(), static_cast<int>(text.size()));
}

TEST(Keywords, LookupIgnoresLetterCase) {
    for (const char* text : {"lda", "Lda", "LDA", "lDa"}) EXPECT_EQ(mnemonic(text), 37) << text;
    EXPECT_EQ(mnemonic("adc"), 0);
    EXPECT_EQ(mnemonic("wit"), 71);
    EXPECT_EQ(mnemonic("jsr"), 36);
    EXPECT_EQ(lex::mnemonic_table[36].type, lex::MNEMONIC_CALL);
}

TEST(Keywords, KnownPositions) {
    struct Case {
        const char* text;
        std::int32_t in_directives, in_reserved, in_mnemonics;
    };
    const Case cases[] = {
        {"INCLUDE", 18, -1, -1}, {"PAGE", 30, -1, -1}, {"MACRO", 25, -1, -1}, {"BEXT", 0, -1, -1},
        {"ZMOD", 49, -1, -1},    {"if", 17, 22, -1},   {"Else", 4, 16, -1},   {"endif", 7, 17, -1},
        {"X", -1, 40, -1},       {"Z", -1, 42, -1},    {"A", -1, 0, -1},      {"bit_a7", -1, 8, -1},
        {"with_c", -1, 39, -1},  {"BIT", -1, -1, 8},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(directive(c.text), c.in_directives) << c.text;
        EXPECT_EQ(reserved(c.text), c.in_reserved) << c.text;
        EXPECT_EQ(mnemonic(c.text), c.in_mnemonics) << c.text;
    }
    EXPECT_EQ(lex::directive_table[18].type, lex::DIRECTIVE_INCLUDE);
    EXPECT_EQ(lex::directive_table[30].type, lex::DIRECTIVE_TITLE);
    EXPECT_EQ(lex::directive_table[25].type, lex::DIRECTIVE_MACRO);
}

TEST(Keywords, TextsThatFindNoRow) {
    // LIST falls between LDY and LSR; ZEXT has no mnemonic range at all.
    for (const char* text : {"LIST", "ZEXT", "", "LD", "LDAX", "L", "1ADC", "_A", "?A", ".LDA", "ADC ", "\x80"})
        EXPECT_EQ(mnemonic(text), -1) << text;
    for (const char* text : {"", "0", "_X", "?X", ".X", "INCLUDES", "INCLUD", "PROCMAINX"}) {
        EXPECT_EQ(directive(text), -1) << text;
        EXPECT_EQ(reserved(text), -1) << text;
    }
    // A whole line's worth of text is looked up without trouble, and so is
    // a text longer than any line (it once overran a 256-byte key).
    const std::string long_text(255, 'a');
    EXPECT_EQ(mnemonic(long_text), -1);
    EXPECT_EQ(directive(std::string(4096, 'A')), -1);
}

TEST(Keywords, LookupOfCountedTextReadsOnlyThatMuch) {
    const char text[] = "ldaxyz";   // only the first three characters count
    EXPECT_EQ(row_of_kind(text, 3, lex::TOKEN_MNEMONIC), 37);
    EXPECT_EQ(lex::find_directive("includex", 7), 18);
    // No length outside 1..8 finds a name or touches a byte of the text.
    for (int length : {0, -1, -8, INT_MIN}) {
        std::int32_t row = 99;
        EXPECT_EQ(lex::classify_identifier(nullptr, length, &row), lex::TOKEN_SYMBOL) << length;
        EXPECT_EQ(row, 99);
        EXPECT_EQ(lex::find_directive(nullptr, length), -1) << length;
    }
}

}  // namespace
