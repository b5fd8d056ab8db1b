// Inputs nobody should write, run through the built binary: binary noise,
// degenerate files, huge lines, huge symbol tables, include files that end
// badly, and every byte at every position of a short line.  Each run must
// finish with the status the rules give and, where it can be worked out by
// hand, the exact listing.  Big inputs are generated here, never stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

using test_util::BANNER_TEXT;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;   // the heaviest inputs are scaled down there
#else
constexpr bool SANITIZED = false;
#endif

const std::string EOL = "\r\n";

using test_util::listing_of;
using test_util::Symbol;

std::string header(int page) { return test_util::page_header(page); }

const std::string EMPTY_LISTING = header(1) + "\x1A";

std::string made(const std::string& shown, const std::string& middle = "") {
    return "\nnow making cross reference  ( " + shown + " )\n" + middle + "\n";
}

// Progress marks of a source of n lines.
std::string marks_for(int n) {
    std::string marks;
    for (int line = 100; line <= n; line += 100) marks += line % 500 == 0 ? '*' : '-';
    return marks;
}

// Compares big texts without printing them whole.
void expect_same_bytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return;
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    std::size_t from = at < 40 ? 0 : at - 40;
    ADD_FAILURE() << "sizes " << actual.size() << " and " << expected.size() << ", first difference at " << at
                  << "\nactual:   " << testing::PrintToString(actual.substr(from, 80))
                  << "\nexpected: " << testing::PrintToString(expected.substr(from, 80));
}

class HostileRun : public testing::Test {
protected:
    void SetUp() override { dir = test_util::make_scratch_dir(); }
    void TearDown() override { test_util::remove_tree(dir); }

    void write(const std::string& name, const std::string& bytes) { test_util::write_file(dir + "/" + name, bytes); }
    std::string listing(const std::string& name) const { return test_util::read_file(dir + "/" + name); }
    test_util::RunResult run(const std::vector<std::string>& args) {
        test_util::RunResult r = test_util::run_velxref(dir, args);
        EXPECT_EQ(r.err, "");
        return r;
    }

    std::string dir;
};

TEST_F(HostileRun, RandomBytesAreReadToTheEnd) {
    // Raw generator output, which the standard fixes for a seed.  A 0x1A at
    // the start of a line would end the file after a few kilobytes, so it is
    // replaced to make the whole 50 MB reach the reader and the tokenizer.
    // 10 MB under the sanitizers, where generating and reading 50 MB is slow.
    std::mt19937 random(20261208);
    std::string noise(SANITIZED ? 10'000'000 : 50'000'000, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random() & 0xFF);
        if (c == '\x1A') c = 'Z';
    }
    write("NOISE.AVL", noise);

    test_util::RunResult r = run({"NOISE"});
    EXPECT_EQ(r.status, 0);
    const std::string head = test_util::console(BANNER_TEXT + "\nnow making cross reference  ( NOISE.AVL )\n");
    const std::string tail = test_util::console("\n");
    ASSERT_GT(r.out.size(), head.size() + tail.size());
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    // A line feed every 256 bytes or so: nearly 2000 marks for 50 MB (400 for
    // 10 MB), then the closing line feed.
    std::string marks = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
    EXPECT_EQ(marks.find_first_not_of("-*"), std::string::npos);
    EXPECT_GT(marks.size(), noise.size() / 33'000);
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    std::string text = listing("NOISE.VXR");
    ASSERT_GT(text.size(), header(1).size());
    EXPECT_EQ(text.substr(0, header(1).size()), header(1));
    EXPECT_EQ(text.back(), '\x1A');
}

