// Faults met by the built binary: an exhausted heap, a full disk, names that
// are directories or plain files, a listing path that is the source itself,
// and very long paths.  After every run nothing but the listing paths may
// differ in the scratch tree: names, kinds, sizes, modification times and
// contents are compared.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <random>
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

// The directory part of a host path, or ".".
std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
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
            else if (!S_ISREG(st.st_mode))
                tree[rel] = "special " + mtime;   // a FIFO: reading it would wait
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

TEST_F(FaultRun, ExhaustedHeapLeavesNoListingAfterCompleteOnes) {
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
    EXPECT_FALSE(test_util::exists(at("BIG.VXR")));
#endif
}

TEST_F(FaultRun, EveryDataLimitEndsInOutOfHeapSpace) {
    SKIP_ON_WINDOWS("resource limits");
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory does not run under a data limit";
#else
    // Near the least memory the program starts in, every allocation can be
    // the one that fails, the exception's own included.
    const std::string name = "SMALL_WITH_A_LONG_NAME_XXXXXXXXXXXXXXXX";
    write(name + ".AVL", "X: RTS\n");
    const std::string complete = BANNER_TEXT + made(name + ".AVL");
    const std::string out_of_heap = "\a\nOut of heap space.\n";
    for (long kib = 600; kib <= 900; kib += 10) {
        SCOPED_TRACE(kib);
        test_util::RunResult r = test_util::run_velxref(dir, {name}, {.data_limit = kib << 10});
        // It never started: the loader could not map a library (127, its
        // message on standard error), or the kernel could not map the program
        // once exec had gone too far to fail (killed, silent).
        if (r.out.empty() && (r.status == 127 || (r.status == -1 && r.err.empty()))) continue;
        EXPECT_EQ(r.err, "");
        if (r.status == 0) {
            EXPECT_EQ(r.out, complete);
            EXPECT_EQ(test_util::read_file(at(name + ".VXR")), PAGE_ONE + "X           1#" + EOL + "\x1A");
            ::unlink(at(name + ".VXR").c_str());
            continue;
        }
        EXPECT_EQ(r.status, 3);
        ASSERT_GE(r.out.size(), out_of_heap.size());
        std::size_t shown = r.out.size() - out_of_heap.size();
        EXPECT_EQ(r.out.substr(shown), out_of_heap);
        EXPECT_EQ(r.out.substr(0, shown), complete.substr(0, shown));
        EXPECT_FALSE(test_util::exists(at(name + ".VXR")));
    }
#endif
}

TEST_F(FaultRun, FullDiskAfterCompleteListing) {
    SKIP_ON_WINDOWS("file-size limit");
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
    // The file may grow no further than 20 KiB: a write fails, and the run
    // must say so rather than die of it.  The listing B.VXR had before stays.
    write("A.AVL", SMALL_SOURCE);
    write("B.AVL", labels);
    write("B.VXR", "old listing");
    test_util::RunResult r = run({"A", "B"}, {"A.VXR", "B.VXR"}, {.file_size_limit = 20 << 10});
    EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + made("A.AVL") + making("B.AVL") + marks +
                                        "\a\nOut of disk space.\n"));
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(test_util::read_file(at("A.VXR")), SMALL_LISTING);
    EXPECT_EQ(test_util::read_file(at("B.VXR")), "old listing");
}

// n lone labels L00001 ... and their listing.
std::string lone_labels(int n, std::string* listing) {
    std::string labels;
    std::vector<test_util::Symbol> listed;
    char name[16];
    for (int i = 1; i <= n; ++i) {
        std::snprintf(name, sizeof name, "L%05d", i);
        labels += std::string(name) + "\n";
        listed.push_back({name, {{i, '#'}}});
    }
    *listing = test_util::listing_of(listed, 8, n < 10000 ? 4 : 5);
    return labels;
}

TEST_F(FaultRun, TwoRunsOnOneListing) {
    SKIP_ON_WINDOWS("POSIX shell");
    // Two sources of one base name listed into one folder at once, as make -j
    // does: the listing is one of the two, whole, every time.
    std::string short_listing, long_listing;
    write("D1/P.AVL", lone_labels(5000, &short_listing));
    write("D2/P.AVL", lone_labels(9000, &long_listing));
    fs::create_directory(at("OUT"));
    const std::string both = "\"$0\" 'D1\\P' -oOUT & \"$0\" 'D2\\P' -oOUT & wait";
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        test_util::run_program("/bin/sh", dir, {"-c", both, test_util::velxref_program()}, {.timeout_seconds = 10});
        std::string got = test_util::read_file(at("OUT/P.VXR"));
        EXPECT_TRUE(got == short_listing || got == long_listing) << got.size() << " bytes";
        EXPECT_EQ(std::distance(fs::directory_iterator(at("OUT")), fs::directory_iterator()), 1);
    }
}

