// Start-up, the command line and the name derivation.
#include "driver/driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "console/console.h"
#include "fatal/fatal.h"
#include "html/html.h"
#include "input/input.h"
#include "test_util.h"

namespace {

using test_util::USAGE_TEXT;

// Runs start_up (its banner checked and dropped), then parse_options on args.
// The argument texts live in storage, which must outlive the names cut from it.
class OptionsTest : public testing::Test {
protected:
    void SetUp() override {
        driver::source_count = 5;
        input::exclude_count = 5;
        driver::output_dir_given = true;
        fatal::exit_status = 7;
        testing::internal::CaptureStdout();
        driver::start_up();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), test_util::BANNER_TEXT);
        EXPECT_EQ(driver::source_count, 0);
        EXPECT_EQ(input::exclude_count, 0);
        EXPECT_FALSE(driver::output_dir_given);
        EXPECT_EQ(fatal::exit_status, 0);
        driver::output_dir.clear();
    }

    void parse(const std::vector<std::string>& args) {
        storage.assign(1, "velxref");
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : storage) argv.push_back(a.data());
        driver::parse_options(static_cast<int>(argv.size()), argv.data());
    }

    // The console text and status of a parse that must end in a usage error.
    void expect_usage_error(const std::vector<std::string>& args) {
        testing::internal::CaptureStdout();
        int status = -1;
        try {
            parse(args);
        } catch (const fatal::FatalExit& e) {
            status = e.status;
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), USAGE_TEXT);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(fatal::exit_status, 2);
    }

    std::vector<std::string> excludes() const {
        return std::vector<std::string>(input::exclude_names, input::exclude_names + input::exclude_count);
    }

    std::vector<std::string> storage;
};

// "n0,n1,..." with count names.
std::string name_list(int count) {
    std::string list;
    for (int i = 0; i < count; ++i) list += (i > 0 ? ",n" : "n") + std::to_string(i);
    return list;
}

TEST_F(OptionsTest, UsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-"},
        {"-x", "PROG"},
        {"PROG", "-x"},   // a valid name before it does not help
        {"PROG", "-o"},
        {"PROG", "-ifoo-bar"},
        {"PROG", "-ia;b"},
        {"PROG", "-ia b"},
        {"PROG", "-ia/b"},
        {"PROG", "-i\xC4"},
        {"-i"},
        {"-oOUT", "-iREG.INC"},
        {"PROG", "-i" + name_list(17)},
        std::vector<std::string>(17, "PROG"),
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        driver::source_count = 0;
        expect_usage_error(args);
    }
}

