// The hashed keyword lookup against the tables it is built from: every name,
// in every case, and its near misses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lex/lex.h"

namespace {

// The row of text in table, found the plain way: a walk over the names,
// comparing with only a to z upper-cased; -1 when none matches.
std::int32_t plain_row(const lex::KeywordEntry* table, const std::string& text) {
    for (std::int32_t row = 0; table[row].name != nullptr; ++row) {
        const std::string name = table[row].name;
        if (name.size() != text.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size(); ++i) {
            char c = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 'a' + 'A') : text[i];
            same = same && c == name[i];
        }
        if (same) return row;
    }
    return -1;
}

class IdentifierLookupTest : public testing::Test {
protected:
    // The answer spelled out from the tables: reserved_table first, then mnemonic_table.
    static std::pair<std::int32_t, std::int32_t> expected(const std::string& text) {
        std::int32_t row = plain_row(lex::reserved_table, text);
        if (row >= 0) return {lex::TOKEN_RESERVED, row};
        row = plain_row(lex::mnemonic_table, text);
        if (row >= 0) return {lex::TOKEN_MNEMONIC, row};
        return {lex::TOKEN_SYMBOL, -1};
    }

    static std::pair<std::int32_t, std::int32_t> classify(const std::string& text) {
        std::int32_t row = -1;
        std::int32_t kind = lex::classify_identifier(text.data(), static_cast<int>(text.size()), &row);
        return {kind, kind == lex::TOKEN_SYMBOL ? -1 : row};
    }
};

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

TEST_F(IdentifierLookupTest, EveryNameInEveryCaseAndItsNeighbours) {
    std::vector<std::string> texts;
    for (const lex::KeywordEntry* table : {lex::reserved_table, lex::mnemonic_table, lex::directive_table}) {
        for (const lex::KeywordEntry* e = table; e->name != nullptr; ++e) {
            std::string name = e->name;
            std::string mixed = name;
            for (std::size_t i = 0; i < mixed.size(); i += 2) mixed[i] = lower(mixed.substr(i, 1))[0];
            texts.insert(texts.end(), {name, lower(name), mixed, name + "X", name + "_", name.substr(1),
                                       name.substr(0, name.size() - 1)});
        }
    }
    for (const std::string& text : texts) {
        EXPECT_EQ(classify(text), expected(text)) << text;
        EXPECT_EQ(lex::find_directive(text.data(), static_cast<int>(text.size())),
                  plain_row(lex::directive_table, text))
            << text;
    }
    // The spots the tables themselves single out.
    EXPECT_EQ(classify("lda"), std::make_pair(lex::TOKEN_MNEMONIC, 37));
    EXPECT_EQ(classify("Jsr"), std::make_pair(lex::TOKEN_MNEMONIC, 36));
    EXPECT_EQ(classify("a"), std::make_pair(lex::TOKEN_RESERVED, 0));
    EXPECT_EQ(classify("continue"), std::make_pair(lex::TOKEN_RESERVED, 12));
    EXPECT_EQ(classify("z"), std::make_pair(lex::TOKEN_RESERVED, 42));
}

TEST_F(IdentifierLookupTest, OnlyAsciiLettersFoldAndOnlyLengthCharactersCount) {
    // 0xE1 and 0xC1 are a and A with the high bit set: neither is a letter.
    for (const char* text : {"LD\xC1", "ld\xE1", "\xC4O", "LDA\x80", "CONTINUE1", "BIT_A8", "LD@", "LD`", "LD{", ""})
        EXPECT_EQ(classify(text).first, lex::TOKEN_SYMBOL) << text;
    std::int32_t row = -1;
    EXPECT_EQ(lex::classify_identifier("ldaxyz", 3, &row), lex::TOKEN_MNEMONIC);
    EXPECT_EQ(row, 37);
    EXPECT_EQ(lex::classify_identifier("x_1234567", 1, &row), lex::TOKEN_RESERVED);
    EXPECT_EQ(row, 40);
    const std::string line(255, 'a');
    EXPECT_EQ(lex::classify_identifier(line.data(), 255, &row), lex::TOKEN_SYMBOL);
}

TEST_F(IdentifierLookupTest, TokenizerStillTellsKindsApart) {
    std::strcpy(input::line_buffer, "Bit_a7 bbs BBSX ?LDA lda: \n");
    lex::start_line();
    const std::pair<std::int32_t, std::string> want[] = {{lex::TOKEN_RESERVED, "Bit_a7"},
                                                         {lex::TOKEN_MNEMONIC, "bbs"},
                                                         {lex::TOKEN_SYMBOL, "BBSX"},
                                                         {lex::TOKEN_SYMBOL, "?LDA"},
                                                         {lex::TOKEN_SYMBOL, "lda"},
                                                         {lex::TOKEN_END, "\n"}};
    for (const auto& [kind, text] : want) {
        EXPECT_EQ(lex::fetch_token(), kind) << text;
        EXPECT_EQ(lex::token_text(), text);
    }
}

TEST_F(IdentifierLookupTest, TokenTextsOfEveryLengthAreCopiedExactly) {
    // Short texts are copied with overlapping words: each length from 1 to
    // 40 must come out whole, terminated, with nothing of its neighbours.
    std::string name;
    for (int length = 1; length <= 40; ++length) {
        name += static_cast<char>('a' + length % 26);
        std::string line = "(" + name + ")\n";
        std::strcpy(input::line_buffer, line.c_str());
        lex::start_line();
        EXPECT_EQ(lex::fetch_token(), lex::TOKEN_OPERATOR);
        lex::fetch_token();
        EXPECT_EQ(lex::token_text(), name);
        EXPECT_EQ(lex::token_length, length);
        EXPECT_EQ(lex::fetch_token(), lex::TOKEN_OPERATOR);
    }
}

}  // namespace
