// Driver: start-up and the banner, the command line, the source and listing
// names, the per-source reset, the run loop, and report_error, the one way a
// fatal condition ends the process.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace driver {

inline constexpr int MAX_SOURCES = 16;    // source names on one command line
inline constexpr int MAX_EXCLUDES = 16;   // names in the -i list

inline constexpr int ERROR_USAGE = 1;         // status 2
inline constexpr int ERROR_OPEN_SOURCE = 2;   // status 3
inline constexpr int ERROR_CREATE_LISTING = 3;
inline constexpr int ERROR_DISK_FULL = 4;
inline constexpr int ERROR_HEAP = 5;

inline const char* source_names[MAX_SOURCES];    // command-line arguments, in order
inline int source_count = 0;                     // filled slots, 0..MAX_SOURCES
inline const char* exclude_names[MAX_EXCLUDES];  // names cut out of the -i argument in place
inline int exclude_count = 0;                    // filled slots, 0..MAX_EXCLUDES
inline bool output_dir_given = false;            // -o was given
inline std::string output_dir;                   // prefix of every listing path
inline int exit_status = 0;                      // 0, 1 after an include error, 2 or 3 when fatal

inline std::string source_path;    // source name, ".AVL" appended when it has no extension
inline std::string source_dir;     // directory part up to its last "\" or ":", or empty
inline std::string base_name;      // file name without directory and extension
inline std::string listing_path;   // output_dir + base_name + ".VXR"
inline platform::TextStream* source_file = nullptr;    // open read stream of the source
inline platform::TextStream* listing_file = nullptr;   // open write stream of the listing

inline std::int32_t line_number = 1;   // current line of the source and its includes, from 1

// Thrown instead of ending the process when fatal errors are made testable.
struct FatalExit {
    int status;
};

// The whole run; returns the exit status.
int run(int argc, char** argv);
// Names, opens, reads, analyses and lists source index, then closes it.
void process_source(int index);
// Initial values, keyword indexes, banner and notice lines.
void start_up();
// Fills the driver state from the command line; every error is fatal.
void parse_options(int argc, char** argv);
// Fills output_dir from the text after "-o".
void set_output_dir(const char* text);
// Derives the names of source index and opens the source and its listing.
void prepare_files(int index);
// The naming steps of prepare_files alone: source_path to listing_path.
void derive_names(const char* name);
// Fills source_dir and base_name from source_path.
void split_source_path();
// Position of the last c in text, or std::string::npos.
std::size_t find_last_char(const std::string& text, char c);
// Resets every subsystem for a new source and names it on the console.
void reset_file_state();
// Adds 1 to line_number (wrapping, never overflowing).
void count_line();
// Bell, message and exit status of code 1..5; ends the process.
[[noreturn]] void report_error(int code);

}  // namespace driver
