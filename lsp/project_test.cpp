// The project: its folder, its project file, the include lines of a source
// and the scan that finds the main sources of a tree.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lsp/lsp.h"
#include "platform/platform.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

class LspProject : public ::testing::Test {
protected:
    void SetUp() override { dir = platform::identity_path(test_util::make_scratch_dir().c_str()); }
    void TearDown() override { test_util::remove_tree(dir); }
    void write(const std::string& name, const std::string& bytes) {
        fs::create_directories(fs::path(dir + "/" + name).parent_path());
        test_util::write_file(dir + "/" + name, bytes);
    }
    std::vector<std::string> mains(const std::vector<std::string>& more = {}, std::size_t limit = lsp::MAX_SCANNED_FILES) {
        std::vector<std::string> found;
        for (const lsp::MainSource& m : lsp::scan_project(dir, more, limit).mains) found.push_back(m.path.substr(dir.size() + 1));
        return found;
    }
    std::string dir;
};

TEST(LspProjectFile, OneArgumentALineAsTheCommandLineTakesThem) {
    lsp::ProjectFile p = lsp::parse_project_file(
        "# the programs\r\nMON\n  src/basic.src  \n-iREG.INC,LIB\\X.INC\n\n-otmp\n--html\n-iA B\n--fast\n-IONLY.INC");
    EXPECT_EQ(p.sources, (std::vector<std::string>{"MON.AVL", "src/basic.src"}));
    EXPECT_TRUE(p.has_excludes);
    EXPECT_EQ(p.excludes, (std::vector<std::string>{"ONLY.INC"}));   // a later -i replaces an earlier one
    EXPECT_EQ(p.problems, (std::vector<std::string>{"line 8: -iA B: \" \" cannot stand in an include name",
                                                    "line 9: --fast: not an argument velxref takes"}));
}

TEST(LspProjectFile, IncludeLinesAsTheClassifierReadsThem) {
    EXPECT_EQ(lsp::include_names("\t.INCLUDE A.INC\n"
                                 "LBL:\t.include sub/B.inc ; the board\n"
                                 "  .Include\tC;comment\r\n"
                                 "; .INCLUDE COMMENTED.INC\n"
                                 "\t.INCLUDED NOT.INC\n"
                                 "\tLDA .INCLUDE\n"
                                 "\t.INCLUDE\n"
                                 "\t.INCLUDE ..\\D.INC"),
              (std::vector<std::string>{"A.INC", "sub/B.inc", "C", "..\\D.INC"}));
}

TEST_F(LspProject, TheFolderIsTheNearestWithAProjectFileElseVersionControl) {
    write("repo/.git/HEAD", "");
    write("repo/prog/inc/X.INC", "");
    EXPECT_EQ(lsp::project_folder(dir + "/repo/prog/inc"), dir + "/repo");
    write("repo/prog/.velxref", "MAIN\n");
    EXPECT_EQ(lsp::project_folder(dir + "/repo/prog/inc"), dir + "/repo/prog");
    write("plain/Y.INC", "");
    EXPECT_EQ(lsp::project_folder(dir + "/plain"), dir + "/plain");
}

TEST_F(LspProject, MainSourcesAreTheSourcesNoOtherReads) {
    write("basic/basic.src", "\t.INCLUDE inc/io.inc\n\t.INCLUDE ed4\n");
    write("basic/inc/io.inc", "\t.INCLUDE inc/deep.inc\n");   // resolved against the main source's folder
    write("basic/inc/deep.inc", "");
    write("basic/ed4.SRC", "");
    fs::create_symlink("ed4.SRC", dir + "/basic/ed4");           // read through a link
    write("mon/mon.asm", "\t.INCLUDE common/../shared.s\n");     // and through ".."
    write("mon/shared.s", "");
    write("boot.A65", "\t.INCLUDE MISSING.INC\n");
    write("notes.txt", "\t.INCLUDE boot.A65\n");               // not a source: reads nothing
    write("ROM.X", "");
    write(".hidden/H.AVL", "");
    EXPECT_EQ(mains(), (std::vector<std::string>{"basic/basic.src", "boot.A65", "mon/mon.asm"}));
    EXPECT_EQ(mains({"x"}), (std::vector<std::string>{"ROM.X", "basic/basic.src", "boot.A65", "mon/mon.asm"}));
    lsp::Scan cut = lsp::scan_project(dir, {}, 2);   // ROM.X and boot.A65, the first at the top
    EXPECT_TRUE(cut.truncated);
    EXPECT_EQ(cut.files, 1u);
}

}  // namespace
