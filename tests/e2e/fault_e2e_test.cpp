// Faults met by the built binary: an exhausted heap, a full disk, names that
// are directories or plain files, a listing path that is the source itself,
// and very long paths.  After every run nothing but the listing paths may
// differ in the scratch tree: names, kinds, sizes, modification times and
// contents are compared.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::BANNER_TEXT;

const std::string EOL = "\r\n";
const std::string PAGE_ONE = test_util::page_header("001");

// COUNT defined on line 1 and used on line 2: one row with name width 8 and
// number width 4.
const std::string SMALL_SOURCE = "COUNT\n\tLDA\tCOUNT\n";
const std::string SMALL_LISTING = PAGE_ONE + "COUNT       1#    2 " + EOL + "\x1A";

std::string made(const std::string& shown, const std::string& middle = "") {
    return "\nnow making cross reference  ( " + shown + " )\n" + middle + "\n";
}

std::string making(const std::string& shown) { return "\nnow making cross reference  ( " + shown + " )\n"; }

// Relative path of exactly length characters ending in leaf, through nested
// directories of at most 100 characters each, with sep between the parts.
std::string nested_path(std::size_t length, const std::string& leaf, char sep) {
    std::string path;
    std::size_t room = length - leaf.size();
    for (char letter = 'a'; room > 0; letter = letter == 'z' ? 'a' : static_cast<char>(letter + 1)) {
        std::size_t k = std::min<std::size_t>(100, room - 1);
        if (room - (k + 1) == 1) --k;   // never leave a single character for the next part
        path += std::string(k, letter) + sep;
        room -= k + 1;
    }
    return path + leaf;
}

std::string host(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

// Every entry under the scratch directory, not following links.
using Snapshot = std::map<std::string, std::string>;

class FaultRun : public testing::Test {
protected:
    void SetUp() override { dir = test_util::make_scratch_dir(); }
    void TearDown() override { test_util::remove_tree(dir); }

    std::string at(const std::string& rel) const { return dir + "/" + host(rel); }
    void write(const std::string& rel, const std::string& bytes) {
        fs::create_directories(fs::path(at(rel)).parent_path());
        test_util::write_file(at(rel), bytes);
    }

    Snapshot snapshot() const {
        Snapshot tree;
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
            struct stat st;
            EXPECT_EQ(::lstat(e.path().c_str(), &st), 0);
            std::string rel = fs::relative(e.path(), dir).string();
            std::string mtime = std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
            if (S_ISLNK(st.st_mode))
                tree[rel] = "link " + fs::read_symlink(e.path()).string() + " " + mtime;
            else if (S_ISDIR(st.st_mode))
                tree[rel] = "dir";   // a listing created inside changes its time
            else
                tree[rel] = "file " + std::to_string(st.st_size) + " " + mtime + " " +
                            std::to_string(std::hash<std::string>{}(test_util::read_file(e.path().string())));
        }
        return tree;
    }

    // Runs velxref and checks that, apart from the listing paths given (by
    // their host names), the scratch tree is as it was.
    test_util::RunResult run(const std::vector<std::string>& args, const std::vector<std::string>& listings = {},
                             const test_util::RunOptions& options = {}) {
        Snapshot before = snapshot();
        test_util::RunResult r = test_util::run_velxref(dir, args, options);
        Snapshot after = snapshot();
        for (const std::string& l : listings) {
            before.erase(l);
            after.erase(l);
        }
        EXPECT_TRUE(before == after) << "a file other than the listings was created or changed";
        EXPECT_EQ(r.err, "");
        return r;
    }

    std::string dir;
};

