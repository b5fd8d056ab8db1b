// The statement classifier over whole lines: each case is analysed as a
// fresh source, and the symbol table it leaves is compared as text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/analysis.h"
#include "fatal/fatal.h"
#include "listing/listing.h"
#include "input/input.h"
#include "lex/lex.h"
#include "platform/platform.h"
#include "symbols/symbols.h"
#include "symbol_table_text.h"
#include "test_util.h"

namespace {

struct Case {
    const char* source;     // lines separated by "\n"
    const char* expected;   // "NAME: 1# 3 |PUTC(M): 2#": references oldest first
};

class AnalysisTest : public ::testing::Test {
protected:
    void SetUp() override {
        // FILE.INC is excluded, so an INCLUDE of it never reaches the file system.
        input::clear_excludes();
        input::add_exclude("FILE.INC");
        reset();
    }

    void TearDown() override {
        reset();
        input::clear_excludes();
    }

    static void reset() {
        symbols::release_tree();
        symbols::reset_symbols();
        analysis::reset_analysis();
        listing::reset_listing();
        input::reset_input(nullptr);
        fatal::exit_status = 0;
    }

    // Hands each line to the classifier as the reader would, then counts it.
    static void analyse(const std::string& source) {
        std::size_t start = 0;
        for (;;) {
            std::size_t end = source.find('\n', start);
            std::string line = source.substr(start, end == std::string::npos ? std::string::npos : end - start);
            ASSERT_LE(line.size(), 254u);
            std::memcpy(input::line_buffer, line.data(), line.size());
            std::memcpy(input::line_buffer + line.size(), "\n", 2);
            lex::start_line();
            analysis::analyse_line();
            input::count_line();
            if (end == std::string::npos) return;
            start = end + 1;
        }
    }

    static std::string render() {
        return test_util::table_text();
    }

    static void check(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.source);
            reset();
            analyse(c.source);
            EXPECT_EQ(render(), c.expected);
            EXPECT_EQ(analysis::current_kind, ' ');   // "M" only while a macro name is recorded
        }
    }
};

TEST_F(AnalysisTest, LoneLabelsAndLinesWithoutStatements) {
    check({
        {"LOOP", "LOOP: 1#"},
        {"LOOP:", "LOOP: 1#"},
        {"\t   LOOP:\t; comment", "LOOP: 1#"},
        {"LOOP ; TOTAL", "LOOP: 1#"},
        {"NOP:", "NOP: 1#"},
        {".LOCAL1", ".LOCAL1: 1#"},
        {"", ""},
        {" \t ", ""},
        {"; LOOP", ""},
        {"ELSE", ""},
        {"COUNT\n\nCOUNT:\n\t\tCOUNT", "COUNT: 1# 3# 4#"},
    });
}

TEST_F(AnalysisTest, InstructionOperands) {
    check({
        {"START: LDA COUNT,X", "COUNT: 1 |START: 1#"},
        {"\tSTA COUNT,COUNT", "COUNT: 1  1 "},
        {"\tLDA COUNT ; TOTAL", "COUNT: 1 "},
        {"\tJMP PRINT", "PRINT: 1 "},
        {"\tJSR PRINT+2", "PRINT: 1&"},
        {"LOOP JSR PRINT", "LOOP: 1#|PRINT: 1&"},
        {"\tJSR TABLE,COUNT+OFFSET", "COUNT: 1&|OFFSET: 1&|TABLE: 1&"},
        {"\tjsr print", "print: 1&"},
        {"Loop:\tJsr\tLOOP", "LOOP: 1&|Loop: 1#"},
        // After a mnemonic without operand nothing is read.
        {"\tNOP COUNT", ""},
        {"L1 NOP COUNT", "L1: 1#"},
        {"NOP: NOP COUNT", "NOP: 1#"},
        {"\tRTS\n\tJSR COUNT\n\tLDA COUNT", "COUNT: 2& 3 "},
    });
}

TEST_F(AnalysisTest, AssignmentsAndGeneralPseudoInstructions) {
    check({
        {"SIZE = COUNT+1", "COUNT: 1 |SIZE: 1#"},
        {"SIZE == COUNT", "COUNT: 1 |SIZE: 1#"},
        {"SIZE==COUNT", "COUNT: 1 |SIZE: 1#"},
        {"SIZE .EQU COUNT+1", "COUNT: 1 |SIZE: 1#"},
        {"SIZE\t.equ\tCOUNT", "COUNT: 1 |SIZE: 1#"},
        {"* = BASE", "BASE: 1 "},
        {"*= BASE", ""},
        {"ORIGIN *= BASE", "BASE: 1 "},
        {"5 = BASE", "BASE: 1 "},
        {"\t.WORD LOW,HIGH,LOW", "HIGH: 1 |LOW: 1  1 "},
        {"TABLE .BYTE 'A',COUNT,\"TOTAL\"", "COUNT: 1 |TABLE: 1#"},
    });
}

