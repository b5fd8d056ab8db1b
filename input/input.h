// Source input: hands out the source one line at a time from the innermost
// open file, cuts over-long lines, writes the progress marks, and keeps the
// include stack with its exclusion list and nesting limit.
#pragma once

#include <string>

#include "platform/platform.h"

namespace input {

inline constexpr int LINE_BUFFER_SIZE = 256;   // 254 characters, line feed, terminator
inline constexpr int MAX_INCLUDE_DEPTH = 4;    // include files open at once

// The current line.  Once next_line has handed it out it always ends with a
// line feed followed by a zero, so a scan that stops at the zero never leaves it.
inline char line_buffer[LINE_BUFFER_SIZE];
inline int line_length = 0;                        // characters of the line, its line feed included
inline char* scan_position = line_buffer;          // where the tokenizer goes on
inline platform::TextStream* input_file = nullptr; // source_file or the innermost include
inline platform::TextStream* include_stack[MAX_INCLUDE_DEPTH];  // level 0 is the outermost include
inline int include_depth = 0;                      // open include files, 0..MAX_INCLUDE_DEPTH
inline std::string include_paths[MAX_INCLUDE_DEPTH];  // name last opened at each level
inline bool skipping_long_line = false;            // the rest of an over-long line is being dropped

// Reads one chunk of at most size - 1 characters and terminates it; returns
// the number of characters stored, 0 when the stream was already at its end
// or failed while this chunk was read.
int read_text_line(char* buffer, int size, platform::TextStream* stream);
// 1 when a new line is in line_buffer, 0 when the main source is exhausted.
int next_line();
// Takes an include file name from scan_position on and opens that file.
void open_include();
// Whether a and b are equal when letters are compared without regard to case.
bool same_name_nocase(const char* a, const char* b);
// Per-source reset: no include open, no long line pending, source is read.
void reset_input(platform::TextStream* source);

}  // namespace input
