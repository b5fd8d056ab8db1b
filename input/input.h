// Source input: hands out the source one line at a time from the innermost
// open file, cuts over-long lines, counts the lines and writes the progress
// marks, and keeps the include stack with its exclusion list and nesting limit.
// It also keeps the record of a source run: every file it opened or could not
// open, which file each line came from, and, when a caller asks, where each
// line starts in its file and the text of every line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace input {

inline constexpr int LINE_BUFFER_SIZE = 256;   // 254 characters, line feed, terminator
inline constexpr int LINE_PADDING = 16;        // bytes after the line buffer that a scan may load, never use
inline constexpr int MAX_INCLUDE_DEPTH = 4;    // include files open at once
inline constexpr int MAX_EXCLUDES = 16;        // names in the -i list
inline constexpr const char* SOURCE_EXTENSION = ".AVL";   // given to a source name without one

// What open_include did.
inline constexpr int INCLUDE_OPENED = 0;       // the next line is the include's first
inline constexpr int INCLUDE_EXCLUDED = 1;     // the -i list holds it: nothing happened
inline constexpr int INCLUDE_TOO_DEEP = 2;     // reported, status 1
inline constexpr int INCLUDE_NOT_OPENED = 3;   // reported, status 1
inline constexpr int INCLUDE_READ_FAILED = 4;  // opened, failed while read: reported, status 1

// What the record keeps beyond the file table (flags of reset_input).
inline constexpr int KEEP_OFFSETS = 1;   // where lines start in their files, and the dropped bytes (LineOffset)
inline constexpr int KEEP_TEXTS = 2;     // the text of every line, as handed out

// One file as it was read: the main source, or an include each time it is
// opened (an include read twice appears twice).
struct FileRecord {
    std::string name;          // as opened: the source path, or the name written after INCLUDE
    std::int32_t included_on;  // line of the INCLUDE that opened it, 0 for the source
    int name_column;           // column of that name in its line, -1 for the source
    int parent;                // file_records index of the file holding the INCLUDE, -1 for the source
    int depth;                 // 0 for the source, 1..MAX_INCLUDE_DEPTH for includes
    std::int32_t first_line;   // number of its first line handed out, 0 while it has none
    std::int32_t last_line;    // number of its last line handed out, 0 while it has none
    std::int32_t lines;        // lines handed out from it
    bool failed;               // it failed while read (include_failures has it too)
};

// An INCLUDE that was not read, or not to its end.
struct IncludeFailure {
    std::string name;          // as written after INCLUDE
    std::int32_t line;         // line of the INCLUDE
    int column;                // column of the name in that line
    int file;                  // file_records index of the file holding the INCLUDE
    int reason;                // INCLUDE_EXCLUDED..INCLUDE_READ_FAILED
};

// Lines handed out in a row from one file.
struct LineRun {
    std::int32_t first;        // index of its first line (line number - 1)
    std::int32_t first_local;  // that line's place among the lines handed out from its file, from 1
    int file;                  // file_records index
};

// A byte consumed but not handed out inside a line: a carriage return the
// text-mode rule dropped.
struct DroppedByte {
    std::int32_t line;         // index of the line (line number - 1)
    int column;                // column of the character delivered in its place
};

// Where a line starts in its file.  The record keeps it for the line being
// handed out and for every line a caller may still ask about once the run
// is done: a cut line, and a line that named an include (which may fail
// while it is read, long after).  Any other line's is dropped when the next
// line comes, so the record stays a few entries long however long the run.
struct LineOffset {
    std::int32_t line;         // index of the line (line number - 1)
    std::int64_t start;        // offset of its first byte in its file
};

// A place in the kept texts, for walking them in line order.
struct TextCursor {
    std::size_t block = 0;
    std::size_t at = 0;
};

// The current line.  Once next_line has handed it out it always ends with a
// line feed followed by a zero, so a scan that stops at the zero never leaves it.
// LINE_PADDING bytes follow its LINE_BUFFER_SIZE, so that a scan may load up to
// 16 bytes from any character of it at once (the tokenizer does).
inline char line_buffer[LINE_BUFFER_SIZE + LINE_PADDING];
inline int line_length = 0;                        // characters of the line, its line feed included
inline platform::TextStream* input_file = nullptr; // source_file or the innermost include
inline platform::TextStream* include_stack[MAX_INCLUDE_DEPTH];  // level 0 is the outermost include
inline int include_depth = 0;                      // open include files, 0..MAX_INCLUDE_DEPTH
inline bool skipping_long_line = false;            // the rest of an over-long line is being dropped
inline std::int32_t line_number = 1;               // current line of the source and its includes, from 1
inline const char* exclude_names[MAX_EXCLUDES];    // include names never opened, as the -i list gave them
inline int exclude_count = 0;                      // filled slots, 0..MAX_EXCLUDES

// The kept texts of a run: one entry per line, [length][flags][text], in blocks.
struct TextBlock {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t used;          // bytes filled
};

