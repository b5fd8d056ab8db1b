// The tokenizer over whole lines: each line is rendered as its token
// sequence, "KIND text[ keyword_index]" joined by "|", up to the first end.
#include "lex/lex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

namespace {

using namespace std::string_literals;

class TokenizerTest : public testing::Test {
protected:
    void SetUp() override {
    }
};

// Puts bytes (terminator included) into the line buffer as the reader would;
// the rest of the buffer holds letters, so a scan past the terminator shows.
void put_bytes(std::string_view bytes) {
    ASSERT_LE(bytes.size(), std::size_t{input::LINE_BUFFER_SIZE});
    std::memset(input::line_buffer, 'X', sizeof input::line_buffer);
    std::memcpy(input::line_buffer, bytes.data(), bytes.size());
    lex::start_line();
}

void put_line(const std::string& text) { put_bytes(text + "\n"s + '\0'); }

std::string shown(const char* text) {
    std::string s;
    for (const char* p = text; *p != 0; ++p) {
        const auto b = static_cast<unsigned char>(*p);
        if (b == '\n') {
            s += "\\n";
        } else if (b < 0x20 || b >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            s += hex;
        } else {
            s += *p;
        }
    }
    return s;
}

// Fetches up to and including the first TOKEN_END, checking on the way what
// holds for every token, and that the end repeats without moving.
std::string tokens() {
    static const char* const names[] = {"?", "END", "OP", "RES", "NUM", "MNE", "DIR", "SYM", "STR", "INV"};
    const char* terminator = input::line_buffer + std::strlen(input::line_buffer);
    std::string out;
    for (int calls = 0; calls <= input::LINE_BUFFER_SIZE; ++calls) {
        const std::int32_t kind = lex::fetch_token();
        EXPECT_LT(lex::token_length, input::LINE_BUFFER_SIZE);
        EXPECT_LE(lex::token_start, lex::scan_position);
        // The text stands in the line where text_start says (after a ":" or quote that opened it).
        EXPECT_TRUE(lex::text_start >= lex::token_start && lex::text_start <= lex::scan_position);
        EXPECT_LE(lex::text_start + lex::token_length, lex::scan_position + 1);
        EXPECT_LE(lex::scan_position, terminator);
        if (kind < lex::TOKEN_END || kind > lex::TOKEN_INVALID) {
            ADD_FAILURE() << "kind " << kind;
            return out;
        }
        if (!out.empty()) out += "|";
        out += names[kind];
        if (lex::token_length != 0) out += " " + shown(std::string(lex::token_text()).c_str());
        if (kind == lex::TOKEN_RESERVED || kind == lex::TOKEN_MNEMONIC || kind == lex::TOKEN_DIRECTIVE)
            out += " " + std::to_string(lex::keyword_index);
        if (kind == lex::TOKEN_END) {
            const std::string text(lex::token_text());
            const char* at = lex::scan_position;
            EXPECT_EQ(lex::fetch_token(), lex::TOKEN_END);
            EXPECT_EQ(lex::token_text(), text);
            EXPECT_EQ(lex::scan_position, at);
            return out;
        }
    }
    ADD_FAILURE() << "no end after " << out;
    return out;
}

struct Case {
    const char* line;       // without its line feed
    const char* expected;
};

void check(const Case* cases, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        put_line(cases[i].line);
        EXPECT_EQ(tokens(), cases[i].expected) << "line: " << shown(cases[i].line);
    }
}

template <std::size_t N>
void check(const Case (&cases)[N]) { check(cases, N); }

TEST_F(TokenizerTest, EndOfStatementAndComments) {
    check({
        {"", "END \\n"},
        {" \t \t", "END \\n"},
        {"LOOP: LDA #1 ;INIT", "SYM LOOP|MNE LDA 37|OP #|NUM 1|END ;"},
        {";LDA 'unclosed", "END ;"},
        {"\tNOP;x", "MNE NOP 43|END ;"},
    });
}

TEST_F(TokenizerTest, OperatorsAndJoinedPairs) {
    check({
        {"!= *= ! *", "OP !=|OP *=|OP !|OP *|END \\n"},
        {"&& ++ -- == || << >> <= >=", "OP &&|OP ++|OP --|OP ==|OP |||OP <<|OP >>|OP <=|OP >=|END \\n"},
        {"& + - = | < >", "OP &|OP +|OP -|OP =|OP ||OP <|OP >|END \\n"},
        {"#(),/[]^{}~", "OP #|OP (|OP )|OP ,|OP /|OP [|OP ]|OP ^|OP {|OP }|OP ~|END \\n"},
        {"LDA (ZP),Y", "MNE LDA 37|OP (|SYM ZP|OP )|OP ,|RES Y 41|END \\n"},
    });
}

