// The source line reader and the include stack.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <iterator>
#include <memory>

#include "console/console.h"
#include "fatal/fatal.h"
#include "input/input.h"

namespace input {

namespace {

platform::TextStream* source_stream = nullptr;   // the main source, read when no include is open
bool resume_skipping[MAX_INCLUDE_DEPTH];   // the including file was inside an over-long line when it opened the level
int open_files[MAX_INCLUDE_DEPTH + 1];     // record.file_records index of the file read at each level, the source at 0
int reading_file = 0;                      // record.file_records index of the file read now
int run_file = -1;                         // record.file_records index of the last line run, -1 when it is closed

// Where read_chars dropped carriage returns in the piece just read (KEEP_OFFSETS).
int piece_dropped_at[LINE_BUFFER_SIZE];
int piece_dropped = 0;
bool offset_wanted = false;   // the last line's entry in record.line_offsets stays when the next line comes

// The last line's offset and dropped bytes go, unless a caller may ask for them.
void forget_unwanted_offset() {
    if (record.line_offsets.empty() || offset_wanted) return;
    std::int32_t line = record.line_offsets.back().line;
    record.line_offsets.pop_back();
    while (!record.dropped_bytes.empty() && record.dropped_bytes.back().line == line) record.dropped_bytes.pop_back();
}

constexpr std::size_t TEXT_BLOCK_SIZE = 1024 * 1024;
constexpr std::size_t MAX_TEXT_RECORD = 2 + LINE_BUFFER_SIZE;
constexpr unsigned char TEXT_CUT = 1;   // the line was cut at 254 characters

void keep_text(const char* text, int length, bool cut) {
    if (record.text_blocks.empty() || TEXT_BLOCK_SIZE - record.text_blocks.back().used < MAX_TEXT_RECORD)
        record.text_blocks.push_back(TextBlock{std::make_unique<unsigned char[]>(TEXT_BLOCK_SIZE), 0});
    TextBlock& b = record.text_blocks.back();
    unsigned char* p = b.bytes.get() + b.used;
    p[0] = static_cast<unsigned char>(length);
    p[1] = cut ? TEXT_CUT : 0;
    std::memcpy(p + 2, text, static_cast<std::size_t>(length));
    b.used += 2 + static_cast<std::size_t>(length);
}

// Notes an INCLUDE of name, at column of line in file, that was not read, or
// not to its end; an include not excluded is reported, status 1.
void report_include(const char* name, std::int32_t line, int column, int file, int reason) {
    record.include_failures.push_back(IncludeFailure{name, line, column, file, reason});
    if (reason == INCLUDE_EXCLUDED) return;
    console::write_message(console::MESSAGE_INCLUDE, include_message(reason) + std::string(name));
    fatal::note_error();
}

// Closes the innermost include file and goes on in the file that included it.
// An include that failed while it was read, or in its close, is reported like
// one that cannot be opened; the lines read before the failure count.
void leave_include() {
    --include_depth;
    if (!platform::close_stream(include_stack[include_depth])) {
        FileRecord& f = record.file_records[static_cast<std::size_t>(open_files[include_depth + 1])];
        f.failed = true;
        report_include(f.name.c_str(), f.included_on, f.name_column, f.parent, INCLUDE_READ_FAILED);
    }
    include_stack[include_depth] = nullptr;
    input_file = include_depth > 0 ? include_stack[include_depth - 1] : source_stream;
    reading_file = open_files[include_depth];
    // An include that ended inside an over-long line must not swallow the
    // including file's next line; the rest of the line that named the
    // include, when that was an over-long one, is still dropped.
    skipping_long_line = resume_skipping[include_depth];
}

// The lines of the last run are counted in its file's record.  The line
// counter stands at the line after the run's last.
void close_run() {
    if (run_file < 0) return;
    FileRecord& f = record.file_records[static_cast<std::size_t>(run_file)];
    f.lines += record.lines_read - record.line_runs.back().first;
    f.last_line = static_cast<std::int32_t>(static_cast<std::uint32_t>(line_number) - 1u);
    run_file = -1;
}

// The line about to be handed out starts a run of lines from reading_file.
void open_run() {
    close_run();
    FileRecord& f = record.file_records[static_cast<std::size_t>(reading_file)];
    if (f.lines == 0) f.first_line = line_number;
    record.line_runs.push_back(LineRun{record.lines_read, f.lines + 1, reading_file});
    run_file = reading_file;
}

// The line just read is handed out: the record notes it.  The files' line
// counts are brought up to date a run at a time.
void note_line(std::uint64_t start, bool cut) {
    if (reading_file != run_file) open_run();
    if (record.kept != 0) {
        if (cut) record.cut_lines.push_back(record.lines_read);
        if ((record.kept & KEEP_OFFSETS) != 0) {
            forget_unwanted_offset();
            record.line_offsets.push_back(LineOffset{record.lines_read, static_cast<std::int64_t>(start)});
            offset_wanted = cut;
            for (int i = 0; i < piece_dropped; ++i) record.dropped_bytes.push_back(DroppedByte{record.lines_read, piece_dropped_at[i]});
        }
        if ((record.kept & KEEP_TEXTS) != 0) keep_text(line_buffer, line_length - 1, cut);
    }
    ++record.lines_read;
}

void write_progress_mark() {
    if (line_number % 100 != 0) return;
    console::write_message(console::MESSAGE_PROGRESS, line_number % 500 == 0 ? "*" : "-");
}

// read_text_line, reporting the carriage returns it dropped when trace is set.
int read_piece(char* buffer, int size, platform::TextStream* stream, bool trace) {
    bool ended = false;
    int n = platform::read_chars(stream, buffer, size - 1, &ended, trace ? piece_dropped_at : nullptr,
                                 trace ? &piece_dropped : nullptr);
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

}  // namespace

int read_text_line(char* buffer, int size, platform::TextStream* stream) { return read_piece(buffer, size, stream, false); }

int next_line() {
    bool trace = (record.kept & KEEP_OFFSETS) != 0;
    for (;;) {
        std::uint64_t start = trace ? platform::read_offset(input_file) : 0;
        int n = read_piece(line_buffer, LINE_BUFFER_SIZE, input_file, trace);
        if (n == 0) {
            if (include_depth == 0) {
                close_run();
                return 0;
            }
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
        note_line(start, skipping_long_line);
        write_progress_mark();
        return 1;
    }
}

void count_line() { line_number = static_cast<std::int32_t>(static_cast<std::uint32_t>(line_number) + 1u); }

int open_include(const char* name, int column) {
    offset_wanted = true;   // whatever becomes of the include, its line may be asked about
    int here = open_files[include_depth];
    for (int i = 0; i < exclude_count; ++i) {
        if (same_name_nocase(name, exclude_names[i])) {
            report_include(name, line_number, column, here, INCLUDE_EXCLUDED);
            return INCLUDE_EXCLUDED;
        }
    }
    if (include_depth == MAX_INCLUDE_DEPTH) {
        report_include(name, line_number, column, here, INCLUDE_TOO_DEEP);
        return INCLUDE_TOO_DEEP;
    }
    include_stack[include_depth] = platform::open_read(name);
    if (include_stack[include_depth] == nullptr) {
        report_include(name, line_number, column, here, INCLUDE_NOT_OPENED);
        return INCLUDE_NOT_OPENED;
    }
    // An include that is the console must not get console text (which, up
    // to the first progress mark, has not reached it yet).
    console::silence_if_file(name);
    record.file_records.push_back(FileRecord{name, line_number, column, here, include_depth + 1, 0, 0, 0, false});
    open_files[include_depth + 1] = static_cast<int>(record.file_records.size() - 1);
    reading_file = open_files[include_depth + 1];
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
        if (to_upper(*a) != to_upper(*b)) return false;
    return *b == 0;
}

const char* include_message(int reason) {
    return reason == INCLUDE_TOO_DEEP      ? fatal::TEXT_NESTING
           : reason == INCLUDE_NOT_OPENED  ? fatal::TEXT_OPEN_INCLUDE
           : reason == INCLUDE_READ_FAILED ? fatal::TEXT_READ_INCLUDE
                                           : nullptr;
}

std::size_t file_name_start(const std::string& path) {
    std::size_t cut = path.rfind('\\');
    if (cut == std::string::npos) cut = path.rfind(':');
    return cut == std::string::npos ? 0 : cut + 1;
}

std::size_t extension_dot(const std::string& path) {
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < file_name_start(path) || (dot > 0 && path[dot - 1] == '.'))
        return std::string::npos;
    return dot;
}

std::string source_path(const char* name) {
    std::string path = name;
    if (extension_dot(path) == std::string::npos) path += SOURCE_EXTENSION;
    return path;
}

void clear_excludes() { exclude_count = 0; }

bool add_exclude(const char* name) {
    if (exclude_count == MAX_EXCLUDES) return false;
    exclude_names[exclude_count++] = name;
    return true;
}

void close_streams() {
    for (platform::TextStream*& entry : include_stack) {
        if (entry != nullptr) platform::close_stream(entry);
        entry = nullptr;
    }
    include_depth = 0;
    close_source();
}

void reset_input(platform::TextStream* source, std::string_view name, int keep) {
    record = RunRecord{};   // nothing of the last run stays, its room included
    record.kept = keep;
    if (source_stream == source) source_stream = nullptr;   // stays open: it is read again
    close_streams();   // what a run that failed left open
    line_number = 1;
    skipping_long_line = false;
    include_depth = 0;
    source_stream = source;
    input_file = source;
    line_length = 0;
    line_buffer[0] = 0;
    record.file_records.push_back(FileRecord{std::string(name), 0, -1, -1, 0, 0, 0, 0, false});
    open_files[0] = 0;
    reading_file = 0;
    run_file = -1;
    offset_wanted = false;
}

bool close_source() {
    bool read = source_stream == nullptr || platform::close_stream(source_stream);
    source_stream = nullptr;
    input_file = nullptr;
    return read;
}

RunRecord take_record() {
    RunRecord taken = std::move(record);
    record = RunRecord{};
    return taken;
}

void release_line_record(RunRecord* run) {
    std::vector<LineOffset>().swap(run->line_offsets);
    std::vector<DroppedByte>().swap(run->dropped_bytes);
    std::vector<std::int32_t>().swap(run->cut_lines);
    std::vector<TextBlock>().swap(run->text_blocks);
}

void file_span(const RunRecord& run, std::int32_t index, int column, int length, std::int64_t* from, std::int64_t* to) {
    assert((run.kept & KEEP_OFFSETS) != 0 && index >= 0 && index < run.lines_read);
    auto first = std::lower_bound(run.dropped_bytes.begin(), run.dropped_bytes.end(), DroppedByte{index, 0},
                                  [](const DroppedByte& a, const DroppedByte& b) {
                                      return a.line < b.line || (a.line == b.line && a.column < b.column);
                                  });
    auto line = std::lower_bound(run.line_offsets.begin(), run.line_offsets.end(), index,
                                 [](const LineOffset& l, std::int32_t i) { return l.line < i; });
    assert(line != run.line_offsets.end() && line->line == index && "a line the record keeps");
    if (line == run.line_offsets.end() || line->line != index) {
        *from = -1;
        *to = 0;
        return;
    }
    // A column's offset: the line's start, the column, and each byte the
    // reader dropped at or before it.
    auto offset_of = [&](int at) {
        std::int64_t offset = line->start + at;
        for (auto d = first; d != run.dropped_bytes.end() && d->line == index && d->column <= at; ++d) ++offset;
        return offset;
    };
    *from = offset_of(column);
    *to = offset_of(column + length - 1) + 1;
}

std::int64_t file_offset(const RunRecord& run, std::int32_t index, int column) {
    std::int64_t from, to;
    file_span(run, index, column, 1, &from, &to);
    return from;
}

int file_of_line(const RunRecord& run, std::int32_t index) {
    auto found = std::upper_bound(run.line_runs.begin(), run.line_runs.end(), index,
                                  [](std::int32_t i, const LineRun& r) { return i < r.first; });
    assert(found != run.line_runs.begin());
    return found == run.line_runs.begin() ? 0 : std::prev(found)->file;
}

bool next_kept_text(const RunRecord& run, TextCursor* cursor, std::string_view* text, bool* cut) {
    while (cursor->block < run.text_blocks.size() && cursor->at >= run.text_blocks[cursor->block].used) {
        ++cursor->block;
        cursor->at = 0;
    }
    if (cursor->block >= run.text_blocks.size()) return false;
    const unsigned char* p = run.text_blocks[cursor->block].bytes.get() + cursor->at;
    *text = std::string_view(reinterpret_cast<const char*>(p + 2), p[0]);
    *cut = (p[1] & TEXT_CUT) != 0;
    cursor->at += 2 + std::size_t{p[0]};
    return true;
}

}  // namespace input