TEST_F(FaultRun, ExhaustedHeapLeavesEmptyListingAfterCompleteOnes) {
    SKIP_ON_WINDOWS("address-space limit");
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory does not run under an address-space limit";
#else
    // Two million names need well over 100 MiB of pooled nodes, names and
    // entries; the program itself starts in less than 8 MiB.
    std::string big;
    big.reserve(18'000'000);
    char name[16];
    for (int i = 0; i < 2'000'000; ++i) {
        std::snprintf(name, sizeof name, "S%07d\n", i);
        big += name;
    }
    write("SMALL.AVL", SMALL_SOURCE);
    write("BIG.AVL", big);

    test_util::RunResult r = run({"SMALL", "BIG"}, {"SMALL.VXR", "BIG.VXR"}, {.address_space_limit = 40L << 20});
    EXPECT_EQ(r.status, 3);
    const std::string head = BANNER_TEXT + made("SMALL.AVL") + making("BIG.AVL");
    const std::string tail = "\a\nOut of heap space.\n";
    ASSERT_GE(r.out.size(), head.size() + tail.size());
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    // Only progress marks between: the heap ran out while names were recorded.
    std::string marks = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
    EXPECT_GE(marks.size(), 100u);
    EXPECT_EQ(marks.find_first_not_of("-*"), std::string::npos);
    EXPECT_EQ(test_util::read_file(at("SMALL.VXR")), SMALL_LISTING);
    EXPECT_EQ(test_util::read_file(at("BIG.VXR")), "");
#endif
}

TEST_F(FaultRun, FullDiskAfterCompleteListing) {
    SKIP_ON_WINDOWS("/dev/full and no file-size limit");
    // 5000 lone labels give 5000 rows of 16 bytes: 80,000 bytes, more than
    // one stream buffer, so the failure shows while the listing is written.
    std::string labels;
    char name[16];
    for (int i = 1; i <= 5000; ++i) {
        std::snprintf(name, sizeof name, "L%05d\n", i);
        labels += name;
    }
    std::string marks;
    for (int i = 1; i <= 50; ++i) marks += i % 5 == 0 ? '*' : '-';
    // The disk is full, or the file may grow no further than 20 KiB: either
    // way a write fails, and the run must say so rather than die of it.
    for (bool size_limit : {false, true}) {
        SCOPED_TRACE(size_limit ? "file-size limit" : "/dev/full");
        test_util::remove_tree(dir);
        fs::create_directory(dir);
        write("A.AVL", SMALL_SOURCE);
        write("B.AVL", labels);
        if (!size_limit) {
            ASSERT_EQ(::symlink("/dev/full", at("B.VXR").c_str()), 0);
        }

        test_util::RunResult r = run({"A", "B"}, {"A.VXR", "B.VXR"}, {.file_size_limit = size_limit ? 20 << 10 : 0});
        EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + made("A.AVL") + making("B.AVL") + marks +
                                            "\a\nOut of disk space.\n"));
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(test_util::read_file(at("A.VXR")), SMALL_LISTING);
    }
}

TEST_F(FaultRun, FullDiskUnderThePage) {
    SKIP_ON_WINDOWS("/dev/full");
    // The listing is complete before the page is written; a page that cannot
    // be written ends the run as a listing would.
    write("A.AVL", SMALL_SOURCE);
    ASSERT_EQ(::symlink("/dev/full", at("A.html").c_str()), 0);
    test_util::RunResult r = run({"--html", "A"}, {"A.VXR", "A.html"});
    EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + making("A.AVL") + "\a\nOut of disk space.\n"));
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(test_util::read_file(at("A.VXR")), SMALL_LISTING);
}

TEST_F(FaultRun, ClosedInputAndOutputStayOutOfTheListing) {
    SKIP_ON_WINDOWS("closed standard streams (its C library keeps descriptors 0 to 2 for them)");
    // Started with descriptors 0 and 1 closed, the source and listing must
    // not take their places: the console text (flushed at every progress
    // mark) would land in the listing.  250 lone labels, five pages.
    std::string labels;
    std::vector<test_util::Symbol> listed;
    char name[16];
    for (int i = 1; i <= 250; ++i) {
        std::snprintf(name, sizeof name, "L%03d", i);
        labels += std::string(name) + "\n";
        listed.push_back({name, {{i, '#'}}});
    }
    write("H.AVL", labels);
    test_util::RunResult r = run({"H"}, {"H.VXR"}, {.close_input_and_output = true});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test_util::read_file(at("H.VXR")), test_util::listing_of(listed, 8, 4));
}