TEST_F(TokenizerTest, PairsThatAreNotJoined) {
    check({
        {"+=", "OP +|OP =|END \\n"},                     {"-=", "OP -|OP =|END \\n"},
        {"&=", "OP &|OP =|END \\n"},                     {"/=", "OP /|OP =|END \\n"},
        {"<>", "OP <|OP >|END \\n"},                     {"=<", "OP =|OP <|END \\n"},
        {"->", "OP -|OP >|END \\n"},                     {"=>", "OP =|OP >|END \\n"},
        {"===", "OP ==|OP =|END \\n"},                   {"<<=", "OP <<|OP =|END \\n"},
        {"!==", "OP !=|OP =|END \\n"},                   {"**", "OP *|OP *|END \\n"},
        {"!!", "OP !|OP !|END \\n"},                     {"&|", "OP &|OP ||END \\n"},
        {"= =", "OP =|OP =|END \\n"},
    });
}

TEST_F(TokenizerTest, SuffixNumbers) {
    check({
        {"0FFH", "NUM 0FFH|END \\n"},                    {"0ffh", "NUM 0ffh|END \\n"},
        {"17Q", "NUM 17Q|END \\n"},                      {"17o", "NUM 17o|END \\n"},
        {"101B", "NUM 101B|END \\n"},                    {"101b", "NUM 101b|END \\n"},
        {"1BH", "NUM 1BH|END \\n"},                      {"0H", "NUM 0H|END \\n"},
        {"1B", "NUM 1B|END \\n"},                        {"08", "NUM 08|END \\n"},
        {"123456789", "NUM 123456789|END \\n"},
        // Whatever the four forms leave over starts the next token.
        {"12AB", "NUM 12|SYM AB|END \\n"},               {"10D", "NUM 10|RES D 13|END \\n"},
        {"19Q", "NUM 19|SYM Q|END \\n"},                 {"9K", "NUM 9|SYM K|END \\n"},
        {"12B", "NUM 12|SYM B|END \\n"},                 {"8Q", "NUM 8|SYM Q|END \\n"},
        {"1BHX", "NUM 1BH|RES X 40|END \\n"},            {"1.5", "NUM 1|SYM .|NUM 5|END \\n"},
        {"0FFH,X", "NUM 0FFH|OP ,|RES X 40|END \\n"},
    });
}

TEST_F(TokenizerTest, PrefixNumbers) {
    check({
        {"$1F", "NUM 1F|END \\n"},                       {"$ff", "NUM ff|END \\n"},
        {"$", "OP $|END \\n"},                           {"$ 1", "OP $|NUM 1|END \\n"},
        {"$G", "OP $|SYM G|END \\n"},                    {"%1012", "NUM 101|NUM 2|END \\n"},
        {"%2", "OP %|NUM 2|END \\n"},                    {"@17", "NUM 17|END \\n"},
        {"@9", "OP @|NUM 9|END \\n"},                    {"#$0A", "OP #|NUM 0A|END \\n"},
    });
}

TEST_F(TokenizerTest, Strings) {
    check({
        {"'it\"s'", "STR it\"s|END \\n"},
        {"\"don't\"", "STR don't|END \\n"},
        {"''", "STR|END \\n"},
        {"'a''b'", "STR a|STR b|END \\n"},
        {"'x;y' ;c", "STR x;y|END ;"},
        {".PAGE 'Main'", "DIR PAGE 30|STR Main|END \\n"},
        // Unterminated: the rest of the line with its line feed, then the zero.
        {"\"abc", "INV abc\\n|END"},
        {"  'ab ; c", "INV ab ; c\\n|END"},
        {"'", "INV \\n|END"},
    });
}

TEST_F(TokenizerTest, IdentifiersAndLabels) {
    check({
        {"lda Lda LDA", "MNE lda 37|MNE Lda 37|MNE LDA 37|END \\n"},
        {"LDA:", "SYM LDA|END \\n"},
        {"A: A", "SYM A|RES A 0|END \\n"},
        {"LDA:LDA", "SYM LDA|MNE LDA 37|END \\n"},
        {"if else X:", "RES if 22|RES else 16|SYM X|END \\n"},
        {"?X _X A.B ? _", "SYM ?X|SYM _X|SYM A.B|SYM ?|SYM _|END \\n"},
        {"LDA2 A.INCLUDE", "SYM LDA2|SYM A.INCLUDE|END \\n"},
        {"JSR PRINT", "MNE JSR 36|SYM PRINT|END \\n"},
    });
}