TEST_F(AnalysisTest, SymbolFollowedByAnythingElseRecordsNothing) {
    check({
        {"FIRST SECOND", ""},
        {"PUTS MESSAGE,COUNT", ""},
        {"PUTS 5", ""},
        {"PUTS 'text'", ""},
        {"PUTS + COUNT", ""},
        {"PUTS @", ""},
        {"INCLUDE FILE.INC", ""},
    });
}

TEST_F(AnalysisTest, MacroNames) {
    check({
        {"PUTC .MACRO CH\n\t.ENDM\nPUTC\nPUTC A\n\tJSR PUTC", "CH: 1 |PUTC(M): 1# 3  4  5 "},
        {".MACRO PUTC", "PUTC: 1 "},
        {"PUTC .MACRO PUTC", "PUTC(M): 1# 1 "},
        // Used before its macro statement: the kind stays blank, the marks stand.
        {"\tJSR PUTC\nPUTC .MACRO CH\nPUTC", "CH: 2 |PUTC: 1& 2# 3#"},
    });
}

TEST_F(AnalysisTest, IncludeRecordsOnlyItsLabel) {
    check({
        {"LBL .INCLUDE FILE.INC", "LBL: 1#"},
        {"\t.INCLUDE FILE.INC", ""},
        {"\t.include file.inc ; COUNT", ""},
        {"LBL .INCLUDE FILE.INC\n\tLDA COUNT", "COUNT: 2 |LBL: 1#"},
    });
    EXPECT_EQ(input::include_depth, 0);
    EXPECT_EQ(fatal::exit_status, 0);
}

TEST_F(AnalysisTest, PageTakesTheFirstNonEmptyStringTitle) {
    struct TitleCase {
        const char* source;
        const char* table;
        const char* title;
    };
    const TitleCase cases[] = {
        {"\t.PAGE 'Main'", "", "Main"},
        {"\t.PAGE \"Main\" COUNT", "", "Main"},
        {"\t.PAGE '0123456789012345678901234567890123456789'", "", "012345678901234567890123456789"},
        {"\t.PAGE '\tX'", "", "        X"},
        {"\t.PAGE 'AB\tC'", "", "AB      C"},
        {"\t.PAGE 'ABCDEFGHIJKLMNOPQRSTUVWXYZ\tQ'", "", "ABCDEFGHIJKLMNOPQRSTUVWXYZ    "},
        {"\t.PAGE ''\n\t.PAGE 'REAL'", "", "REAL"},
        {"\t.PAGE 'FIRST'\n\t.PAGE 'SECOND'", "", "FIRST"},
        {"\t.PAGE COUNT\n\t.PAGE 'OK'", "", "OK"},
        {"\t.PAGE 'T'\n\t.PAGE COUNT", "", "T"},
        {"\t.PAGE", "", ""},
        {"TOP .PAGE 'T' COUNT", "TOP: 1#", "T"},
    };
    for (const TitleCase& c : cases) {
        SCOPED_TRACE(c.source);
        reset();
        analyse(c.source);
        EXPECT_EQ(render(), c.table);
        EXPECT_STREQ(analysis::title, c.title);
    }
}

TEST_F(AnalysisTest, ReservedWordsAndBrackets) {
    check({
        {"IF COUNT == LIMIT", "COUNT: 1 |LIMIT: 1 "},
        {"\tif count", "count: 1 "},
        {"WHILE X", ""},
        {"LBL IF COUNT", "COUNT: 1 |LBL: 1#"},
        {"PUTC A", "PUTC: 1#"},
        {"[ A, COUNT ]", "COUNT: 1 "},
        {"{ LOOP", "LOOP: 1 "},
        {"LBL [ COUNT ]", "COUNT: 1 |LBL: 1#"},
        {"LBL { COUNT }", "COUNT: 1 |LBL: 1#"},
        // The test of the first character looks at a string's content too.
        {"'{' COUNT", "COUNT: 1 "},
        {"LBL '[' COUNT", "COUNT: 1 |LBL: 1#"},
    });
}

TEST_F(AnalysisTest, LinesOfOneSourceCountOnAcrossStatements) {
    check({
        {"COUNT = 5\n\n\tLDA COUNT\n; COUNT\n\tSTA COUNT,COUNT\nLOOP:\tJSR LOOP", "COUNT: 1# 3  5  5 |LOOP: 6# 6&"},
    });
}

