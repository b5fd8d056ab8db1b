// Driver: start-up and the banner, the command line, the source and listing
// names, the per-source reset and the run loop.
#pragma once

#include <string>

#include "platform/platform.h"

namespace driver {

inline constexpr int MAX_SOURCES = 16;    // source names on one command line

inline const char* source_names[MAX_SOURCES];    // command-line arguments, in order
inline int source_count = 0;                     // filled slots, 0..MAX_SOURCES
inline bool output_dir_given = false;            // -o was given
inline std::string output_dir;                   // prefix of every listing path

inline std::string source_path;    // source name, ".AVL" appended when it has no extension
inline std::string source_dir;     // directory part up to its last "\" or ":", or empty
inline std::string base_name;      // file name without directory and extension
inline std::string listing_path;   // output_dir + base_name + ".VXR"
inline std::string page_path;      // output_dir + base_name + ".html", written with --html
inline platform::TextStream* source_file = nullptr;    // open read stream of the source
inline platform::TextStream* page_file = nullptr;      // open write stream of the page, with --html

// The whole run; returns the exit status.
int run(int argc, char** argv);
// Names, opens, reads, analyses and lists source index, then closes it.
void process_source(int index);
// Initial values, banner and notice lines.
void start_up();
// Fills the driver state from the command line; every error is fatal.
void parse_options(int argc, char** argv);
// Fills output_dir from the text after "-o".
void set_output_dir(const char* text);
// The naming steps of prepare_files alone: source_path to listing_path.
void derive_names(const char* name);

}  // namespace driver
