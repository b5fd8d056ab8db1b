// The first-letter indexes, case-insensitive keyword lookup and the
// character classes.
#include "lex/lex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class KeywordTest : public testing::Test {
protected:
    void SetUp() override {
        // Poison the indexes first, so a missing end row shows.
        std::memset(lex::mnemonic_index, 0x55, sizeof lex::mnemonic_index);
        std::memset(lex::directive_index, 0x55, sizeof lex::directive_index);
        std::memset(lex::reserved_index, 0x55, sizeof lex::reserved_index);
        lex::build_letter_index(lex::mnemonic_index, lex::mnemonic_table);
        lex::build_letter_index(lex::directive_index, lex::directive_table);
        lex::build_letter_index(lex::reserved_index, lex::reserved_table);
    }
};

std::string rows_of(const lex::LetterRange* index) {
    std::string s;
    for (; index->letter != 0; ++index) {
        s += index->letter;
        s += " " + std::to_string(index->first) + " " + std::to_string(index->end) + ",";
    }
    return s + "end";
}

int row_count(const lex::LetterRange* index) {
    int n = 0;
    while (index[n].letter != 0) ++n;
    return n;
}

std::int32_t mnemonic(const char* text) { return lex::find_keyword(text, lex::mnemonic_index, lex::mnemonic_table); }
std::int32_t directive(const char* text) { return lex::find_keyword(text, lex::directive_index, lex::directive_table); }
std::int32_t reserved(const char* text) { return lex::find_keyword(text, lex::reserved_index, lex::reserved_table); }

TEST_F(KeywordTest, MnemonicIndexHasOneRowPerFirstLetter) {
    EXPECT_EQ(rows_of(lex::mnemonic_index),
              "A 0 3,B 3 16,C 16 26,D 26 30,E 30 31,F 31 32,I 32 35,J 35 37,L 37 42,M 42 43,N 43 44,O 44 45,"
              "P 45 49,R 49 54,S 54 64,T 64 71,W 71 72,end");
}

TEST_F(KeywordTest, OtherIndexesCoverTheirTables) {
    EXPECT_EQ(row_count(lex::directive_index), 15);
    EXPECT_EQ(row_count(lex::reserved_index), 18);
    // The ranges follow one another without gaps and end at the row count.
    for (const lex::LetterRange* index : {lex::directive_index, lex::reserved_index}) {
        EXPECT_EQ(index[0].first, 0);
        for (int i = 1; index[i].letter != 0; ++i) EXPECT_EQ(index[i].first, index[i - 1].end);
    }
    EXPECT_EQ(lex::directive_index[14].end, 50);
    EXPECT_EQ(lex::reserved_index[17].end, 43);
    EXPECT_EQ(lex::reserved_index[17].letter, 'Z');
}

TEST_F(KeywordTest, LookupIgnoresLetterCase) {
    for (const char* text : {"lda", "Lda", "LDA", "lDa"}) EXPECT_EQ(mnemonic(text), 37) << text;
    EXPECT_EQ(mnemonic("adc"), 0);
    EXPECT_EQ(mnemonic("wit"), 71);
    EXPECT_EQ(mnemonic("jsr"), 36);
    EXPECT_EQ(lex::mnemonic_table[36].type, lex::MNEMONIC_CALL);
}

TEST_F(KeywordTest, KnownPositions) {
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

TEST_F(KeywordTest, TextsThatFindNoRow) {
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
    EXPECT_EQ(mnemonic(long_text.c_str()), -1);
    EXPECT_EQ(directive(std::string(4096, 'A').c_str()), -1);
    EXPECT_EQ(lex::find_keyword_n(long_text.c_str(), 255, lex::mnemonic_index, lex::mnemonic_table), -1);
}

TEST_F(KeywordTest, LookupStopsAtTheFirstGreaterName) {
    // Out of order on purpose: "LC" sorts after "LB", so "LB" behind it is never reached.
    const lex::KeywordEntry table[] = {{"LA", 1}, {"LC", 1}, {"LB", 1}, {nullptr, 0}};
    lex::LetterRange index[lex::MAX_LETTER_RANGES];
    lex::build_letter_index(index, table);
    EXPECT_EQ(lex::find_keyword("lc", index, table), 1);
    EXPECT_EQ(lex::find_keyword("LB", index, table), -1);
}

TEST_F(KeywordTest, LookupOfCountedTextReadsOnlyThatMuch) {
    const char text[] = "ldaxyz";   // only the first three characters count
    EXPECT_EQ(lex::find_keyword_n(text, 3, lex::mnemonic_index, lex::mnemonic_table), 37);
    EXPECT_EQ(lex::find_keyword_n(text, 0, lex::mnemonic_index, lex::mnemonic_table), -1);
    EXPECT_EQ(lex::find_keyword_n("includex", 7, lex::directive_index, lex::directive_table), 18);
}

TEST(CharacterClasses, EveryByteValue) {
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const bool upper = b >= 'A' && b <= 'Z', lower = b >= 'a' && b <= 'z', digit = b >= '0' && b <= '9';
        EXPECT_EQ(lex::is_blank(c), b == ' ' || b == '\t') << b;
        EXPECT_EQ(lex::is_decimal_digit(c), digit) << b;
        EXPECT_EQ(lex::is_identifier_char(c), upper || lower || b == '.' || b == '?' || b == '_') << b;
        EXPECT_EQ(lex::is_hex_digit(c), digit || (b >= 'A' && b <= 'F') || (b >= 'a' && b <= 'f')) << b;
        EXPECT_EQ(lex::is_octal_digit(c), b >= '0' && b <= '7') << b;
        EXPECT_EQ(lex::is_binary_digit(c), b == '0' || b == '1') << b;
        EXPECT_EQ(lex::to_upper(c), lower ? static_cast<char>(b - 32) : c) << b;
        if (b >= 0x80) {
            EXPECT_EQ(lex::char_class.bits[b], 0) << b;
        }
    }
}

}  // namespace
