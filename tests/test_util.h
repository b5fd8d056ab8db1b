// Helpers shared by the unit and end-to-end tests: scratch directories and
// whole-file reads and writes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace test_util {

// A fresh empty directory under the system's temporary directory.
std::string make_scratch_dir();
// Removes a directory tree.
void remove_tree(const std::string& path);
// Writes bytes to path, creating or replacing the file.
void write_file(const std::string& path, const std::string& bytes);
// The whole content of path, or "<missing>" when it cannot be read.
std::string read_file(const std::string& path);
// Whether path exists.
bool exists(const std::string& path);

// What a run of the built binary left: its standard output, its standard
// error and its exit status (-1 when it did not exit normally).
struct RunResult {
    std::string out;
    std::string err;
    int status;
};

// Surroundings of a run beyond its directory and arguments.
struct RunOptions {
    long address_space_limit = 0;         // bytes, 0 for none
    long file_size_limit = 0;             // bytes, 0 for none
    bool close_input_and_output = false;  // start with descriptors 0 and 1 closed
    long data_limit = 0;                  // bytes of data segment, 0 for none
    std::string console_path = {};        // standard output appends to this file (made if missing)
    int timeout_seconds = 0;              // killed with its process group after this, 0 for never
};

// Runs the program at binary in directory dir with the given arguments
// (argv[0] is the binary) and no standard input; status -1 when it was
// killed, by a signal or at its timeout.
RunResult run_program(const std::string& binary, const std::string& dir, const std::vector<std::string>& args,
                      const RunOptions& options = {});

// With VELXREF_PAGES naming a directory, every run also asks for pages
// (--html), and a run that wrote any is copied whole into a fresh folder
// there, its pages then removed, so the test sees the files of a run
// without --html.  Only runs that finished (status 0 or 1) with pages of
// at most 16 MiB are kept; tests/page/run.sh checks the pages kept.
// The ".html" files under dir.
std::vector<std::string> html_files(const std::string& dir);
// Keeps and removes the pages of a run, all ".html" files but those of before.
void keep_pages(const std::string& dir, const std::vector<std::string>& args, int status,
                const std::vector<std::string>& before);

// The program under test (end-to-end tests only): the built velxref binary,
// or the one VELXREF_PROGRAM names, started through the command VELXREF_RUNNER
// names when that is set (VELXREF_RUNNER=/usr/lib/wine/wine64 with
// VELXREF_PROGRAM=/abs/path/velxref.exe runs the Windows build under Wine).
#ifdef VELXREF_BINARY
inline std::string velxref_program() {
    const char* program = std::getenv("VELXREF_PROGRAM");
    return program != nullptr && *program != 0 ? program : VELXREF_BINARY;
}
// The argument vector that starts the program under test with args.
inline std::vector<std::string> velxref_command(const std::vector<std::string>& args) {
    std::vector<std::string> command;
    const char* runner = std::getenv("VELXREF_RUNNER");
    if (runner != nullptr && *runner != 0) command.push_back(runner);
    command.push_back(velxref_program());
    command.insert(command.end(), args.begin(), args.end());
    return command;
}
// Whether the program under test is the Windows build.
inline bool testing_windows_build() {
    std::string program = velxref_program();
    return program.size() >= 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
}
inline RunResult run_velxref(const std::string& dir, const std::vector<std::string>& args,
                             const RunOptions& options = {}) {
    const char* pages = std::getenv("VELXREF_PAGES");
    std::vector<std::string> all = args;
    std::vector<std::string> before;
    if (pages != nullptr && *pages != 0) {
        all.insert(all.begin(), "--html");
        before = html_files(dir);
    }
    std::vector<std::string> command = velxref_command(all);
    RunResult r = run_program(command[0], dir, std::vector<std::string>(command.begin() + 1, command.end()), options);
    if (pages != nullptr && *pages != 0) keep_pages(dir, args, r.status, before);
    return r;
}
// Console text as the program under test writes it: the Windows build ends
// console lines with CR LF.
inline std::string console(const std::string& text) {
    if (!testing_windows_build()) return text;
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}
// Ends a test that needs what Windows lacks, naming what that is.
#define SKIP_ON_WINDOWS(what)                                                                 \
    do {                                                                                      \
        if (test_util::testing_windows_build()) GTEST_SKIP() << "Windows has no " << (what); \
    } while (0)
#endif

// A page's opening in a listing: form feed, header line (banner, the title
// filled to 30 columns, "P. " and the page text) and the empty line after it.
inline std::string page_header(const std::string& page, const std::string& title = "") {
    return "\f" "Vela Family CROSS REFERENCE V." VELXREF_VERSION " \t" + title + std::string(30 - title.size(), ' ') + "\tP. " +
           page + "\r\n\r\n";
}

// The same for a page number, shown with three digits.
std::string page_header(int page);

// A symbol as a listing shows it.
struct Symbol {
    std::string name;
    std::vector<std::pair<std::int32_t, char>> refs;   // line and mark, oldest first
};

// The listing of symbols given in name order: names cut to 32 and filled to
// name_width, as many fields of number_width + 2 as fit in 80 columns, a new
// page after every 55th body line, and the name again on a continuation line
// that opens a page.
std::string listing_of(const std::vector<Symbol>& symbols, int name_width, int number_width);

// The banner and notice lines every run begins with.
inline const std::string BANNER_TEXT =
    "Vela Family CROSS REFERENCE V." VELXREF_VERSION " \n"
    "Cross-reference lister for Vela Family assembly sources.\n"
    "Lists every symbol with the lines that define (#), call (&) or use it.\n";

// The bell and the usage message of a usage error.
inline const std::string USAGE_TEXT =
    "\a\nUsage: velxref <filename> [-ifilename,..] [-opath]\n"
    "       -i : not include specified files ( use -ifilename,.... )\n"
    "       -o : select drive and directory for output ( use -otmp )\n";

}  // namespace test_util
