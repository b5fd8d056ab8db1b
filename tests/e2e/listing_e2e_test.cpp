// Whole listings written by the binary: the shipped example against its
// golden listing, a listing that wraps and paginates, and a full device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "test_util.h"

namespace {

const std::string EOL = "\r\n";

std::string blanks(std::size_t n) { return std::string(n, ' '); }

using test_util::page_header;

// The console of a run over one source that ends normally.
std::string console_of(const std::string& source_path, const std::string& marks = "") {
    return test_util::console(test_util::BANNER_TEXT + "\nnow making cross reference  ( " + source_path + " )\n" +
                              marks + "\n");
}

class ListingE2eTest : public ::testing::Test {
protected:
    void SetUp() override { dir = test_util::make_scratch_dir(); }
    void TearDown() override { test_util::remove_tree(dir); }
    std::string dir;
};

TEST_F(ListingE2eTest, ShippedExampleMatchesGoldenListing) {
    const std::string examples = std::string(VELXREF_SOURCE_DIR) + "/examples/";
    for (const char* name : {"BLINK.AVL", "PORTS.INC"})
        test_util::write_file(dir + "/" + name, test_util::read_file(examples + name));

    test_util::RunResult r = test_util::run_velxref(dir, {"BLINK"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, console_of("BLINK.AVL"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(test_util::read_file(dir + "/BLINK.VXR"),
              test_util::read_file(std::string(VELXREF_SOURCE_DIR) + "/tests/golden/BLINK.VXR"));
}

TEST_F(ListingE2eTest, SymbolOnSevenHundredLinesWrapsAndPaginates) {
    // Line i is a lone label (#), a call (&) or a plain use, by i mod 3.
    std::string source;
    for (int i = 1; i <= 700; ++i) source += i % 3 == 1 ? "TICK\n" : i % 3 == 2 ? "\tJSR\tTICK\n" : "\tLDA\tTICK\n";
    test_util::write_file(dir + "/PROG.AVL", source);

    // Twelve fields a line: 58 full lines and one of four. Page one takes 55
    // lines; the 56th is a continuation at the top of page two, so it opens
    // with the name.
    std::string expected = page_header("001");
    for (int row = 1; row <= 59; ++row) {
        if (row == 56) expected += page_header("002");
        expected += row == 1 || row == 56 ? "TICK    " : blanks(8);
        for (int line = 12 * row - 11; line <= 12 * row && line <= 700; ++line) {
            std::string digits = std::to_string(line);
            expected += " " + blanks(4 - digits.size()) + digits + (line % 3 == 1 ? '#' : line % 3 == 2 ? '&' : ' ');
        }
        expected += EOL;
    }
    expected += '\x1A';

    test_util::RunResult r = test_util::run_velxref(dir, {"PROG"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, console_of("PROG.AVL", "----*--"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(test_util::read_file(dir + "/PROG.VXR"), expected);
}

TEST_F(ListingE2eTest, FullDiskIsOutOfDiskSpace) {
    SKIP_ON_WINDOWS("file-size limit");
    // 99 lines of 120 references each: about 70 KiB of listing, more than
    // one stream buffer, and no progress mark; 99 lone labels make about
    // 1.7 KB.  A file may grow to 1 KiB (more than the console text): the
    // write fails at the end of the small listing and at the first block of
    // the big one.
    std::string wide = "\t.WORD\tB";
    for (int i = 1; i < 120; ++i) wide += ",B";
    std::string large;
    for (int i = 0; i < 99; ++i) large += wide + "\n";

    struct Case {
        const char* label;
        std::string source;
    };
    std::string labels;
    for (int i = 10; i < 109; ++i) labels += "L" + std::to_string(i) + "\n";
    const Case cases[] = {{"small listing", labels}, {"listing over 64 KiB", large}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string case_dir = test_util::make_scratch_dir();
        test_util::write_file(case_dir + "/PROG.AVL", c.source);
        ASSERT_EQ(test_util::run_velxref(case_dir, {"PROG"}).status, 0);
        std::size_t size = test_util::read_file(case_dir + "/PROG.VXR").size();
        EXPECT_EQ(size > 65536, c.source.size() > 1000) << size;
        EXPECT_GT(size, 1024u);
        test_util::RunResult r = test_util::run_velxref(case_dir, {"PROG"}, {.file_size_limit = 1024});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.out, test_util::BANNER_TEXT + "\nnow making cross reference  ( PROG.AVL )\n" +
                             "\a\nOut of disk space.\n");
        EXPECT_EQ(r.err, "");
        test_util::remove_tree(case_dir);
    }
}

}  // namespace

// A console whose reader has gone (standard output a pipe closed at its far
// end) does not stop the run: the listing is still written whole.
TEST_F(ListingE2eTest, ClosedConsolePipeStillWritesTheListing) {
    test_util::write_file(dir + "/PROG.AVL", "LOOP: JSR LOOP\n");
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ends[0]);
        dup2(ends[1], 1);
        if (chdir(dir.c_str()) != 0) _exit(126);
        std::vector<std::string> command = test_util::velxref_command({"PROG"});
        std::vector<char*> argv;
        for (std::string& word : command) argv.push_back(word.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ends[0]);   // nobody reads the console
    close(ends[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(test_util::read_file(dir + "/PROG.VXR"), page_header("001") + "LOOP        1#    1&" + EOL + "\x1A");
}