TEST_F(TokenizerTest, NamesOfEveryLengthEndAtTheFirstByteThatIsNoNameCharacter) {
    // Every name character at every place of names up to 60 long, each name
    // ended by a byte just outside the ranges of name characters, or by the
    // line's end at its 254th character.
    const std::string_view body = "0189AZaz._?MQmq";
    const std::string_view enders = std::string_view("/:@[`{\x7F\x80\xC1\xFF \t,\0", 14);
    for (std::size_t length = 1; length <= 60; ++length) {
        std::string name = "Q";
        while (name.size() < length) name += body[(name.size() * 7 + length) % body.size()];
        for (char ender : enders) {
            put_line(name + ender + "X");
            ASSERT_EQ(lex::fetch_token(), lex::TOKEN_SYMBOL) << name << " + " << static_cast<int>(ender);
            EXPECT_EQ(lex::token_text(), name) << static_cast<int>(ender);
        }
        std::string last = std::string(254 - length, ' ') + name;
        put_line(last);
        lex::skip_blanks();
        ASSERT_EQ(lex::fetch_token(), lex::TOKEN_SYMBOL);
        EXPECT_EQ(lex::token_text(), name);
        EXPECT_EQ(lex::fetch_token(), lex::TOKEN_END);
    }
}

TEST_F(TokenizerTest, DottedNames) {
    check({
        {".include", "DIR include 18|END \\n"},
        {".If .MACRO", "DIR If 17|DIR MACRO 25|END \\n"},
        {".INCLUDE:", "DIR INCLUDE 18|INV \\n|END"},   // the colon is not skipped
        {".FOO", "SYM .FOO|END \\n"},
        {".FOO: NOP", "SYM .FOO|MNE NOP 43|END \\n"},
        {".LDA", "SYM .LDA|END \\n"},
        {"..A", "SYM ..A|END \\n"},
        {".", "SYM .|END \\n"},
        {".:", "SYM .|END \\n"},
        {".5", "SYM .|NUM 5|END \\n"},
        {". X", "SYM .|RES X 40|END \\n"},
        {".+", "SYM .|OP +|END \\n"},
    });
}

TEST_F(TokenizerTest, ColonNames) {
    check({
        {":NAME", "SYM NAME|END \\n"},
        {":NAME:", "SYM NAME|END \\n"},
        {":LDA", "SYM LDA|END \\n"},
        {":A:B", "SYM A|SYM B|END \\n"},
        {":=", "INV =|END \\n"},
        {":= 5", "INV =|NUM 5|END \\n"},
        {"::A", "INV :|RES A 0|END \\n"},
        {":9", "INV 9|END \\n"},
        {":", "INV \\n|END"},
        {"LOOP :", "SYM LOOP|INV \\n|END"},
    });
}

TEST_F(TokenizerTest, InvalidBytes) {
    check({
        {"\x80", "INV \\x80|END \\n"},
        {"\xff\xfe", "INV \\xff|INV \\xfe|END \\n"},
        {"NOP\r", "MNE NOP 43|INV \\x0d|END \\n"},
        {"\\`", "INV \\|INV `|END \\n"},
        {"\x7f\x01\f\v", "INV \\x7f|INV \\x01|INV \\x0c|INV \\x0b|END \\n"},
        {"A\x80" "B", "RES A 0|INV \\x80|SYM B|END \\n"},
        {"LDA\xe9q", "MNE LDA 37|INV \\xe9|SYM q|END \\n"},
    });
}

TEST_F(TokenizerTest, NulEndsTheLine) {
    const struct {
        std::string bytes;
        const char* expected;
        std::size_t stop;   // where the scan stays
    } cases[] = {
        {"\0"s, "END", 0},
        {"LDA\0X\n\0"s, "MNE LDA 37|END", 3},
        {"'ab\0cd'\n\0"s, "INV ab|END", 3},
        {":\0A\n\0"s, "INV|END", 1},
        {".\0A\n\0"s, "SYM .|END", 1},
        {"$\0" "1\n\0"s, "OP $|END", 1},
        {"A:\0:\n\0"s, "SYM A|END", 2},
        {"1\0H\n\0"s, "NUM 1|END", 1},
        {" \t\0;\n\0"s, "END", 2},
    };
    for (const auto& c : cases) {
        put_bytes(c.bytes);
        EXPECT_EQ(tokens(), c.expected) << shown(c.bytes.c_str());
        EXPECT_EQ(lex::scan_position, input::line_buffer + c.stop) << shown(c.bytes.c_str());
    }
}

