// The line reader and the include stack over real files in a scratch
// directory, which is the working directory while a test runs.
#include "input/input.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "fatal/fatal.h"
#include "test_util.h"

namespace {

platform::TextStream* source = nullptr;   // the main source, as the driver would hold it

class ReaderTest : public testing::Test {
protected:
    void SetUp() override {
        char here[PATH_MAX];
        ASSERT_NE(::getcwd(here, sizeof here), nullptr);
        old_cwd = here;
        base = test_util::make_scratch_dir();
        ASSERT_EQ(::mkdir((base + "/cwd").c_str(), 0777), 0);   // so ".." is still scratch space
        ASSERT_EQ(::chdir((base + "/cwd").c_str()), 0);
        input::exclude_count = 0;
        fatal::exit_status = 0;
        input::line_number = 1;
        source = nullptr;
        input::reset_input(nullptr);
    }

    void TearDown() override {
        input::reset_input(nullptr);   // closes what is still open
        source = nullptr;
        input::exclude_count = 0;
        EXPECT_EQ(::chdir(old_cwd.c_str()), 0);
        test_util::remove_tree(base);
    }

    // Makes MAIN.AVL the source being read, as the driver's reset would.
    void start_source(const std::string& bytes) {
        test_util::write_file("MAIN.AVL", bytes);
        source = platform::open_read("MAIN.AVL");
        ASSERT_NE(source, nullptr);
        input::reset_input(source, "MAIN.AVL", keep);
    }
    int keep = 0;   // what start_source's record keeps

