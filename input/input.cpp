// The source line reader and the include stack.
#include <cassert>
#include <cstdio>
#include <cstring>

#include "fatal/fatal.h"
#include "input/input.h"

namespace input {

namespace {

platform::TextStream* source_stream = nullptr;   // the main source, read when no include is open
char include_names[MAX_INCLUDE_DEPTH][LINE_BUFFER_SIZE];   // name of the open include at each level, for its messages
bool resume_skipping[MAX_INCLUDE_DEPTH];   // the including file was inside an over-long line when it opened the level

// Closes the innermost include file and goes on in the file that included it.
// An include that failed while it was read, or in its close, is reported like
// one that cannot be opened; the lines read before the failure count.
void leave_include() {
    --include_depth;
    if (!platform::close_stream(include_stack[include_depth])) {
        std::printf("\nCan't read include file %s\n", include_names[include_depth]);
        fatal::note_error();
    }
    include_stack[include_depth] = nullptr;
    input_file = include_depth > 0 ? include_stack[include_depth - 1] : source_stream;
    // An include that ended inside an over-long line must not swallow the
    // including file's next line; the rest of the line that named the
    // include, when that was an over-long one, is still dropped.
    skipping_long_line = resume_skipping[include_depth];
}

void write_progress_mark() {
    if (line_number % 100 != 0) return;
    std::putchar(line_number % 500 == 0 ? '*' : '-');
    std::fflush(stdout);
}

// The standard upper-case mapping: only a to z change.
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

int read_text_line(char* buffer, int size, platform::TextStream* stream) {
    bool ended = false;
    int n = platform::read_chars(stream, buffer, size - 1, &ended);
    // What read_chars promises keeps the line feed and the terminator inside buffer.
    assert(n >= 0 && n <= size - 1 && (!ended || n < size - 1));
    // The piece before a read error may end anywhere: it is not a line.
    if (ended && platform::stream_error(stream)) n = 0;
    if (n == 0 && ended) {
        buffer[0] = 0;
        return 0;
    }
    if (ended) buffer[n++] = '\n';   // a last line without a line feed gets one
    buffer[n] = 0;
    return n;
}

int next_line() {
    for (;;) {
        int n = read_text_line(line_buffer, LINE_BUFFER_SIZE, input_file);
        if (n == 0) {
            if (include_depth == 0) return 0;
            leave_include();
            continue;
        }
        // The line feed is found from the count, never by looking for a
        // terminator, so a NUL byte never changes how lines are cut.
        if (line_buffer[n - 1] == '\n') {
            if (skipping_long_line) {   // the end of an over-long line: dropped
                skipping_long_line = false;
                continue;
            }
        } else {
            line_buffer[n - 1] = '\n';   // start or middle piece of an over-long line
            if (skipping_long_line) continue;
            skipping_long_line = true;
        }
        line_length = n;
        write_progress_mark();
        scan_position = line_buffer;
        return 1;
    }
}

void count_line() { line_number = static_cast<std::int32_t>(static_cast<std::uint32_t>(line_number) + 1u); }

int open_include(const char* name) {
    for (int i = 0; i < exclude_count; ++i)
        if (same_name_nocase(name, exclude_names[i])) return INCLUDE_EXCLUDED;

    if (include_depth == MAX_INCLUDE_DEPTH) {
        std::printf("\nNesting error %s\n", name);
        fatal::note_error();
        return INCLUDE_TOO_DEEP;
    }
    include_stack[include_depth] = platform::open_read(name);
    if (include_stack[include_depth] == nullptr) {
        std::printf("\nCan't open include file %s\n", name);
        fatal::note_error();
        return INCLUDE_NOT_OPENED;
    }
    // An include that is the console must not get console text (which, up
    // to the first progress mark, has not reached it yet).
    if (platform::console_is_file(name)) platform::silence_console();
    // The name comes from one line, so it fits.
    std::size_t length = std::strlen(name);
    assert(length < LINE_BUFFER_SIZE);
    std::memcpy(include_names[include_depth], name, length + 1);
    input_file = include_stack[include_depth];
    // The include's first line is its own, even when its name stood on an
    // over-long line whose rest is still to be dropped.
    resume_skipping[include_depth] = skipping_long_line;
    skipping_long_line = false;
    ++include_depth;
    return INCLUDE_OPENED;
}

bool same_name_nocase(const char* a, const char* b) {
    for (; *a != 0; ++a, ++b)
        if (upper(*a) != upper(*b)) return false;
    return *b == 0;
}

void clear_excludes() { exclude_count = 0; }

bool add_exclude(const char* name) {
    if (exclude_count == MAX_EXCLUDES) return false;
    exclude_names[exclude_count++] = name;
    return true;
}

void reset_input(platform::TextStream* source) {
    line_number = 1;
    skipping_long_line = false;
    include_depth = 0;
    for (platform::TextStream*& entry : include_stack) entry = nullptr;
    source_stream = source;
    input_file = source;
    line_length = 0;
    line_buffer[0] = 0;
    scan_position = line_buffer;
}

}  // namespace input
