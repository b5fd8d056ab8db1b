// The source line reader and the include stack.
#include <cstdio>

#include "driver/shared.h"
#include "html/html.h"
#include "input/input.h"
#include "lex/lex.h"

namespace input {

namespace {

platform::TextStream* source_stream = nullptr;   // the main source, read when no include is open

// Closes the innermost include file and goes on in the file that included it.
void leave_include() {
    --include_depth;
    platform::close_stream(include_stack[include_depth]);   // the result does not matter
    include_stack[include_depth] = nullptr;
    input_file = include_depth > 0 ? include_stack[include_depth - 1] : source_stream;
    // An include that ended inside an over-long line must not swallow the
    // including file's next line.
    skipping_long_line = false;
    if (html::page_wanted) html::note_file_closed();
}

void write_progress_mark() {
    if (driver::line_number % 100 != 0) return;
    std::putchar(driver::line_number % 500 == 0 ? '*' : '-');
    std::fflush(stdout);
}

// Characters that end an include file name: white space, ";" and the end.
bool ends_file_name(char c) {
    return c == 0 || c == ';' || c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int read_text_line(char* buffer, int size, platform::TextStream* stream) {
    bool ended = false;
    int n = platform::read_chars(stream, buffer, size - 1, &ended);
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

void open_include() {
    lex::skip_blanks();
    const char* start = scan_position;
    while (!ends_file_name(*scan_position)) ++scan_position;
    std::string name(start, static_cast<std::size_t>(scan_position - start));

    for (int i = 0; i < driver::exclude_count; ++i)
        if (same_name_nocase(name.c_str(), driver::exclude_names[i])) return;

    if (include_depth == MAX_INCLUDE_DEPTH) {
        std::printf("\nNesting error %s\n", name.c_str());
        driver::exit_status = 1;
        if (html::page_wanted) html::note_include_failed(name.data(), name.size(), driver::line_number, true);
        return;
    }
    include_paths[include_depth] = name;
    include_stack[include_depth] = platform::open_read(name.c_str());
    if (include_stack[include_depth] == nullptr) {
        std::printf("\nCan't open include file %s\n", name.c_str());
        driver::exit_status = 1;
        if (html::page_wanted) html::note_include_failed(name.data(), name.size(), driver::line_number, false);
        return;
    }
    input_file = include_stack[include_depth];
    ++include_depth;
    if (html::page_wanted) html::note_file_opened(name.data(), name.size(), driver::line_number);
}

bool same_name_nocase(const char* a, const char* b) {
    for (; *a != 0; ++a, ++b)
        if (lex::to_upper(*a) != lex::to_upper(*b)) return false;
    return *b == 0;
}

void reset_input(platform::TextStream* source) {
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