    std::string old_cwd, base;
};

// Every line next_line hands out, with its line feed.  A line starting with
// "#" stands for an INCLUDE statement: the name after it is opened.
std::vector<std::string> read_lines() {
    std::vector<std::string> lines;
    for (;;) {
        std::memset(input::line_buffer, 0xAB, sizeof input::line_buffer);
        if (input::next_line() == 0) break;
        // A line holds no line feed but its last character.
        const void* end = std::memchr(input::line_buffer, '\n', sizeof input::line_buffer);
        if (end == nullptr) {
            ADD_FAILURE() << "no line feed in the line";
            break;
        }
        int n = static_cast<int>(static_cast<const char*>(end) - input::line_buffer) + 1;
        EXPECT_TRUE(n >= 1 && n <= 255);
        EXPECT_EQ(input::line_buffer[n - 1], '\n');
        EXPECT_EQ(input::line_buffer[n], 0);
        lines.emplace_back(input::line_buffer, static_cast<std::size_t>(n));
        if (input::line_buffer[0] == '#') input::open_include(lines.back().substr(1, n - 2).c_str(), 1);
        input::count_line();
    }
    return lines;
}

using Lines = std::vector<std::string>;

// Characters that show where a line was cut: 'a'..'z' over and over.
std::string alphabet(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
    return s;
}

TEST_F(ReaderTest, ReadTextLineCutsChunksAndEndsTheLastLine) {
    test_util::write_file("F", "abcdef\nxy");
    platform::TextStream* s = platform::open_read("F");
    char buffer[8];
    struct Step {
        int size, count;
        const char* text;
    };
    const Step steps[] = {{4, 3, "abc"}, {4, 3, "def"}, {4, 1, "\n"}, {8, 3, "xy\n"}, {8, 0, ""}, {8, 0, ""}};
    for (const Step& step : steps) {
        std::memset(buffer, 0xAB, sizeof buffer);
        EXPECT_EQ(input::read_text_line(buffer, step.size, s), step.count);
        EXPECT_STREQ(buffer, step.text);
    }
    platform::close_stream(s);
}

TEST_F(ReaderTest, LongLinesAreHandedOutOnceAsTheirFirst254Characters) {
    const std::string first = alphabet(254) + "\n";
    struct Case {
        int length;
        Lines expected;
    };
    const Case cases[] = {
        {253, {alphabet(253) + "\n", "next\n"}},
        {254, {first, "next\n"}},
        {255, {first, "next\n"}},
        {509, {first, "next\n"}},
        {510, {first, "next\n"}},   // two full pieces, then the line feed alone
        {600, {first, "next\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        start_source(alphabet(c.length) + "\nnext\n");
        EXPECT_EQ(read_lines(), c.expected);
        EXPECT_EQ(input::line_number, 3);
        EXPECT_FALSE(input::skipping_long_line);
        input::close_source();
        source = nullptr;
    }
}

TEST_F(ReaderTest, LineEndsCtrlZAndNulBytes) {
    struct Case {
        std::string bytes;
        Lines expected;
    };
    const std::string nul_line = std::string("x\0", 2) + std::string(298, 'y');
    const Case cases[] = {
        {"", {}},
        {"one\ntwo", {"one\n", "two\n"}},
        {"one\r\ntwo\r\n", {"one\n", "two\n"}},
        {"\n\r\n", {"\n", "\n"}},
        {"\r\r\n", {"\r\n"}},
        {"\x1Anever\n", {}},
        {"one\n\x1Anever\n", {"one\n"}},
        {"one\r\n\r\x1Anever\n", {"one\n"}},
        {"ab\x1A" "cd\n", {"ab\n", "cd\n"}},
        {"ab\r\x1A" "cd\n", {"ab\n", "cd\n"}},
        {std::string("a\0b\nc\n", 6), {std::string("a\0b\n", 4), "c\n"}},
        {std::string("\0\n", 2), {std::string("\0\n", 2)}},
        {nul_line + "\nz\n", {nul_line.substr(0, 254) + "\n", "z\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        start_source(c.bytes);
        EXPECT_EQ(read_lines(), c.expected);
        input::close_source();
        source = nullptr;
    }
}

TEST_F(ReaderTest, ProgressMarksFollowTheLineNumber) {
    struct Case {
        int lines;
        const char* marks;
    };
    const Case cases[] = {{99, ""}, {100, "-"}, {199, "-"}, {500, "----*"}, {1000, "----*----*"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        std::string text;
        for (int i = 0; i < c.lines; ++i) text += "x\n";
        start_source(text);
        testing::internal::CaptureStdout();
        std::size_t count = read_lines().size();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.marks);
        EXPECT_EQ(count, static_cast<std::size_t>(c.lines));
        input::close_source();
        source = nullptr;
    }
}

TEST_F(ReaderTest, IncludeFilesAreReadInPlace) {
    test_util::write_file("INC.A", "a1\n#INC.B\na3");   // no line feed at its end
    test_util::write_file("INC.B", "b1\n\x1A" "never\n");
    test_util::write_file("EMPTY", "");
    test_util::write_file("LONG", std::string(255, 'q'));   // ends inside an over-long line
    const std::string cut_name(253, 'n');   // named on an over-long line, which is cut behind it
    test_util::write_file(cut_name, "n1\nn2\n");
    start_source("m1\n#INC.A\n#EMPTY\nm4\n#LONG\nm6\n#" + cut_name + "TAIL\nm8\n");
    testing::internal::CaptureStdout();
    Lines lines = read_lines();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const Lines expected = {"m1\n", "#INC.A\n", "a1\n", "#INC.B\n", "b1\n", "a3\n", "#EMPTY\n",
                            "m4\n", "#LONG\n", std::string(254, 'q') + "\n", "m6\n",
                            "#" + cut_name + "\n", "n1\n", "n2\n", "m8\n"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(input::line_number, 16);
    EXPECT_EQ(input::include_depth, 0);
    EXPECT_EQ(input::input_file, source);
    EXPECT_EQ(fatal::exit_status, 0);
}

TEST_F(ReaderTest, SourceIncludingItselfStopsAtTheNestingLimit) {
    start_source("m1\n#MAIN.AVL\nm3\n");
    testing::internal::CaptureStdout();
    Lines lines = read_lines();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nNesting error MAIN.AVL\n");
    Lines expected;
    for (int level = 0; level <= 4; ++level) expected.insert(expected.end(), {"m1\n", "#MAIN.AVL\n"});
    for (int level = 0; level <= 4; ++level) expected.push_back("m3\n");
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(fatal::exit_status, 1);
    EXPECT_EQ(input::include_depth, 0);
}

TEST_F(ReaderTest, IncludesThatCannotBeOpened) {
    ASSERT_EQ(::mkdir("DIR.INC", 0777), 0);
    test_util::write_file("INC.A", "");
    struct Case {
        const char* name;
        const char* message;
    };
    const Case cases[] = {
        {"MISSING.INC", "\nCan't open include file MISSING.INC\n"},
        {"DIR.INC", "\nCan't open include file DIR.INC\n"},
        {"", "\nCan't open include file \n"},
        {"\"INC.A\"", "\nCan't open include file \"INC.A\"\n"},   // quotes belong to the name
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fatal::exit_status = 0;
        input::reset_input(nullptr);
        testing::internal::CaptureStdout();
        input::open_include(c.name, 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        EXPECT_EQ(fatal::exit_status, 1);
        EXPECT_EQ(input::include_depth, 0);
        EXPECT_EQ(input::include_stack[0], nullptr);
        EXPECT_EQ(input::input_file, nullptr);
    }
}

TEST_F(ReaderTest, ExcludedIncludesHaveNoEffect) {
    test_util::write_file("reg.inc", "");
    test_util::write_file("../REG.INC", "");
    char reg[] = "REG.INC", empty[] = "";
    input::exclude_names[0] = empty;
    input::exclude_names[1] = reg;
    input::exclude_count = 2;
    for (const char* name : {"reg.inc", "Reg.Inc", "REG.INC", ""}) {
        SCOPED_TRACE(name);
        testing::internal::CaptureStdout();
        input::open_include(name, 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(input::include_depth, 0);
        EXPECT_EQ(fatal::exit_status, 0);
    }
    input::open_include("..\\REG.INC", 0);   // another spelling of the path: not excluded
    EXPECT_EQ(input::include_depth, 1);
}

// Where each line and each column stands in its file (KEEP_OFFSETS).  Every
// character handed out is the byte of the file file_offset names, and every
// line feed is the file's own or stands where reading of its line stopped; the
// probes are worked out by hand.  A "#" in a line opens the name after it,
// up to a blank or the line's end, as an INCLUDE written there would.  Once
// the run is done the record still holds the cut lines and the lines that
// named an include, and no other.
TEST_F(ReaderTest, EveryColumnMapsBackToItsByteOfTheFile) {
    struct Probe {
        std::int32_t line;   // index among the lines handed out
        int column;
        std::int64_t offset;
        int file;            // index in input::record.file_records
    };
    struct Case {
        const char* what;
        std::string main, include;   // include is I.INC
        std::vector<Probe> probes;
    };
    const std::string long_include = std::string(236, ' ') + "#I.INC ; " + std::string(100, 'x') + "\nZ: RTS\n";
    const Case cases[] = {
        {"CR LF", "A: LDA B\r\nC: RTS\r\n", "", {{0, 7, 7, 0}, {0, 8, 9, 0}, {1, 3, 13, 0}}},
        {"a lone CR before a symbol", "LDA \rFOO\n", "", {{0, 3, 3, 0}, {0, 4, 5, 0}, {0, 7, 8, 0}}},
        {"CR CR LF: the second CR is a character", "A\r\r\nB\n", "", {{0, 1, 2, 0}, {0, 2, 3, 0}, {1, 0, 4, 0}}},
        {"a CR at the end of the file", "A\r", "", {{0, 0, 0, 0}, {0, 1, 2, 0}}},
        {"0x1A inside a line", "AB\x1A" "CD JSR Q\n", "", {{0, 2, 2, 0}, {1, 0, 3, 0}, {1, 7, 10, 0}}},
        {"a line past 254", std::string(300, 'X') + "\nY: RTS\n", "", {{0, 253, 253, 0}, {1, 0, 301, 0}, {1, 3, 304, 0}}},
        {"tabs", "\t\tJSR\tSUB\n", "", {{0, 6, 6, 0}}},
        {"bytes of 128 and up", "\xC3\xA9X: LDA \xFF\n", "", {{0, 2, 2, 0}, {0, 9, 9, 0}}},
        {"an include named on a long line", long_include, "Q\r\nR\n",
         {{0, 237, 237, 0}, {1, 0, 0, 1}, {2, 0, 3, 1}, {3, 3, 349, 0}}},
    };
    keep = input::KEEP_OFFSETS;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test_util::write_file("I.INC", c.include);
        start_source(c.main);
        std::vector<std::string> texts;
        while (input::next_line() != 0) {
            std::int32_t i = input::record.lines_read - 1;
            std::string bytes = test_util::read_file(input::record.file_records[static_cast<std::size_t>(input::file_of_line(input::record, i))].name);
            for (int k = 0; k < input::line_length; ++k) {
                std::int64_t at = input::file_offset(input::record, i, k);
                ASSERT_TRUE(at >= 0 && at <= static_cast<std::int64_t>(bytes.size())) << "line " << i << " column " << k;
                char there = at < static_cast<std::int64_t>(bytes.size()) ? bytes[static_cast<std::size_t>(at)] : '\n';
                if (k + 1 < input::line_length) {
                    EXPECT_EQ(there, input::line_buffer[k]) << "line " << i << " column " << k;
                } else {
                    EXPECT_TRUE(there == '\n' || there == '\x1A' || input::skipping_long_line) << "line " << i;
                }
            }
            for (const Probe& p : c.probes) {
                if (p.line != i) continue;
                EXPECT_EQ(input::file_offset(input::record, p.line, p.column), p.offset) << "line " << p.line << " column " << p.column;
                EXPECT_EQ(input::file_of_line(input::record, p.line), p.file) << "line " << p.line;
            }
            std::string line(input::line_buffer, static_cast<std::size_t>(input::line_length));
            std::size_t hash = line.find('#');
            if (hash != std::string::npos) {
                std::size_t end = line.find_first_of(" \n", hash);
                input::open_include(line.substr(hash + 1, end - hash - 1).c_str(), static_cast<int>(hash + 1));
            }
            input::count_line();
        }
        std::vector<std::int32_t> kept_lines;
        for (const input::LineOffset& l : input::record.line_offsets) kept_lines.push_back(l.line);
        if (!c.include.empty()) {
            EXPECT_EQ(kept_lines, (std::vector<std::int32_t>{0, 3}));   // cut and naming I.INC; the last
            EXPECT_EQ(input::file_offset(input::record, 0, 237), 237);
            ASSERT_EQ(input::record.file_records.size(), 2u);
            EXPECT_EQ(input::record.file_records[1].name_column, 237);
            EXPECT_EQ(input::record.file_records[1].included_on, 1);
            EXPECT_EQ(input::record.file_records[1].first_line, 2);
            EXPECT_EQ(input::record.file_records[1].last_line, 3);
            EXPECT_EQ(input::record.cut_lines, std::vector<std::int32_t>{0});
        }
        input::close_source();
        source = nullptr;
    }
}

TEST_F(ReaderTest, SameNameNocaseMapsOnlyAsciiLetters) {
    struct Case {
        const char *a, *b;
        bool same;
    };
    const Case cases[] = {
        {"REG.INC", "reg.inc", true}, {"reg.inc", "REG.INC", true}, {"a:\\b?_1", "A:\\B?_1", true},
        {"", "", true},               {"A", "", false},             {"", "A", false},
        {"AB", "A", false},           {"A", "AB", false},           {"[", "{", false},
        {"@", "`", false},            {"\xE4", "\xC4", false},
    };
    for (const Case& c : cases) EXPECT_EQ(input::same_name_nocase(c.a, c.b), c.same) << c.a << " / " << c.b;
}

}  // namespace
