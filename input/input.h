// Source input: hands out the source one line at a time from the innermost
// open file, cuts over-long lines, counts the lines and writes the progress
// marks, and keeps the include stack with its exclusion list and nesting limit.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace input {

inline constexpr int LINE_BUFFER_SIZE = 256;   // 254 characters, line feed, terminator
inline constexpr int MAX_INCLUDE_DEPTH = 4;    // include files open at once
inline constexpr int MAX_EXCLUDES = 16;        // names in the -i list

// What open_include did.
inline constexpr int INCLUDE_OPENED = 0;       // the next line is the include's first
inline constexpr int INCLUDE_EXCLUDED = 1;     // the -i list holds it: nothing happened
inline constexpr int INCLUDE_TOO_DEEP = 2;     // reported, status 1
inline constexpr int INCLUDE_NOT_OPENED = 3;   // reported, status 1

// The current line.  Once next_line has handed it out it always ends with a
// line feed followed by a zero, so a scan that stops at the zero never leaves it.
inline char line_buffer[LINE_BUFFER_SIZE];
inline int line_length = 0;                        // characters of the line, its line feed included
inline char* scan_position = line_buffer;          // where the tokenizer goes on
inline platform::TextStream* input_file = nullptr; // source_file or the innermost include
inline platform::TextStream* include_stack[MAX_INCLUDE_DEPTH];  // level 0 is the outermost include
inline int include_depth = 0;                      // open include files, 0..MAX_INCLUDE_DEPTH
inline bool skipping_long_line = false;            // the rest of an over-long line is being dropped
inline std::int32_t line_number = 1;               // current line of the source and its includes, from 1
inline const char* exclude_names[MAX_EXCLUDES];    // include names never opened, as the -i list gave them
inline int exclude_count = 0;                      // filled slots, 0..MAX_EXCLUDES

// Reads one chunk of at most size - 1 characters and terminates it; returns
// the number of characters stored, 0 when the stream was already at its end
// or failed while this chunk was read.  A last line without a line feed gets
// one; it stays in bounds by the promise of platform::read_chars.
int read_text_line(char* buffer, int size, platform::TextStream* stream);
// 1 when a new line is in line_buffer, 0 when the main source is exhausted.
int next_line();
// Adds 1 to line_number (wrapping, never overflowing) once a line is analysed.
void count_line();
// Opens the include file name unless the exclusion list holds it; a file
// that cannot be opened or lies too deep is reported and skipped.  Returns
// what it did, INCLUDE_OPENED..INCLUDE_NOT_OPENED.
int open_include(const char* name);
// Empties the exclusion list.
void clear_excludes();
// Adds name to the exclusion list; false when the list is already full.
bool add_exclude(const char* name);
// Whether a and b are equal when letters are compared without regard to case.
bool same_name_nocase(const char* a, const char* b);
// Per-source reset: line 1, no include open, no long line pending, source is read.
void reset_input(platform::TextStream* source);

}  // namespace input