// The mentions of a whole run over source, each as its byte offset in the
// file, its text, its mark ("_" blank, "-" left out), "?" when the listing
// leaves it out, "p" for a macro's parameter, and "+" and the carriage
// returns the reader dropped inside it.
std::string mentions_of(const std::string& source) {
    std::string dir = test_util::make_scratch_dir();
    test_util::write_file(dir + "/M.AVL", source);
    platform::TextStream* stream = platform::open_read((dir + "/M.AVL").c_str());
    EXPECT_NE(stream, nullptr);
    analysis::Record record = analysis::analyse_source(stream, "M.AVL", analysis::KEEP_MENTIONS);
    test_util::remove_tree(dir);
    std::string out;
    std::size_t k = 0;
    for (const analysis::Mention& m : record.mentions.list) {
        out += std::to_string(m.offset()) + m.symbol->name + (m.mark == 0 ? '-' : m.mark == ' ' ? '_' : m.mark);
        if ((m.flags & analysis::MENTION_LISTED) == 0) out += '?';
        if ((m.flags & analysis::MENTION_PARAMETER) != 0) out += 'p';
        for (const analysis::BrokenMention& b : record.mentions.broken)
            if (b.mention == k) out += '+' + std::to_string(b.count);
        out += ' ';
        ++k;
    }
    EXPECT_LE(record.mentions.files.size(), 1u);   // one file
    return out;
}

TEST_F(AnalysisTest, MentionsAreEverySymbolOfTheStatementAtItsByte) {
    struct Row {
        const char* source;
        const char* mentions;
    } rows[] = {
        {"LBL\tLDA\tFOO,X+BAR ; NOTE", "0LBL# 8FOO_ 14BAR_ "},
        {"\tNOP FOO", "5FOO-? "},                     // after an implied mnemonic
        {"PUTC '*', COUNT", "0PUTC-? 10COUNT-? "},      // a macro invocation: the listing keeps nothing
        {"ORIGIN *= BASE", "0ORIGIN-? 10BASE_ "},
        {"\t.PAGE FOO", "7FOO-? "},                    // no title
        {"LBL\t.INCLUDE FILE.INC", "0LBL# "},          // the name is no token
        // The macro rule; a parameter is defined by its .MACRO line.
        {"MAC\t.MACRO A1\n\tJSR MAC", "0MAC# 11A1#p 19MAC_ "},
        {"1 JSR SUB", "6SUB&? "},                      // a call on a line the listing leaves out
        {"\tLDA 0x00", ""},                            // part of a number
        {"LBL\r\n\tLDA\tLBL\r\n", "0LBL# 10LBL_ "},   // the carriage returns count
        {"\tLDA A\rB", "5AB_+1 "},                    // a lone one, dropped, joins A and B
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.source);
        EXPECT_EQ(mentions_of(r.source), r.mentions);
    }
}

// The whole analysis of the example, as the command line runs it: the files
// read, each symbol's occurrences (line, column, mark) oldest first, and its
// facts.  PORTS.INC's six lines are lines 6 to 11, so BLINK.AVL's line n is
// line n + 6 from its line 6 on.
TEST_F(AnalysisTest, TheExampleLeavesItsFilesOccurrencesAndFacts) {
    platform::change_directory(VELXREF_SOURCE_DIR "/examples");
    platform::TextStream* source = platform::open_read("BLINK.AVL");
    ASSERT_NE(source, nullptr);
    analysis::Record record = analysis::analyse_source(source, "BLINK.AVL");
    platform::change_directory(VELXREF_SOURCE_DIR);
    EXPECT_TRUE(input::record.file_records.empty());   // nothing of the run stays behind
    EXPECT_EQ(symbols::symbol_root, nullptr);

    ASSERT_EQ(record.run.file_records.size(), 2u);
    const input::FileRecord& main = record.run.file_records[0];
    EXPECT_EQ(main.name, "BLINK.AVL");
    EXPECT_EQ(main.included_on, 0);
    EXPECT_EQ(main.first_line, 1);
    EXPECT_EQ(main.last_line, 46);
    EXPECT_EQ(main.lines, 40);
    const input::FileRecord& ports = record.run.file_records[1];
    EXPECT_EQ(ports.name, "PORTS.INC");
    EXPECT_EQ(ports.included_on, 5);
    EXPECT_EQ(ports.name_column, 10);
    EXPECT_EQ(ports.parent, 0);
    EXPECT_EQ(ports.depth, 1);
    EXPECT_EQ(ports.first_line, 6);
    EXPECT_EQ(ports.last_line, 11);
    EXPECT_EQ(ports.lines, 6);
    EXPECT_TRUE(record.run.include_failures.empty());
    EXPECT_EQ(record.run.lines_read, 46);
    EXPECT_EQ(record.title, "BLINK demo");
    EXPECT_FALSE(record.source_failed);

    struct Row {
        const char* name;
        char kind;
        int usage;
        std::vector<std::tuple<std::int32_t, int, char>> refs;   // line, column, mark
    } rows[] = {
        {"PUTS", ' ', symbols::USAGE_DEFINED_AND_USED, {{18, 5, '&'}, {33, 5, '&'}, {42, 0, '#'}}},
        {"COUNT", ' ', symbols::USAGE_DEFINED_AND_USED, {{14, 0, '#'}, {27, 10, ' '}, {34, 5, ' '}}},
        {"PUTC", 'M', symbols::USAGE_NEVER_USED, {{16, 0, '#'}}},   // the invocation on line 32 is left out
        {"PORT_IN", ' ', symbols::USAGE_DEFINED_AND_USED, {{8, 0, '#'}, {31, 13, ' '}}},
        {"CH", ' ', symbols::USAGE_NEVER_DEFINED, {{16, 12, ' '}, {17, 6, ' '}}},
    };
    std::vector<const symbols::SymbolNode*> nodes = test_util::nodes_in_order(record.table.root);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const symbols::SymbolNode* node = nullptr;
        for (const symbols::SymbolNode* n : nodes)
            if (std::strcmp(n->name, r.name) == 0) node = n;
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->kind, r.kind);
        EXPECT_EQ(symbols::usage_of(node), r.usage);
        std::vector<std::tuple<std::int32_t, int, char>> refs;
        symbols::RefWalk w;
        for (const symbols::RefEntry* e = symbols::first_ref(node, &w); e != nullptr; e = symbols::next_ref(&w))
            refs.emplace_back(e->line, e->column, e->mark);
        EXPECT_EQ(refs, r.refs);
    }
}