TEST_F(OptionsTest, SixteenSourcesInOrderWithOptionsMixedIn) {
    std::vector<std::string> args;
    for (int i = 0; i < 16; ++i) {
        args.push_back("S" + std::to_string(i));
        if (i == 7) args.push_back("-oX");
    }
    parse(args);
    ASSERT_EQ(driver::source_count, 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(driver::source_names[i], "S" + std::to_string(i));
    EXPECT_TRUE(driver::output_dir_given);
    EXPECT_EQ(driver::output_dir, "X\\");
}

TEST_F(OptionsTest, ExclusionLists) {
    using Names = std::vector<std::string>;
    struct Case {
        std::vector<std::string> args;
        Names names;
    };
    Names sixteen;
    for (int i = 0; i < 16; ++i) sixteen.push_back("n" + std::to_string(i));
    const Case cases[] = {
        {{"P", "-i"}, {""}},
        {{"-ia,,b,", "P"}, {"a", "", "b", ""}},
        {{"-iC:\\INC\\REG.INC", "P"}, {"C:\\INC\\REG.INC"}},
        {{"-Ia?_.9:\\z", "P"}, {"a?_.9:\\z"}},
        {{"-ia,b", "P", "-IC"}, {"C"}},   // a later list replaces an earlier one
        {{"-i" + name_list(16), "P"}, sixteen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        driver::source_count = 0;
        parse(c.args);
        EXPECT_EQ(excludes(), c.names);
        EXPECT_EQ(driver::source_count, 1);
    }
}

TEST_F(OptionsTest, LaterOutputDirectoryWins) {
    parse({"-oA", "P", "-OB:"});
    EXPECT_TRUE(driver::output_dir_given);
    EXPECT_EQ(driver::output_dir, "B:");
}

TEST_F(OptionsTest, SetOutputDirAddsBackslashUnlessDriveOrDirectory) {
    const std::pair<const char*, const char*> cases[] = {
        {"tmp", "tmp\\"},       {"D:", "D:"},       {"D:\\OUT\\", "D:\\OUT\\"},
        {"D:\\OUT", "D:\\OUT\\"}, {"OUT/", "OUT/\\"}, {"\\", "\\"},
    };
    for (const auto& [text, dir] : cases) {
        driver::set_output_dir(text);
        EXPECT_EQ(driver::output_dir, dir) << text;
    }
    expect_usage_error({"-o", "P"});
}

TEST(Naming, DerivesSourceAndListingNames) {
    struct Case {
        const char* output;   // -o text, or nullptr
        const char* name;
        const char* source_path;
        const char* source_dir;
        const char* base_name;
        const char* listing_path;
    };
    const Case cases[] = {
        {nullptr, "PROG", "PROG.AVL", "", "PROG", "PROG.VXR"},
        {nullptr, "prog.asm", "prog.asm", "", "prog", "prog.VXR"},
        {nullptr, "C:\\SRC\\PROG", "C:\\SRC\\PROG.AVL", "C:\\SRC\\", "PROG", "C:\\SRC\\PROG.VXR"},
        {nullptr, "A:PROG.S", "A:PROG.S", "A:", "PROG", "A:PROG.VXR"},
        {nullptr, "..\\DIR.X\\PROG", "..\\DIR.X\\PROG.AVL", "..\\DIR.X\\", "PROG", "..\\DIR.X\\PROG.VXR"},
        {nullptr, "PROG.", "PROG.", "", "PROG", "PROG.VXR"},
        {nullptr, "A..B", "A..B.AVL", "", "A..B", "A..B.VXR"},
        {nullptr, "P.Q.R", "P.Q.R", "", "P.Q", "P.Q.VXR"},
        {nullptr, "DIR.X/PROG", "DIR.X/PROG", "", "DIR", "DIR.VXR"},
        {nullptr, "X..", "X...AVL", "", "X..", "X...VXR"},
        {nullptr, ".AVL", ".AVL", "", "", ".VXR"},
        {nullptr, "C:\\.X", "C:\\.X", "C:\\", "", "C:\\.VXR"},
        {nullptr, "A:B\\C", "A:B\\C.AVL", "A:B\\", "C", "A:B\\C.VXR"},
        {nullptr, "D\\E:F", "D\\E:F.AVL", "D\\", "E:F", "D\\E:F.VXR"},   // "\" is looked for first
        {nullptr, "A:B:C.S", "A:B:C.S", "A:B:", "C", "A:B:C.VXR"},
        {"OUT", "C:\\SRC\\PROG", "C:\\SRC\\PROG.AVL", "C:\\SRC\\", "PROG", "OUT\\PROG.VXR"},
        {"D:", "C:\\SRC\\PROG", "C:\\SRC\\PROG.AVL", "C:\\SRC\\", "PROG", "D:PROG.VXR"},
        {"tmp", "PROG", "PROG.AVL", "", "PROG", "tmp\\PROG.VXR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        driver::output_dir_given = c.output != nullptr;
        driver::output_dir = "stale\\";
        if (c.output != nullptr) driver::set_output_dir(c.output);
        driver::derive_names(c.name);
        EXPECT_EQ(driver::source_path, c.source_path);
        EXPECT_EQ(driver::source_dir, c.source_dir);
        EXPECT_EQ(driver::base_name, c.base_name);
        EXPECT_EQ(driver::listing_path, c.listing_path);
    }
    driver::output_dir_given = false;
}

}  // namespace

namespace {

// Open descriptors of the process (POSIX: /proc/self/fd).
int open_descriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// A caller that goes on after fatal errors (the fuzz target, a language
// server) gets the code and file with each FatalExit, and no stream left
// open: a hundred sources whose listing cannot be created (the source, its
// includes read before) and a hundred whose page cannot be (the listing made
// before it).
TEST(RunAgain, FatalErrorsLeaveNoStreamOpen) {
    std::string dir = test_util::make_scratch_dir();
    std::filesystem::path old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    test_util::write_file("A.AVL", "X: LDA Y\n  .INCLUDE NOPE.INC\n");
    std::filesystem::create_directory("A.html");   // a directory: no page can take its name
    static char name[] = "A";
    driver::source_names[0] = name;
    driver::source_count = 1;
    input::clear_excludes();
    int before = open_descriptors();
    for (int i = 0; i < 200; ++i) {
        bool page = i >= 100;
        html::page_wanted = page;
        driver::output_dir_given = !page;
        driver::output_dir = page ? "" : "NODIR\\";
        fatal::FatalExit caught{-1, -1, ""};
        try {
            driver::process_source(0);
        } catch (const fatal::FatalExit& e) {
            caught = e;
        }
        std::string path = page ? "A.html" : "NODIR\\A.VXR";
        EXPECT_EQ(caught.status, 3);
        EXPECT_EQ(caught.code, fatal::ERROR_CREATE_LISTING);
        EXPECT_EQ(caught.file, path);
        EXPECT_EQ(open_descriptors(), before) << "run " << i;
    }
    // The same source read to its end, and its record: the include at its name.
    html::page_wanted = false;
    driver::output_dir_given = false;
    driver::process_source(0);
    analysis::Record record = analysis::analyse_source(platform::open_read("A.AVL"), "A.AVL");
    ASSERT_EQ(record.run.include_failures.size(), 1u);
    const input::IncludeFailure& f = record.run.include_failures[0];
    EXPECT_EQ(f.reason, input::INCLUDE_NOT_OPENED);
    EXPECT_EQ(f.name, "NOPE.INC");
    EXPECT_EQ(f.line, 2);
    EXPECT_EQ(f.column, 11);
    EXPECT_EQ(open_descriptors(), before);
    fatal::exit_status = 0;
    std::filesystem::current_path(old_cwd);
    test_util::remove_tree(dir);
}

}  // namespace