TEST_F(HostileRun, DegenerateFiles) {
    const std::string meg(1 << 20, '\0');
    struct Case {
        const char* what;
        std::string bytes;
        std::string marks, listed;
    };
    const Case cases[] = {
        // Pairs of CRs read as one CR each: a single line cut at 254 characters.
        {"only CR", std::string(1 << 20, '\r'), "", EMPTY_LISTING},
        {"odd number of CRs", "\r\r\r", "", EMPTY_LISTING},
        // The first byte ends the file.
        {"only 0x1A", std::string(1 << 20, '\x1A'), "", EMPTY_LISTING},
        {"only NUL", meg, "", EMPTY_LISTING},
        {"only CR LF", [] {
             std::string s;
             for (int i = 0; i < 1000; ++i) s += "\r\n";
             return s;
         }(), "----*----*", EMPTY_LISTING},
        // A NUL ends the text of its line; the line feed still ends the line.
        {"NUL inside lines", std::string("\0\0\nLBL\0 JSR FOO\nB\0\0\0\n\0", 22), "",
         listing_of({{"B", {{3, '#'}}}, {"LBL", {{2, '#'}}}}, 8, 4)},
        // 0x1A ends the line it stands in, also behind a dropped CR, and the
        // file when it starts a line.
        {"0x1A", "QQ\r\x1A" "KK\n\x1A" "ZZ\n", "", listing_of({{"KK", {{2, '#'}}}, {"QQ", {{1, '#'}}}}, 8, 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write("ODD.AVL", c.bytes);
        test_util::RunResult r = run({"ODD"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + made("ODD.AVL", c.marks)));
        EXPECT_EQ(listing("ODD.VXR"), c.listed);
    }
}

TEST_F(HostileRun, OverLongLinesAndNames) {
    const std::string n254(254, 'N'), n253m = std::string(253, 'N') + 'M';
    struct Case {
        const char* what;
        std::string bytes, listed;
    };
    const Case cases[] = {
        // The first 254 characters of a 10 MB line are a label; B is line 2.
        {"one line of 10 MB", std::string(10'000'000, 'A') + "\nB\n",
         listing_of({{std::string(254, 'A'), {{1, '#'}}}, {"B", {{2, '#'}}}}, 32, 4)},
        // 255 characters are cut to 254, so lines 1 and 2 name one symbol;
        // both rows show only the first 32 characters.
        {"names of 254 characters", n254 + "\n" + n254 + "N\n" + n253m + "\n",
         listing_of({{n253m, {{3, '#'}}}, {n254, {{1, '#'}, {2, '#'}}}}, 32, 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write("LONG.AVL", c.bytes);
        test_util::RunResult r = run({"LONG"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + made("LONG.AVL")));
        expect_same_bytes(listing("LONG.VXR"), c.listed);
    }
}

TEST_F(HostileRun, LongLineAtTheEndOfAnInclude) {
    // The include's last line is blanks closed by TAIL, n characters in all.
    // Whatever its length, and with or without a line feed, it is line 3 and
    // AFTER in the including file is line 4.
    struct Case {
        int length;
        bool line_feed;
        const char* seen;   // what the first 254 characters of the line hold
    };
    const Case cases[] = {{254, true, "TAIL"}, {254, false, "TAIL"}, {255, true, "TAI"}, {255, false, "TAI"},
                          {509, true, ""},     {509, false, ""},     {510, true, ""},    {510, false, ""}};
    std::vector<std::string> args;
    std::string console = BANNER_TEXT;
    for (int i = 0; i < 8; ++i) {
        const Case& c = cases[i];
        std::string n = std::to_string(i);
        write("INC" + n + ".INC", "FIRST\n" + std::string(c.length - 4, ' ') + "TAIL" + (c.line_feed ? "\n" : ""));
        write("P" + n + ".AVL", "\t.INCLUDE INC" + n + ".INC\nAFTER\n");
        args.push_back("P" + n);
        console += made("P" + n + ".AVL");
    }
    test_util::RunResult r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, test_util::console(console));
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(testing::Message() << cases[i].length << (cases[i].line_feed ? " with" : " without") << " LF");
        std::vector<Symbol> symbols = {{"AFTER", {{4, '#'}}}, {"FIRST", {{2, '#'}}}};
        if (*cases[i].seen != 0) symbols.push_back({cases[i].seen, {{3, '#'}}});
        EXPECT_EQ(listing("P" + std::to_string(i) + ".VXR"), listing_of(symbols, 8, 4));
    }
}

TEST_F(HostileRun, IncludesThatEndBadly) {
    // An include that includes itself opens at all four levels; the fifth
    // INCLUDE is a nesting error, then each level reads its IN line.
    write("SELF.INC", "\t.INCLUDE SELF.INC\nIN\n");
    write("SELF.AVL", "\t.INCLUDE SELF.INC\nOUT\n");
    test_util::RunResult r = run({"SELF"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + made("SELF.AVL", "\nNesting error SELF.INC\n")));
    EXPECT_EQ(listing("SELF.VXR"),
              listing_of({{"IN", {{6, '#'}, {7, '#'}, {8, '#'}, {9, '#'}}}, {"OUT", {{10, '#'}}}}, 8, 4));

    // A chain of four includes, each ending inside an over-long line of a
    // multiple of 255 characters without a line feed: the first piece of each
    // long line is handed out, and every including file goes on with its
    // next line.
    const char* names[] = {"A", "B", "C", "D"};
    for (int i = 0; i < 4; ++i) {
        std::string body = i < 3 ? std::string("\t.INCLUDE ") + names[i + 1] + ".INC\n" : "";
        std::string label = std::string("L") + names[i];
        write(std::string(names[i]) + ".INC", body + label + std::string(255 * (i % 2 + 1) - label.size(), ' '));
    }
    write("CHAIN.AVL", "\t.INCLUDE A.INC\nMAIN\n");
    r = run({"CHAIN"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + made("CHAIN.AVL")));
    EXPECT_EQ(listing("CHAIN.VXR"), listing_of({{"LA", {{8, '#'}}}, {"LB", {{7, '#'}}}, {"LC", {{6, '#'}}},
                                                {"LD", {{5, '#'}}}, {"MAIN", {{9, '#'}}}}, 8, 4));
}

TEST_F(HostileRun, MillionDistinctSymbols) {
    // Scaled down under the sanitizers, where a million take half a minute.
    const int count = SANITIZED ? 100'000 : 1'000'000;
    const int number_width = SANITIZED ? 6 : 7;   // digits of the last line
    std::string source;
    std::vector<Symbol> symbols;
    symbols.reserve(count);
    char name[16];
    for (int i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "S%07d", i);
        source += name;
        source += '\n';
        symbols.push_back({name, {{i + 1, '#'}}});
    }
    write("MANY.AVL", source);
    test_util::RunResult r = run({"MANY"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + made("MANY.AVL", marks_for(count))));
    std::string text = listing("MANY.VXR");
    // One row per symbol (nine-column names) and a header per 55 rows.
    std::size_t rows = 0;
    for (std::size_t at = text.find("\r\nS"); at != std::string::npos; at = text.find("\r\nS", at + 2)) ++rows;
    EXPECT_EQ(rows, static_cast<std::size_t>(count));
    expect_same_bytes(text, listing_of(symbols, 9, number_width));
}

TEST_F(HostileRun, OneSymbolAMillionTimes) {
    // 20,000 lines of fifty uses each: 100,000 rows of ten fields.
    std::string line = "\t.WORD\tCNT";
    for (int i = 1; i < 50; ++i) line += ",CNT";
    std::string source;
    Symbol cnt{"CNT", {}};
    for (int n = 1; n <= 20'000; ++n) {
        source += line + "\n";
        for (int i = 0; i < 50; ++i) cnt.refs.push_back({n, ' '});
    }
    write("ONE.AVL", source);
    test_util::RunResult r = run({"ONE"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + made("ONE.AVL", marks_for(20'000))));
    expect_same_bytes(listing("ONE.VXR"), listing_of({cnt}, 8, 5));
}

TEST_F(HostileRun, EveryByteAtEveryPositionOfALine) {
    const std::string line = "LBL: LDA COUNT,X\n";
    const std::vector<Symbol> plain = {{"COUNT", {{1, ' '}}}, {"LBL", {{1, '#'}}}};
    const std::vector<Symbol> split = {{"COUNT", {{2, ' '}}}, {"LBL", {{1, '#'}}}};
    // Listings worked out by hand for a few of the variants.
    struct Known {
        std::size_t position;
        unsigned char byte;
        std::vector<Symbol> symbols;
    };
    const Known known[] = {
        {0, 'Q', {{"COUNT", {{1, ' '}}}, {"QBL", {{1, '#'}}}}},
        {0, 0x1A, {}},                               // the file ends at once
        {3, 0, {{"LBL", {{1, '#'}}}}},               // the line's text ends after LBL
        {4, '\n', split},                            // LBL: alone, then a statement led by LDA
        {4, 0x1A, split},                            // the same: 0x1A ends the line
        {4, '\r', plain},                            // the CR is dropped: LBL:LDA
        {6, 'S', {}},                                // LSA is a symbol: two symbols record nothing
        {9, '$', {{"LBL", {{1, '#'}}}, {"OUNT", {{1, ' '}}}}},   // "$" alone is an operator
        {15, 0xFF, plain},                           // an invalid byte is passed over
        {16, 0, plain},                              // a line feed is added at the end
    };
    // Starting a process costs much more under the sanitizers and under Wine
    // (the Windows build, whose tokenizer is the shared one); there every
    // eighth variant is run, besides the known ones.
    const bool sampled = SANITIZED || test_util::testing_windows_build();
    auto is_known = [&](std::size_t p, int b) {
        for (const Known& kn : known)
            if (kn.position == p && kn.byte == b) return true;
        return false;
    };
    std::vector<std::pair<std::size_t, int>> variants;
    for (std::size_t p = 0; p < line.size(); ++p)
        for (int b = 0; b < 256; ++b)
            if (!sampled || (p + static_cast<std::size_t>(b)) % 8 == 0 || is_known(p, b)) variants.push_back({p, b});

    std::size_t checked = 0;
    for (std::size_t first = 0; first < variants.size(); first += 16) {
        std::vector<std::string> args;
        std::string console = BANNER_TEXT;
        for (std::size_t k = first; k < first + 16 && k < variants.size(); ++k) {
            std::string source = line, name = "V" + std::to_string(k - first);
            source[variants[k].first] = static_cast<char>(variants[k].second);
            write(name + ".AVL", source);
            args.push_back(name);
            console += made(name + ".AVL");
        }
        test_util::RunResult r = run(args);
        ASSERT_EQ(r.status, 0) << "position " << variants[first].first;
        ASSERT_EQ(r.out, test_util::console(console));
        for (std::size_t k = first; k < first + args.size(); ++k) {
            SCOPED_TRACE(testing::Message() << "byte " << variants[k].second << " at " << variants[k].first);
            std::string text = listing("V" + std::to_string(k - first) + ".VXR");
            ASSERT_EQ(text.substr(0, header(1).size()), header(1));
            ASSERT_EQ(text.back(), '\x1A');
            for (const Known& kn : known) {
                if (kn.position == variants[k].first && kn.byte == variants[k].second) {
                    EXPECT_EQ(text, listing_of(kn.symbols, 8, 4));
                    ++checked;
                }
            }
        }
    }
    EXPECT_EQ(checked, std::size(known));
}

}  // namespace
