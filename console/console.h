// Console: the one writer of console text.  Every message (the banner, the
// line that names each source, the progress marks, include messages, fatal
// messages, the usage text and what --help and --version show) goes through
// write_message.  In console mode it reaches standard output with the bytes
// it has always had; in collector mode it is kept as a record, for a caller
// that is not a console.  The console's silencing, when standard output is
// one of the run's own files, is here too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace console {

inline constexpr int MODE_CONSOLE = 0;   // standard output
inline constexpr int MODE_COLLECT = 1;   // records in messages; standard output untouched
inline constexpr int MODE_SILENT = 2;    // nothing kept, nothing shown: for a caller that reads the reader's record

// Kinds of message, and how the console shows their text.
inline constexpr int MESSAGE_BANNER = 1;      // as it is: banner and notice lines
inline constexpr int MESSAGE_SOURCE = 2;      // between line feeds: the source a run starts on
inline constexpr int MESSAGE_PROGRESS = 3;    // as it is, shown at once: "-" or "*" (never collected)
inline constexpr int MESSAGE_SOURCE_END = 4;  // as it is: the line feed after a source's marks
inline constexpr int MESSAGE_INCLUDE = 5;     // between line feeds: an include not read, status 1
inline constexpr int MESSAGE_FATAL = 6;       // a bell, then between line feeds, shown at once
inline constexpr int MESSAGE_ANSWER = 7;      // between line feeds, shown at once: --help, --version

struct Message {
    int kind;              // MESSAGE_BANNER..MESSAGE_ANSWER
    std::string file;      // the file the message names, or empty
    std::int32_t line;     // line it is about (an INCLUDE's), 0 when none
    int column;            // column of the file's name in that line, -1 when none
    std::string text;      // the text, without the line feeds the console puts around it
};

inline int mode = MODE_CONSOLE;           // MODE_CONSOLE, MODE_COLLECT or MODE_SILENT
inline std::vector<Message> messages;     // collector mode: every message but the marks, in order

// Writes one message of kind, or keeps it in collector mode.
void write_message(int kind, std::string_view text, std::string_view file = {}, std::int32_t line = 0,
                   int column = -1);
// Hands what the console holds to standard output (console mode).
void flush();
// From now on messages are kept (MODE_COLLECT), shown (MODE_CONSOLE) or
// dropped (MODE_SILENT); the kept ones are dropped.
void set_mode(int new_mode);
// Console mode: when standard output is the file name, everything written to
// it from now on goes nowhere, so no byte of that file changes.
void silence_if_file(const char* name);

}  // namespace console
