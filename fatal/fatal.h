// Fatal errors and the exit status: every subsystem above may include it;
// its messages go through the console sink.
#pragma once

#include <string>

namespace fatal {

inline constexpr int ERROR_USAGE = 1;         // status 2
inline constexpr int ERROR_OPEN_SOURCE = 2;   // status 3, names the source
inline constexpr int ERROR_CREATE_LISTING = 3;   // status 3, names the listing
inline constexpr int ERROR_DISK_FULL = 4;     // status 3
inline constexpr int ERROR_HEAP = 5;          // status 3
inline constexpr int ERROR_READ_SOURCE = 6;   // status 3, names the source

// The usage lines, as a usage error and --help show them between line feeds.
inline constexpr const char* USAGE_TEXT =
    "Usage: velxref <filename> [-ifilename,..] [-opath]\n"
    "       -i : not include specified files ( use -ifilename,.... )\n"
    "       -o : select drive and directory for output ( use -otmp )";

// The texts of the messages about a file, each followed by its name: the one
// table the console and the language server's diagnostics take them from.
inline constexpr const char* TEXT_OPEN_SOURCE = "Can't open ";
inline constexpr const char* TEXT_CREATE_FILE = "Can't create file ";
inline constexpr const char* TEXT_READ_SOURCE = "Can't read ";
inline constexpr const char* TEXT_NESTING = "Nesting error ";
inline constexpr const char* TEXT_OPEN_INCLUDE = "Can't open include file ";
inline constexpr const char* TEXT_READ_INCLUDE = "Can't read include file ";
inline constexpr const char* TEXT_DISK_FULL = "Out of disk space.";
inline constexpr const char* TEXT_HEAP = "Out of heap space.";

inline int exit_status = 0;   // 0, 1 after an include error, 2 or 3 when fatal

// What report_error throws: caught by driver::run, which returns status as
// the process's exit status, and by the tests, the fuzz targets and any
// caller that goes on after a fatal error.
struct FatalExit {
    int status;         // exit status: 0 (--help, --version), 2 or 3
    int code;           // ERROR_USAGE..ERROR_READ_SOURCE, 0 for --help and --version
    std::string file;   // the file the message names, or empty
};

// Writes the message of code 1..6 through the console sink (the bell first
// on a console), naming the file name for codes 2, 3 and 6, sets the exit
// status and removes every new listing and page.  Throws FatalExit, which
// ends the run, except for code 5: with no memory left to throw with, the
// process ends at once (a collecting sink then keeps nothing).
[[noreturn]] void report_error(int code, const char* name = "");
// Marks the run as failed with status 1 and goes on (an include error).
void note_error();
// Start of a run: status 0.
void reset_status();

}  // namespace fatal
