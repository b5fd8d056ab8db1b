// Helpers shared by the unit and end-to-end tests: scratch directories and
// whole-file reads and writes.
#pragma once

#include <cstdlib>
#include <string>
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

// Runs the program at binary in directory dir with the given arguments
// (argv[0] is the binary), no standard input, and an optional address-space
// limit in bytes (0 for none).
RunResult run_program(const std::string& binary, const std::string& dir, const std::vector<std::string>& args,
                      long address_space_limit = 0);

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
                             long address_space_limit = 0) {
    std::vector<std::string> command = velxref_command(args);
    return run_program(command[0], dir, std::vector<std::string>(command.begin() + 1, command.end()),
                       address_space_limit);
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
    return "\f" "Vela Family CROSS REFERENCE V.1.00.10" " \t" + title + std::string(30 - title.size(), ' ') + "\tP. " +
           page + "\r\n\r\n";
}

// The banner and notice lines every run begins with.
inline const std::string BANNER_TEXT =
    "Vela Family CROSS REFERENCE V.1.00.10 \n"
    "Cross-reference lister for Vela Family assembly sources.\n"
    "Lists every symbol with the lines that define (#), call (&) or use it.\n";

}  // namespace test_util