TEST_F(FaultRun, InterruptedRunsLeaveTheOldListingOrTheNewOne) {
    SKIP_ON_WINDOWS("POSIX signals");
    // 1000 lines of 120 uses of B: about 800 KB of listing from 250 KB of
    // source, so many interrupts land while the listing is written.
    std::string line = "\t.WORD\tB";
    for (int i = 1; i < 120; ++i) line += ",B";
    std::string source;
    test_util::Symbol b = {"B", {}};
    for (int i = 1; i <= 1000; ++i) {
        source += line + "\n";
        for (int k = 0; k < 120; ++k) b.refs.push_back({i, ' '});
    }
    const std::string listing = test_util::listing_of({b}, 8, 4);
    write("P.AVL", source);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(test_util::run_velxref(dir, {"P"}).status, 0);
    long whole_run = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(test_util::read_file(at("P.VXR")), listing);

    std::mt19937 random(20261209);
    for (int round = 0; round < 50; ++round) {
        long delay = std::uniform_int_distribution<long>(0, whole_run * 3 / 2)(random);
        SCOPED_TRACE(delay);
        write("P.VXR", "old listing");
        char wait[32];
        std::snprintf(wait, sizeof wait, "%ld.%06ld", delay / 1000000, delay % 1000000);
        test_util::run_program("/bin/sh", dir,
                               {"-c", "\"$0\" P & sleep " + std::string(wait) + "; kill -TERM $! 2>/dev/null; wait",
                                test_util::velxref_program()},
                               {.timeout_seconds = 10});
        std::string got = test_util::read_file(at("P.VXR"));
        EXPECT_TRUE(got == "old listing" || got == listing) << got.size() << " bytes";
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);   // P.AVL and P.VXR
    }
}

TEST_F(FaultRun, FullDiskUnderThePage) {
    SKIP_ON_WINDOWS("file-size limit");
    // The listing (under 100 bytes) is complete before the page (its style
    // alone is over 1 KiB) is written; a page that cannot be written ends the
    // run as a listing would, and the listing and page of before both stay.
    write("A.AVL", SMALL_SOURCE);
    write("A.VXR", "OLDLIST");
    write("A.html", "OLDPAGE");
    test_util::RunResult r = run({"--html", "A"}, {}, {.file_size_limit = 1024});
    EXPECT_EQ(r.out, test_util::console(BANNER_TEXT + making("A.AVL") + "\a\nOut of disk space.\n"));
    EXPECT_EQ(r.status, 3);
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

// Names laid out before a run: a file, a directory, a symbolic or hard
// link to another name, or a FIFO.
enum Kind { FILE_, DIR_, LINK_, HARD_, FIFO_ };
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
            if (e.kind == FIFO_) {
                ASSERT_EQ(::mkfifo(at(e.path).c_str(), 0600), 0);
            }
        }
        // run() also proves that a source the listing would overwrite keeps
        // its bytes and its modification time.
        // Nothing may wait for a reader or writer that never comes.
        test_util::RunResult r = run(c.args, c.listing.empty() ? std::vector<std::string>{} : std::vector{c.listing},
                                     {.timeout_seconds = 10});
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
        {"listing is the source's own include", {{FILE_, "P.AVL", "\t.INCLUDE P.VXR\n"}, {FILE_, "P.VXR", "HERE\n"}},
         {"P"}, making("P.AVL") + "\a\nCan't create file P.VXR\n", 3, "", ""},
        {"listing is a hard link to an earlier source's include",
         {{FILE_, "A.AVL", "\t.INCLUDE X.INC\n"}, {FILE_, "X.INC", SMALL_SOURCE}, {FILE_, "B.AVL", "HERE\n"},
          {HARD_, "B.VXR", "X.INC"}},
         {"A", "B"}, made("A.AVL") + making("B.AVL") + "\a\nCan't create file B.VXR\n", 3, "A.VXR",
         PAGE_ONE + "COUNT       2#    3 " + EOL + "\x1A"},
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
        {"listing is a link to a device", {{FILE_, "P.AVL", SMALL_SOURCE}, {LINK_, "P.VXR", "/dev/full"}}, {"P"},
         "\a\nCan't create file P.VXR\n", 3, "", ""},
        {"page is a link to an include", {{FILE_, "P.AVL", "\t.INCLUDE PORTS.INC\n"}, {FILE_, "PORTS.INC", "HERE\n"},
         {LINK_, "P.html", "PORTS.INC"}}, {"--html", "P"}, making("P.AVL") + "\a\nCan't create file P.html\n", 3, "", ""},
    };
    for (const NameCase& c : cases) check(c);
}