TEST_F(TokenizerTest, TokenStartIsBehindTheBlanks) {
    put_line("  \tLDA\t #1");
    lex::fetch_token();
    EXPECT_EQ(lex::token_start, input::line_buffer + 3);
    EXPECT_EQ(lex::scan_position, input::line_buffer + 6);
    lex::fetch_token();
    EXPECT_EQ(lex::token_start, input::line_buffer + 8);
    lex::fetch_token();
    lex::fetch_token();
    EXPECT_EQ(lex::token_start, input::line_buffer + 10);   // the line feed
}

TEST_F(TokenizerTest, BackUpDeliversTheLastTokenAgain) {
    put_line("  LOOP:  lda  #1");
    EXPECT_EQ(lex::fetch_token(), lex::TOKEN_SYMBOL);
    lex::back_up_token();
    lex::back_up_token();   // a second step back changes nothing
    EXPECT_EQ(lex::scan_position, input::line_buffer + 2);
    EXPECT_EQ(lex::fetch_token(), lex::TOKEN_SYMBOL);
    EXPECT_EQ(lex::token_text(), "LOOP");
    EXPECT_EQ(lex::scan_position, input::line_buffer + 7);   // colon skipped again
    EXPECT_EQ(lex::fetch_token(), lex::TOKEN_MNEMONIC);
    lex::back_up_token();
    EXPECT_EQ(tokens(), "MNE lda 37|OP #|NUM 1|END \\n");
    lex::back_up_token();   // back onto the end, which stays where it is
    EXPECT_EQ(tokens(), "END \\n");
}

TEST_F(TokenizerTest, OtherKindsLeaveKeywordIndexAlone) {
    put_line("X 'S' LOOP 5 .FOO : .END");
    EXPECT_EQ(lex::fetch_token(), lex::TOKEN_RESERVED);
    EXPECT_EQ(lex::keyword_index, 40);
    for (std::int32_t kind : {lex::TOKEN_STRING, lex::TOKEN_SYMBOL, lex::TOKEN_NUMBER, lex::TOKEN_SYMBOL,
                              lex::TOKEN_INVALID}) {
        EXPECT_EQ(lex::fetch_token(), kind);
        EXPECT_EQ(lex::keyword_index, 40);
    }
    EXPECT_EQ(lex::fetch_token(), lex::TOKEN_DIRECTIVE);
    EXPECT_EQ(lex::keyword_index, 5);
    EXPECT_EQ(lex::fetch_token(), lex::TOKEN_END);
    EXPECT_EQ(lex::keyword_index, 5);
}

TEST_F(TokenizerTest, IncludeFileNames) {
    struct Case {
        std::string text;   // what follows the keyword
        const char* name;   // the name taken
    };
    const Case cases[] = {
        {" INC.A", "INC.A"},
        {"\t \tINC.A;comment", "INC.A"},
        {" INC.A  rest of line", "INC.A"},
        {" INC.A\tx", "INC.A"},
        {" INC.A\vx", "INC.A"},
        {std::string(" INC.A\0xyz", 10), "INC.A"},
        {" sub\\INC.A", "sub\\INC.A"},
        {" \"INC.A\"", "\"INC.A\""},   // quotes belong to the name
        {" ;comment", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        put_line(c.text);
        lex::scan_file_name();
        EXPECT_EQ(lex::token_text(), c.name);
        EXPECT_STREQ(lex::file_name, c.name);
        EXPECT_EQ(lex::token_length, static_cast<int>(std::strlen(c.name)));
    }
}

TEST_F(TokenizerTest, RandomLinesStayInsideTheLine) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    const std::string_view interesting = "'\":.$%@?_0123456789ABHOQbhoq \t=<>!*&|+-";
    for (int line = 0; line < 4000; ++line) {
        // Most lines avoid NUL, line feed and ";" so the scan reaches far;
        // every eighth takes any byte at all.
        std::string bytes;
        while (bytes.size() < 254) {
            int b = byte(random);
            if (line % 8 != 0 && (b == 0 || b == '\n' || b == ';')) continue;
            if (line % 2 == 1 && b < 128) b = interesting[static_cast<std::size_t>(b) % interesting.size()];
            bytes += static_cast<char>(b);
        }
        put_bytes(bytes + "\n"s + '\0');
        tokens();
        ASSERT_FALSE(HasFailure()) << "line " << line << ": " << shown(bytes.c_str());
    }
}

}  // namespace
