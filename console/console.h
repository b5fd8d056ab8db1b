// Console: the one writer of console text.  Every message (the banner, the
// line that names each source, the progress marks, include messages, fatal
// messages, the usage text and what --help and --version show) goes through
// write_message, which reaches standard output with the bytes it has always
// had (a caller that is not a console, the language server, sends standard
// output to the null device).  The console's silencing, when standard output
// is one of the run's own files, is here too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace console {

// Kinds of message, and how the console shows their text.
inline constexpr int MESSAGE_BANNER = 1;      // as it is: banner and notice lines
inline constexpr int MESSAGE_SOURCE = 2;      // between line feeds: the source a run starts on
inline constexpr int MESSAGE_PROGRESS = 3;    // as it is, shown at once: "-" or "*"
inline constexpr int MESSAGE_SOURCE_END = 4;  // as it is: the line feed after a source's marks
inline constexpr int MESSAGE_INCLUDE = 5;     // between line feeds: an include not read, status 1
inline constexpr int MESSAGE_FATAL = 6;       // a bell, then between line feeds, shown at once
inline constexpr int MESSAGE_ANSWER = 7;      // between line feeds, shown at once: --help, --version

// Writes one message of kind.
void write_message(int kind, std::string_view text);
// Hands what the console holds to standard output.
void flush();
// When standard output is the file name, everything written to
// it from now on goes nowhere, so no byte of that file changes.
void silence_if_file(const char* name);

}  // namespace console