// The record of a source run: what the reader read, a value its owner
// keeps or moves once the run is done.  The line counts of files are
// complete once next_line has reported the end.
struct RunRecord {
    int kept = 0;                                  // KEEP_ flags of the run, as reset_input was given them
    std::vector<FileRecord> file_records;          // every file opened, in opening order; file_records[0] the source
    std::vector<IncludeFailure> include_failures;  // in the order met (a read failure when its file ends)
    std::vector<LineRun> line_runs;                // in line order; every line handed out is in one
    std::int32_t lines_read = 0;                   // lines handed out
    std::vector<LineOffset> line_offsets;          // KEEP_OFFSETS: the lines LineOffset says, in line order
    std::vector<DroppedByte> dropped_bytes;        // KEEP_OFFSETS: in those lines, in line and column order
    std::vector<std::int32_t> cut_lines;           // KEEP_OFFSETS or KEEP_TEXTS: lines cut at 254 characters, by index
    std::vector<TextBlock> text_blocks;            // KEEP_TEXTS: the text of every line, as handed out
};

// The record of the run being read, reset by reset_input and handed over by take_record.
inline RunRecord record;

// Reads one chunk of at most size - 1 characters and terminates it; returns
// the number of characters stored, 0 when the stream was already at its end
// or failed while this chunk was read.  A last line without a line feed gets
// one; it stays in bounds by the promise of platform::read_chars.
int read_text_line(char* buffer, int size, platform::TextStream* stream);
// 1 when a new line is in line_buffer, 0 when the main source is exhausted.
int next_line();
// Adds 1 to line_number (wrapping, never overflowing) once a line is analysed.
void count_line();
// Opens the include file name, written at column of the current line,
// unless the exclusion list holds it; a file that cannot be opened or lies
// too deep is reported and skipped.  Returns what it did,
// INCLUDE_OPENED..INCLUDE_NOT_OPENED; the record notes it either way.
int open_include(const char* name, int column);
// Empties the exclusion list.
void clear_excludes();
// Adds name to the exclusion list; false when the list is already full.
bool add_exclude(const char* name);
// The standard upper-case mapping: only a to z change.
inline char to_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
// Length of the valid UTF-8 sequence at p (n bytes available, n > 0): 1 to
// 4, or 0 when the byte at p starts none (no overlong form, no surrogate,
// nothing past U+10FFFF).  The one rule of valid UTF-8 (utf8.cpp).
std::size_t utf8_length(const unsigned char* p, std::size_t n);
// The code point of the valid sequence of len bytes at p.
char32_t utf8_value(const unsigned char* p, std::size_t len);
// Writes code point c (at most U+10FFFF, no surrogate) as UTF-8 at to;
// returns its length, 1 to 4.
std::size_t put_utf8(char32_t c, char* to);
// The text of the message about an include not read for reason (before its
// name), or nullptr for INCLUDE_EXCLUDED, which has none.
const char* include_message(int reason);
// Where the file name of a path begins: after its last "\", else after its
// last ":" ("/" is no separator here: "dir.v1/prog" has the extension ".v1/prog").
std::size_t file_name_start(const std::string& path);
// Where the extension of a path's file name begins: its last dot, unless
// that dot follows another one or lies before the file name; npos when the
// file name has no extension.
std::size_t extension_dot(const std::string& path);
// The path a source named name is opened by, for the command line and the
// server alike: ".AVL" appended when its file name has no extension.
std::string source_path(const char* name);
// Whether a and b are equal when letters are compared without regard to case.
bool same_name_nocase(const char* a, const char* b);
// Per-source reset: line 1, no include open, no long line pending, source
// (named name) is read, the record holds it alone and keeps what keep
// (KEEP_ flags) asks for beyond the file table.  Streams a failed run left
// open (its includes, its source) are closed first.
void reset_input(platform::TextStream* source, std::string_view name = {}, int keep = 0);
// Closes the source once next_line reported its end; false when it failed
// while read (a read error shows only here).
bool close_source();
// Closes every stream the reader holds (a run that failed); the record stays.
void close_streams();
// Hands the record of the run over once next_line has reported the end (or
// the run failed); the reader's record is then empty.
RunRecord take_record();
// Once a caller is done with what a record keeps per line: returns the room
// of those lists (offsets, dropped bytes, cut lines, kept texts) to the heap.
void release_line_record(RunRecord* run);

// Offset in the file of line index of the character at column of that line
// as handed out (the line feed the reader added maps to where reading of the
// line stopped).  Needs KEEP_OFFSETS, and a line the record keeps (the one
// being handed out, a cut one, one that named an include); -1 for another.
std::int64_t file_offset(const RunRecord& run, std::int32_t index, int column);
// Where the length characters at column of that line stand in the file:
// from *from up to *to (dropped bytes among them count); -1 and 0 for a line
// the record does not keep.
void file_span(const RunRecord& run, std::int32_t index, int column, int length, std::int64_t* from, std::int64_t* to);
// file_records index of the file line index came from.
int file_of_line(const RunRecord& run, std::int32_t index);
// The next kept line from cursor on (a new cursor starts at the first): its
// text without the line feed and whether it was cut; false past the last.
// Needs KEEP_TEXTS.
bool next_kept_text(const RunRecord& run, TextCursor* cursor, std::string_view* text, bool* cut);

}  // namespace input