// Names laid out before a run: a file, a directory, or a symbolic or hard
// link to another name.
enum Kind { FILE_, DIR_, LINK_, HARD_ };
struct Entry {
    Kind kind;
    std::string path, content;   // content: bytes, or the target of a link
};
struct NameCase {
    const char* what;
    std::vector<Entry> entries;
    std::vector<std::string> args;
    std::string console;   // after the banner
    int status;
    std::string listing, listed;   // listing path written and its bytes, if any
};

class NameRun : public FaultRun {
protected:
    void check(const NameCase& c) {
        SCOPED_TRACE(c.what);
        test_util::remove_tree(dir);
        fs::create_directory(dir);
        for (const Entry& e : c.entries) {
            if (e.kind == FILE_) write(e.path, e.content);
            if (e.kind == DIR_) fs::create_directories(at(e.path));
            if (e.kind == LINK_) fs::create_symlink(e.content, at(e.path));
            if (e.kind == HARD_) fs::create_hard_link(at(e.content), at(e.path));
        }
        // run() also proves that a source the listing would overwrite keeps
        // its bytes and its modification time.
        test_util::RunResult r = run(c.args, c.listing.empty() ? std::vector<std::string>{} : std::vector{c.listing});
        EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + c.console));
        EXPECT_EQ(r.status, c.status);
        if (!c.listing.empty()) {
            EXPECT_EQ(test_util::read_file(at(c.listing)), c.listed);
        }
    }
};

TEST_F(NameRun, NamesThatCannotBeUsed) {
    const std::string LISTED_HERE = PAGE_ONE + "HERE        2#" + EOL + "\x1A";
    const NameCase cases[] = {
        {"source is a directory after a good source", {{FILE_, "A.AVL", SMALL_SOURCE}, {DIR_, "D.AVL", ""}},
         {"A", "D"}, made("A.AVL") + "\a\nCan't open D.AVL\n", 3, "A.VXR", SMALL_LISTING},
        {"include is a directory", {{FILE_, "P.AVL", "\t.INCLUDE INC\nHERE\n"}, {DIR_, "INC", ""}}, {"P"},
         made("P.AVL", "\nCan't open include file INC\n"), 1, "P.VXR", LISTED_HERE},
        {"-o names a plain file", {{FILE_, "P.AVL", SMALL_SOURCE}, {FILE_, "OUT", "not a directory\n"}},
         {"P", "-oOUT"}, "\a\nCan't create file OUT\\P.VXR\n", 3, "", ""},
        {"listing path is a directory", {{FILE_, "P.AVL", SMALL_SOURCE}, {DIR_, "P.VXR", ""}}, {"P"},
         "\a\nCan't create file P.VXR\n", 3, "", ""},
        {"source named as its own listing", {{FILE_, "P.VXR", SMALL_SOURCE}}, {"P.VXR"},
         "\a\nCan't create file P.VXR\n", 3, "", ""},
        {"own listing through -o", {{FILE_, "P.VXR", SMALL_SOURCE}}, {"P.VXR", "-o."},
         "\a\nCan't create file .\\P.VXR\n", 3, "", ""},
        {"listing is a hard link to the source", {{FILE_, "P.AVL", SMALL_SOURCE}, {HARD_, "P.VXR", "P.AVL"}},
         {"P"}, "\a\nCan't create file P.VXR\n", 3, "", ""},
        {"listing names a later source", {{FILE_, "A.AVL", "AAA: JSR BBB\n"}, {FILE_, "A.VXR", "MYSRC: LDA ZZZ\n"}},
         {"A.AVL", "A.VXR"}, "\a\nCan't create file A.VXR\n", 3, "", ""},
    };
    for (const NameCase& c : cases) check(c);
    // Windows ignores letter case in names: there the listing P.VXR is the source P.vxr.
    if (test_util::testing_windows_build())
        check({"listing differs from the source in letter case only", {{FILE_, "P.vxr", SMALL_SOURCE}}, {"P.vxr"},
               "\a\nCan't create file P.VXR\n", 3, "", ""});
}

