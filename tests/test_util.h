// Helpers shared by the unit and end-to-end tests: scratch directories and
// whole-file reads and writes.
#pragma once

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

// The built velxref binary (end-to-end tests only).
#ifdef VELXREF_BINARY
inline RunResult run_velxref(const std::string& dir, const std::vector<std::string>& args,
                             long address_space_limit = 0) {
    return run_program(VELXREF_BINARY, dir, args, address_space_limit);
}
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
