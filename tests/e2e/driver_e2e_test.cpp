// The built binary in a fresh directory: console text, exit status and every
// file left behind, byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::BANNER_TEXT;

const std::string USAGE =
    "\a\nUsage: velxref <filename> [-ifilename,..] [-opath]\n"
    "       -i : not include specified files ( use -ifilename,.... )\n"
    "       -o : select drive and directory for output ( use -otmp )\n";

// The listing of a source without symbols: one page with its header only.
const std::string EMPTY_LISTING = test_util::page_header("001") + "\x1A";

// What the console shows for one finished source.
std::string made(const std::string& shown, const std::string& middle = "") {
    return "\nnow making cross reference  ( " + shown + " )\n" + middle + "\n";
}

// Directory entries by relative path: a file's bytes, "<dir>", or "<link>"
// and the link's target.
using Tree = std::map<std::string, std::string>;
const std::string DIR = "<dir>", LINK = "<link>";

struct Scenario {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;   // laid out before the run
    std::vector<std::string> args;
    std::string console;   // after the banner
    int status;
    Tree created;          // files the run adds; nothing else may change
};

class DriverRun : public testing::Test {
protected:
    void SetUp() override { dir = test_util::make_scratch_dir(); }
    void TearDown() override { test_util::remove_tree(dir); }

    void lay_out(const std::vector<std::pair<std::string, std::string>>& entries) {
        for (const auto& [path, content] : entries) {
            if (content == DIR)
                fs::create_directories(dir + "/" + path);
            else
                test_util::write_file(dir + "/" + path, content);
        }
    }

    Tree snapshot() const {
        Tree tree;
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
            std::string rel = fs::relative(e.path(), dir).string();
            if (e.is_symlink())
                tree[rel] = LINK + fs::read_symlink(e.path()).string();
            else if (e.is_directory())
                tree[rel] = DIR;
            else
                tree[rel] = test_util::read_file(e.path().string());
        }
        return tree;
    }

    test_util::RunResult run(const std::vector<std::string>& args) {
        test_util::RunResult r = test_util::run_velxref(dir, args);
        EXPECT_EQ(r.err, "");
        return r;
    }

    void check(const Scenario& s) {
        SCOPED_TRACE(s.what);
        test_util::remove_tree(dir);
        fs::create_directory(dir);
        lay_out(s.files);
        Tree expected = snapshot();
        for (const auto& [path, bytes] : s.created) expected[path] = bytes;
        test_util::RunResult r = run(s.args);
        EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + s.console));
        EXPECT_EQ(r.status, s.status);
        EXPECT_EQ(snapshot(), expected);
    }

    std::string dir;
};

const std::string COMMENT = "; nothing to list\r\n";

TEST_F(DriverRun, NamingOfSourcesAndListings) {
    std::string marks_source;
    for (int i = 0; i < 500; ++i) marks_source += ";\n";
    const bool windows = test_util::testing_windows_build();
    const Scenario cases[] = {
        {"default extension", {{"PROG.AVL", COMMENT}}, {"PROG"}, made("PROG.AVL"), 0, {{"PROG.VXR", EMPTY_LISTING}}},
        {"own extension", {{"prog.asm", COMMENT}}, {"prog.asm"}, made("prog.asm"), 0, {{"prog.VXR", EMPTY_LISTING}}},
        // Windows drops a trailing dot from a file name: there PROG. opens PROG.
        {"bare dot", {{windows ? "PROG" : "PROG.", COMMENT}}, {"PROG."}, made("PROG."), 0,
         {{"PROG.VXR", EMPTY_LISTING}}},
        {"two dots", {{"A..B.AVL", ""}}, {"A..B"}, made("A..B.AVL"), 0, {{"A..B.VXR", EMPTY_LISTING}}},
        {"last dot", {{"P.Q.R", ""}}, {"P.Q.R"}, made("P.Q.R"), 0, {{"P.Q.VXR", EMPTY_LISTING}}},
        {"backslash directory", {{"sub", DIR}, {"sub/PROG.AVL", COMMENT}}, {"sub\\PROG"},
         made("sub\\PROG.AVL"), 0, {{"sub/PROG.VXR", EMPTY_LISTING}}},
        {"dot only in the directory", {{"sub.d", DIR}, {"sub.d/PROG.AVL", COMMENT}}, {"sub.d\\PROG"},
         made("sub.d\\PROG.AVL"), 0, {{"sub.d/PROG.VXR", EMPTY_LISTING}}},
        {"slash is no separator", {{"DIR.X", DIR}, {"DIR.X/PROG", COMMENT}}, {"DIR.X/PROG"},
         made("DIR.X/PROG"), 0, {{"DIR.VXR", EMPTY_LISTING}}},
        {"-o directory", {{"tmp", DIR}, {"PROG.AVL", COMMENT}}, {"-otmp", "PROG"},
         made("PROG.AVL"), 0, {{"tmp/PROG.VXR", EMPTY_LISTING}}},
        {"progress marks", {{"LONG.AVL", marks_source}}, {"LONG"},
         made("LONG.AVL", "----*"), 0, {{"LONG.VXR", EMPTY_LISTING}}},
    };
    for (const Scenario& s : cases) check(s);
}