TEST_F(FaultRun, ReplacedListingKeepsItsLinkAndPermissions) {
    SKIP_ON_WINDOWS("symbolic links and permission bits");
    // The new listing is renamed into place: through a link it must land at
    // the link's target, and it must take the old listing's permission bits,
    // never its set-user-ID, set-group-ID or sticky bit.  A listing this
    // process may not write stays refused.
    write("P.AVL", SMALL_SOURCE);
    fs::create_directory(at("OUT"));
    write("OUT/P.VXR", "old");
    ASSERT_EQ(::chmod(at("OUT/P.VXR").c_str(), 07640), 0);
    ASSERT_EQ(::symlink("OUT/P.VXR", at("P.VXR").c_str()), 0);
    test_util::RunResult r = run({"P"}, {"OUT/P.VXR"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_symlink(at("P.VXR")));
    EXPECT_EQ(test_util::read_file(at("OUT/P.VXR")), SMALL_LISTING);
    struct stat st;
    ASSERT_EQ(::stat(at("OUT/P.VXR").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    if (::geteuid() == 0) return;   // root may write any file
    ASSERT_EQ(::chmod(at("OUT/P.VXR").c_str(), 0444), 0);
    r = run({"P"});
    EXPECT_EQ(r.out, BANNER_TEXT + "\a\nCan't create file P.VXR\n");
    EXPECT_EQ(r.status, 3);
}

TEST_F(FaultRun, LinksInSharedDirectories) {
    SKIP_ON_WINDOWS("symbolic links");
    if (::geteuid() != 0) GTEST_SKIP() << "only root can plant a link another user owns";
    // In a sticky directory everyone may write, a link is followed only when
    // it belongs to the user or to the directory's owner (65534: nobody).
    ASSERT_EQ(::chmod(dir.c_str(), 01777), 0);
    write("P.AVL", SMALL_SOURCE);
    write("SAFE/T", "precious");
    ASSERT_EQ(::symlink("SAFE/T", at("P.VXR").c_str()), 0);
    ASSERT_EQ(::lchown(at("P.VXR").c_str(), 65534, 65534), 0);
    test_util::RunResult r = run({"P"});
    EXPECT_EQ(r.out, BANNER_TEXT + "\a\nCan't create file P.VXR\n");
    EXPECT_EQ(r.status, 3);

    ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);   // now the link is the directory owner's
    r = run({"P"}, {"SAFE/T"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test_util::read_file(at("SAFE/T")), SMALL_LISTING);
}

TEST_F(FaultRun, EverySignalThatEndsTheRunRemovesItsNewFiles) {
    SKIP_ON_WINDOWS("POSIX signals");
    // The signal comes once the new listing and page exist, long before they
    // are complete (120,000 uses of one name); the run ends by that signal.
    // (SIGINT and SIGQUIT cannot be tried so: a shell starts a job in the
    // background with both ignored, and ignored they stay.)
    std::string line = "\t.WORD\tB";
    for (int i = 1; i < 120; ++i) line += ",B";
    std::string source;
    for (int i = 1; i <= 1000; ++i) source += line + "\n";
    write("P.AVL", source);
    for (int s : {SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGRTMIN + 1, SIGTERM}) {
        SCOPED_TRACE(s);
        const std::string script = "ulimit -c 0; \"$0\" --html P >/dev/null & "
                                   "while :; do set -- .velxref-*; [ -e \"$1\" ] && break; done; "
                                   "kill -" + std::to_string(s) + " $!; wait $!; echo $?";
        // On a loaded machine the run may end before the signal comes: it
        // then wrote its files, which go, and it is tried again.
        test_util::RunResult r;
        for (int attempt = 0; attempt < 5; ++attempt) {
            r = test_util::run_program("/bin/sh", dir, {"-c", script, test_util::velxref_program()}, {.timeout_seconds = 20});
            if (r.out != "0\n") break;
            fs::remove(at("P.VXR"));
            fs::remove(at("P.html"));
        }
        EXPECT_EQ(r.out, std::to_string(128 + s) + "\n");
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);   // P.AVL alone
    }
}

TEST_F(NameRun, NamesThatWouldHangOrFailWhileRead) {
    SKIP_ON_WINDOWS("FIFOs and /proc/self/mem");
    // /proc/self/mem is a regular file whose first read fails: nothing is
    // mapped at address 0.
    const std::string LISTED_HERE = PAGE_ONE + "HERE        2#" + EOL + "\x1A";
    const NameCase cases[] = {
        {"source fails when read, after a good source", {{FILE_, "A.AVL", SMALL_SOURCE}, {LINK_, "X.AVL", "/proc/self/mem"}},
         {"A", "X"}, made("A.AVL") + making("X.AVL") + "\a\nCan't read X.AVL\n", 3, "A.VXR", SMALL_LISTING},
        {"include fails when read", {{FILE_, "P.AVL", "\t.INCLUDE X.INC\nHERE\n"}, {LINK_, "X.INC", "/proc/self/mem"}},
         {"P"}, made("P.AVL", "\nCan't read include file X.INC\n"), 1, "P.VXR", LISTED_HERE},
        {"source is a FIFO", {{FIFO_, "F.AVL", ""}}, {"F"}, "\a\nCan't open F.AVL\n", 3, "", ""},
        {"include is a FIFO", {{FILE_, "P.AVL", "\t.INCLUDE F.INC\nHERE\n"}, {FIFO_, "F.INC", ""}}, {"P"},
         made("P.AVL", "\nCan't open include file F.INC\n"), 1, "P.VXR", LISTED_HERE},
        {"listing is a FIFO", {{FILE_, "P.AVL", SMALL_SOURCE}, {FIFO_, "P.VXR", ""}}, {"P"},
         "\a\nCan't create file P.VXR\n", 3, "", ""},
    };
    for (const NameCase& c : cases) check(c);
}

TEST_F(FaultRun, IncludeOfTheConsolePipe) {
    SKIP_ON_WINDOWS("/dev/stdout");
    // Read, the pipe would wait for the program's own console text.
    write("S.AVL", "\t.INCLUDE /dev/stdout\nHERE\n");
    test_util::RunResult r =
        test_util::run_program("/bin/bash", dir, {"-c", "set -o pipefail; '" + test_util::velxref_program() + "' S | cat"},
                               {.timeout_seconds = 10});
    EXPECT_EQ(r.out, BANNER_TEXT + made("S.AVL", "\nCan't open include file /dev/stdout\n"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(test_util::read_file(at("S.VXR")), PAGE_ONE + "HERE        2#" + EOL + "\x1A");
}

TEST_F(FaultRun, ConsoleOntoAFileOfTheRun) {
    // A source of 1000 lone labels: ten progress marks, each flushing the
    // console, and a listing of 19 pages.
    std::string M_LISTING;
    const std::string labels = lone_labels(1000, &M_LISTING);
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string console;   // the file standard output appends to
    };
    const Case cases[] = {
        {"the listing", {"M"}, "M.VXR"},
        {"the source", {"M"}, "M.AVL"},
        {"an earlier listing", {"A", "M"}, "A.VXR"},
        {"an include file", {"I", "M"}, "I.INC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Wine cannot tell which file a console handle it inherited from
        // POSIX is (GetFileInformationByHandle fails on it).
        if (test_util::testing_windows_build() && c.console.find(".VXR") == std::string::npos) continue;
        test_util::remove_tree(dir);
        fs::create_directory(dir);
        write("A.AVL", SMALL_SOURCE);
        write("M.AVL", labels);
        write("I.AVL", "\t.INCLUDE I.INC\n");
        write("I.INC", SMALL_SOURCE);
        if (c.console.find(".VXR") != std::string::npos) write(c.console, "");   // as the shell's ">" leaves it
        std::vector<std::string> listings = {"M.VXR"};
        if (c.args.size() == 2) listings.push_back(c.args[0] + ".VXR");
        test_util::RunResult r = run(c.args, listings, {.console_path = at(c.console)});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(test_util::read_file(at("M.VXR")), M_LISTING);
        if (c.args[0] == "A") {
            EXPECT_EQ(test_util::read_file(at("A.VXR")), SMALL_LISTING);
        }
    }
}

TEST_F(FaultRun, ListingPathAtTheLimit) {
    SKIP_ON_WINDOWS("4,095-byte path limit (and under Wine the scratch directory's own path would count)");
    // 4,095 bytes, the longest path Linux takes, for the source and its
    // listing, then for a listing in a -o directory: the new file's name is
    // longer than the listing's, and must not count.  The paths are longer
    // than the system takes from the scratch directory's own, so the files are
    // made, read and removed from within it.
    auto shell = [&](const std::string& command) {
        return test_util::run_program("/bin/sh", dir, {"-c", command}).out;
    };
    const std::string source = nested_path(4095, "PROG.AVL", '\\');
    const std::string out_dir = nested_path(4095 - 9, "OUT", '\\');
    shell("mkdir -p '" + host(out_dir) + "' '" + directory_of(host(source)) + "' && printf 'COUNT\\n\\tLDA\\tCOUNT\\n' > '" +
          host(source) + "'");
    const std::string listings[] = {source.substr(0, source.size() - 3) + "VXR", out_dir + "\\PROG.VXR"};
    const std::vector<std::string> runs[] = {{source}, {source, "-o" + out_dir}};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(listings[i].size(), 4095u);
        test_util::RunResult r = test_util::run_velxref(dir, runs[i]);
        EXPECT_EQ(r.out, BANNER_TEXT + made(source));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(shell("cat '" + host(listings[i]) + "'"), SMALL_LISTING);
    }
    shell("rm -rf ./*");
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