// file_records index of the file of mention k.
int file_of(const analysis::Mentions& mentions, std::size_t k) {
    int file = -1;
    for (const analysis::MentionRun& r : mentions.files)
        if (r.first <= k) file = r.file;
    return file;
}

// The example as the language server reads it: every symbol token, at its
// byte in its file.  BLINK.AVL's line 10 ("PUTC\t.MACRO\tCH") starts at byte
// 296 and line 26 ("\tPUTC\t'*'") at 480; PORTS.INC's line 2 at byte 51.
TEST_F(AnalysisTest, TheExampleMentionsEverySymbolAtItsByte) {
    platform::change_directory(VELXREF_SOURCE_DIR "/examples");
    platform::TextStream* source = platform::open_read("BLINK.AVL");
    ASSERT_NE(source, nullptr);
    analysis::Record record = analysis::analyse_source(source, "BLINK.AVL", analysis::KEEP_MENTIONS);
    platform::change_directory(VELXREF_SOURCE_DIR);

    struct Row {
        const char* name;
        std::int32_t file;
        std::int64_t offset;
        char mark;
        std::uint8_t flags;
    } rows[] = {
        {"PORT_OUT", 1, 51, '#', analysis::MENTION_LISTED | analysis::MENTION_LINE_FIRST},
        {"PUTC", 0, 296, '#', analysis::MENTION_LISTED | analysis::MENTION_LINE_FIRST},
        {"CH", 0, 308, '#', analysis::MENTION_LISTED | analysis::MENTION_PARAMETER},
        {"CH", 0, 317, ' ', analysis::MENTION_LISTED | analysis::MENTION_LINE_FIRST},
        {"PUTS", 0, 325, '&', analysis::MENTION_LISTED | analysis::MENTION_LINE_FIRST},
        {"PUTC", 0, 481, 0, analysis::MENTION_LINE_FIRST},   // an invocation: the listing leaves it out
        {"PUTS", 0, 495, '&', analysis::MENTION_LISTED | analysis::MENTION_LINE_FIRST},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.name) + " at " + std::to_string(r.offset));
        const analysis::Mention* found = nullptr;
        for (std::size_t k = 0; k < record.mentions.list.size(); ++k)
            if (file_of(record.mentions, k) == r.file && record.mentions.list[k].offset() == r.offset) found = &record.mentions.list[k];
        ASSERT_NE(found, nullptr);
        EXPECT_STREQ(found->symbol->name, r.name);
        EXPECT_EQ(found->mark, r.mark);
        EXPECT_EQ(found->flags, r.flags);
    }
    EXPECT_TRUE(record.mentions.broken.empty());
    // Every symbol token, none in comments and strings: 5 in PORTS.INC (read
    // after BLINK.AVL's first 5 lines, none of which has one), 27 in BLINK.AVL.
    std::vector<std::pair<std::size_t, int>> runs;
    for (const analysis::MentionRun& r : record.mentions.files) runs.emplace_back(r.first, r.file);
    EXPECT_EQ(runs, (std::vector<std::pair<std::size_t, int>>{{0, 1}, {5, 0}}));
    EXPECT_EQ(record.mentions.list.size(), 32u);
}

}  // namespace