TEST_F(DriverRun, SeveralSources) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a", DIR}, {"a/X.AVL", COMMENT}, {"b", DIR}, {"b/Y.S", COMMENT}, {"Z.AVL", ""}, {"out", DIR}};
    const std::string console = made("a\\X.AVL") + made("b\\Y.S") + made("Z.AVL");
    const Scenario cases[] = {
        {"each listing beside its source", files, {"a\\X", "b\\Y.S", "Z"}, console, 0,
         {{"a/X.VXR", EMPTY_LISTING}, {"b/Y.VXR", EMPTY_LISTING}, {"Z.VXR", EMPTY_LISTING}}},
        {"every listing in the -o directory", files, {"a\\X", "-oout", "b\\Y.S", "Z"}, console, 0,
         {{"out/X.VXR", EMPTY_LISTING}, {"out/Y.VXR", EMPTY_LISTING}, {"out/Z.VXR", EMPTY_LISTING}}},
        {"later source replaces the listing of the same base name",
         {{"a", DIR}, {"a/P.AVL", "LOOP:\tNOP\n"}, {"b", DIR}, {"b/P.AVL", COMMENT}, {"out", DIR}},
         {"-oout", "a\\P", "b\\P"}, made("a\\P.AVL") + made("b\\P.AVL"), 0, {{"out/P.VXR", EMPTY_LISTING}}},
    };
    for (const Scenario& s : cases) check(s);

    // The earlier listing above was not empty to begin with.
    test_util::RunResult r = run({"-oout", "a\\P"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(test_util::read_file(dir + "/out/P.VXR").find("LOOP"), std::string::npos);
}

TEST_F(DriverRun, IncludeFiles) {
    const Scenario cases[] = {
        {"include error in the first of two sources", {{"A.AVL", "\t.INCLUDE MISSING.INC\n"}, {"B.AVL", COMMENT}},
         {"A", "B"}, made("A.AVL", "\nCan't open include file MISSING.INC\n") + made("B.AVL"), 1,
         {{"A.VXR", EMPTY_LISTING}, {"B.VXR", EMPTY_LISTING}}},
        {"include opened relative to the working directory",
         {{"INC", DIR}, {"INC/PORTS.INC", COMMENT}, {"src", DIR}, {"src/A.AVL", "\t.INCLUDE INC\\PORTS.INC\n"}},
         {"src\\A"}, made("src\\A.AVL"), 0, {{"src/A.VXR", EMPTY_LISTING}}},
        {"excluded include", {{"A.AVL", "\t.include reg.inc ; ports\n"}}, {"-iREG.INC", "A"},
         made("A.AVL"), 0, {{"A.VXR", EMPTY_LISTING}}},
    };
    for (const Scenario& s : cases) check(s);
}

TEST_F(DriverRun, FatalFileErrors) {
    const Scenario cases[] = {
        {"missing source", {}, {"PROG"}, "\a\nCan't open PROG.AVL\n", 3, {}},
        {"missing second source", {{"A.AVL", COMMENT}}, {"A", "B"},
         made("A.AVL") + "\a\nCan't open B.AVL\n", 3, {{"A.VXR", EMPTY_LISTING}}},
        {"source is a directory", {{"D.AVL", DIR}}, {"D"}, "\a\nCan't open D.AVL\n", 3, {}},
        {"missing -o directory", {{"PROG.AVL", COMMENT}}, {"PROG", "-onowhere"},
         "\a\nCan't create file nowhere\\PROG.VXR\n", 3, {}},
        {"listing would overwrite its source", {{"P.VXR", COMMENT}}, {"P.VXR"}, "\a\nCan't create file P.VXR\n", 3, {}},
        {"page would overwrite its source", {{"P.html", COMMENT}}, {"--html", "P.html"},
         "\a\nCan't create file P.html\n", 3, {}},
    };
    for (const Scenario& s : cases) check(s);
}

TEST_F(DriverRun, UsageErrorsOpenAndCreateNothing) {
    const std::vector<std::pair<std::string, std::string>> files = {{"PROG.AVL", COMMENT}, {"out", DIR}};
    std::string seventeen = "-iA";
    for (int i = 0; i < 16; ++i) seventeen += ",A";
    const std::vector<std::vector<std::string>> cases = {
        {}, {"PROG", "-"}, {"PROG", "-x"}, {"-q", "PROG"}, {"PROG", "-o"}, {"PROG", "-ifoo-bar"},
        {"-oout", "-iREG.INC"}, {"PROG", seventeen}, std::vector<std::string>(17, "PROG"),
        {"PROG", "--htm"}, {"--HTML", "PROG"}, {"--", "PROG"}, {"PROG", "-x", "--help"},
    };
    for (const auto& args : cases) check({"usage error", files, args, USAGE, 2, {}});
}

TEST_F(DriverRun, HelpAndVersionEndTheRunWithSuccess) {
    const std::vector<std::pair<std::string, std::string>> files = {{"PROG.AVL", COMMENT}};
    const std::string help = USAGE.substr(1) +
                             "       --html : also write NAME.html, the cross reference as a page with links\n"
                             "       --lsp : run as a language server for an editor, on standard input and output\n"
                             "       --help : show this text\n"
                             "       --version : show the version\n";
    const Scenario cases[] = {
        {"help", files, {"--help"}, help, 0, {}},
        {"help before a source", files, {"--help", "PROG"}, help, 0, {}},
        {"help before a bad option", files, {"--help", "-x"}, help, 0, {}},
        {"version", files, {"PROG", "--version"}, "\nvelxref 1.00.10\n", 0, {}},
    };
    for (const Scenario& s : cases) check(s);
}

}  // namespace
