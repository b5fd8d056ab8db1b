// Include files followed by the binary: nesting to the limit, exclusions,
// missing and empty includes, and line numbers through the include stack.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

const std::string EOL = "\r\n";

// Page 1 with no title: form feed, header line, empty line.
const std::string PAGE_ONE = test_util::page_header("001");

// One symbol line with name width 8 and number width 4: the name filled to 8,
// then " %4d%c" for each reference.
std::string row(const std::string& name, const std::vector<std::pair<int, char>>& refs) {
    std::string out = name + std::string(8 - name.size(), ' ');
    for (auto [line, mark] : refs) {
        std::string digits = std::to_string(line);
        out += " " + std::string(4 - digits.size(), ' ') + digits + mark;
    }
    return out + EOL;
}

// The console of a run whose sources end normally; messages[i] is what
// source i prints while it is read.
std::string console_of(const std::vector<std::pair<std::string, std::string>>& sources) {
    std::string out = test_util::BANNER_TEXT;
    for (const auto& [path, messages] : sources) out += "\nnow making cross reference  ( " + path + " )\n" + messages + "\n";
    return test_util::console(out);
}

class IncludeE2eTest : public ::testing::Test {
protected:
    void SetUp() override { dir = test_util::make_scratch_dir(); }
    void TearDown() override { test_util::remove_tree(dir); }

    void write(const std::string& name, const std::string& bytes) { test_util::write_file(dir + "/" + name, bytes); }
    std::string listing(const std::string& name) { return test_util::read_file(dir + "/" + name); }

    std::string dir;
};

TEST_F(IncludeE2eTest, SourceIncludingItselfIsReadFiveTimes) {
    // Lines 1 to 5 are the first line at the main level and the four include
    // levels; the fifth INCLUDE is refused. Then the second line of each level,
    // innermost first: lines 6 to 10.
    write("PROG.AVL", "L1\t.INCLUDE\tPROG.AVL\n\tJMP\tL1\n");

    test_util::RunResult r = test_util::run_velxref(dir, {"PROG"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, console_of({{"PROG.AVL", "\nNesting error PROG.AVL\n"}}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing("PROG.VXR"),
              PAGE_ONE +
                  row("L1", {{1, '#'}, {2, '#'}, {3, '#'}, {4, '#'}, {5, '#'}, {6, ' '}, {7, ' '}, {8, ' '}, {9, ' '},
                             {10, ' '}}) +
                  "\x1A");
}

TEST_F(IncludeE2eTest, ExcludedNamesAreSkippedInAnyLetterCase) {
    // REG.INC would define WRONG; only SUB\REG.INC, a different name as
    // written, is opened (as SUB/REG.INC) and read as line 5.
    write("REG.INC", "WRONG\n");
    std::filesystem::create_directory(dir + "/SUB");
    write("SUB/REG.INC", "PORT\t=\t$10\n");
    write("PROG.AVL",
          "\t.INCLUDE\treg.inc\n"
          "\t.INCLUDE\tReg.Inc\n"
          "\t.include\tREG.INC\n"
          "\t.INCLUDE\tSUB\\REG.INC\n"
          "START:\tLDA\tPORT\n");

    test_util::RunResult r = test_util::run_velxref(dir, {"PROG", "-iOTHER.INC,reg.inc"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, console_of({{"PROG.AVL", ""}}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing("PROG.VXR"), PAGE_ONE + row("PORT", {{5, '#'}, {6, ' '}}) + row("START", {{6, '#'}}) + "\x1A");
}

TEST_F(IncludeE2eTest, MissingIncludeIsReportedAndReadingGoesOn) {
    // The failed INCLUDE line counts as line 2; the status stays 1 through a
    // later source that has no error of its own.
    write("PROG.AVL", "FIRST\n\t.INCLUDE\tNONE.INC\n\tLDA\tFIRST\n");
    write("NEXT.AVL", "ONLY\n");

    test_util::RunResult r = test_util::run_velxref(dir, {"PROG", "NEXT"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, console_of({{"PROG.AVL", "\nCan't open include file NONE.INC\n"}, {"NEXT.AVL", ""}}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing("PROG.VXR"), PAGE_ONE + row("FIRST", {{1, '#'}, {3, ' '}}) + "\x1A");
    EXPECT_EQ(listing("NEXT.VXR"), PAGE_ONE + row("ONLY", {{1, '#'}}) + "\x1A");
}

TEST_F(IncludeE2eTest, EmptyIncludeLeavesLineNumbersAlone) {
    write("EMPTY.INC", "");
    write("PROG.AVL", "BEFORE\n\t.INCLUDE\tEMPTY.INC\nAFTER\n");

    test_util::RunResult r = test_util::run_velxref(dir, {"PROG"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, console_of({{"PROG.AVL", ""}}));
    EXPECT_EQ(listing("PROG.VXR"), PAGE_ONE + row("AFTER", {{3, '#'}}) + row("BEFORE", {{1, '#'}}) + "\x1A");
}

TEST_F(IncludeE2eTest, LineNumbersRunThroughNestedIncludes) {
    // Line 1 main, 2 its INCLUDE (the name ends at ";"), 3-4 OUTER.INC up to
    // its INCLUDE, 5 INC/INNER.INC (no final line feed), 6 the rest of
    // OUTER.INC, 7 the rest of the main source.
    write("PROG.AVL",
          "MAIN:\tJSR\tINIT\n"
          "\t.INCLUDE\tOUTER.INC;the first level\n"
          "\tJMP\tMAIN\n");
    write("OUTER.INC",
          "INIT:\tLDA\tCOUNT\n"
          "\t.INCLUDE\tINC\\INNER.INC\n"
          "\tRTS\n");
    std::filesystem::create_directory(dir + "/INC");
    write("INC/INNER.INC", "COUNT\t.EQU\t5");

    test_util::RunResult r = test_util::run_velxref(dir, {"PROG"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, console_of({{"PROG.AVL", ""}}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing("PROG.VXR"), PAGE_ONE + row("COUNT", {{3, ' '}, {5, '#'}}) + row("INIT", {{1, '&'}, {3, '#'}}) +
                                       row("MAIN", {{1, '#'}, {7, ' '}}) + "\x1A");
}

}  // namespace