TEST_F(NameRun, NamesThroughSymbolicLinks) {
    SKIP_ON_WINDOWS("symbolic links");
    const NameCase cases[] = {
        {"source is a dangling link", {{LINK_, "P.AVL", "GONE.AVL"}}, {"P"}, "\a\nCan't open P.AVL\n", 3, "", ""},
        {"listing is a symbolic link to the source", {{FILE_, "P.AVL", SMALL_SOURCE}, {LINK_, "P.VXR", "P.AVL"}},
         {"P"}, "\a\nCan't create file P.VXR\n", 3, "", ""},
        {"listing names a later source through a link", {{FILE_, "A.AVL", SMALL_SOURCE}, {FILE_, "B.AVL", SMALL_SOURCE},
         {LINK_, "A.VXR", "B.AVL"}}, {"A", "B"}, "\a\nCan't create file A.VXR\n", 3, "", ""},
        {"source is a symbolic link to the listing", {{FILE_, "P.VXR", SMALL_SOURCE}, {LINK_, "P.AVL", "P.VXR"}},
         {"P"}, "\a\nCan't create file P.VXR\n", 3, "", ""},
    };
    for (const NameCase& c : cases) check(c);
}

TEST_F(FaultRun, LongPaths) {
    for (std::size_t length : {300u, 3000u}) {
        SCOPED_TRACE(length);
        // The source deep down, its listing beside it.
        std::string deep = nested_path(length, "PROG.AVL", '\\');
        write(deep, SMALL_SOURCE);
        std::string deep_listing = deep.substr(0, deep.size() - 3) + "VXR";
        test_util::RunResult r = run({deep}, {host(deep_listing)});
        EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + made(deep)));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(test_util::read_file(at(deep_listing)), SMALL_LISTING);

        // A source at the top, its listing in a deep -o directory.
        std::string out_dir = nested_path(length, "OUT", '\\');
        fs::create_directories(at(out_dir));
        write("TOP.AVL", SMALL_SOURCE);
        r = run({"TOP", "-o" + out_dir}, {host(out_dir + "\\TOP.VXR")});
        EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + made("TOP.AVL")));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(test_util::read_file(at(out_dir + "\\TOP.VXR")), SMALL_LISTING);

        // An include name cannot outgrow its line: the line is cut after 254
        // characters, so the name is the first 244 after the tab and keyword.
        std::string inc = nested_path(length, "I.INC", '/');
        write(inc, "HERE\n");
        write("INC.AVL", "\t.INCLUDE " + inc + "\nHERE\n");
        r = run({"INC"}, {"INC.VXR"});
        EXPECT_EQ(r.out, test_util::console(BANNER_TEXT +
                                            made("INC.AVL", "\nCan't open include file " + inc.substr(0, 244) + "\n")));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(test_util::read_file(at("INC.VXR")), PAGE_ONE + "HERE        2#" + EOL + "\x1A");
        test_util::remove_tree(dir);
        fs::create_directory(dir);
    }

    // The longest include name a line can hold opens, with "\" separators.
    std::string inc = nested_path(244, "I.INC", '\\');
    write(inc, "HERE\n");
    write("INC.AVL", "\t.INCLUDE " + inc + "\nHERE\n");
    test_util::RunResult r = run({"INC"}, {"INC.VXR"});
    EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + made("INC.AVL")));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test_util::read_file(at("INC.VXR")), PAGE_ONE + "HERE        2#    3#" + EOL + "\x1A");
}

}  // namespace
