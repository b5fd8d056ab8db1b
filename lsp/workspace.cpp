// The workspace: the files the server has met, the editor's texts, the main
// sources and what the last analysis of each found.  An analysis runs the
// reader, the classifier and the symbol table over one main source, reading
// the editor's texts from memory and every other file from the disk, and
// keeps every symbol token of every line handed out, at the editor's
// positions, with the mark the listing gives it.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_set>

#include "analysis/analysis.h"
#include "fatal/fatal.h"
#include "input/input.h"
#include "lex/lex.h"
#include "listing/listing.h"
#include "lsp/lsp.h"
#include "platform/platform.h"
#include "symbols/symbols.h"

namespace lsp {

namespace {

constexpr int CUT_COLUMN = input::LINE_BUFFER_SIZE - 2;   // the first character a cut line loses

// A file one run reads (a file opened twice is one).
struct RunFile {
    std::string path;                  // full path
    int open;                          // index into files of the editor's document, or -1
    std::unique_ptr<std::string> loaded;   // the disk's bytes, when it is not open (where the reader reads them)
    bool readable;                     // open, or read from the disk
    PositionCursor cursor;             // the positions asked for in it, in reading order mostly
};

// What one run keeps while it reads.  Until the run ends no File is made,
// so the editor's texts the reader reads in place never move; occurrences
// and diagnostics name run files until then.
struct Run {
    Analysis* result;
    std::vector<RunFile> files;                   // in the order first met
    std::vector<std::uint32_t> file_of_record;    // per file of the reader's record: index into files
    std::vector<std::uint64_t> name_slots;        // open addressing over the names: hash in the high half,
                                                  // index + 1 in the low, 0 when free
    std::int32_t line = -1;                       // index of the line the last symbol stood on, -1 before the first
    std::uint32_t line_file = 0;                  // and its run file
    std::vector<std::uint32_t> tree_order;        // names of the table in its (byte) order, each once
    std::vector<bool> in_tree;                    // per name: in tree_order
    bool opened;                                  // the main source was opened: the table is this run's
};

Run run;

std::vector<std::string> command_excludes;   // the -i list after --lsp
bool command_excludes_taken = false;
std::vector<std::string> excludes;          // the -i list every analysis reads by
bool excludes_set = false;                  // excludes replaces the command line's


std::string shown_name(const std::string& path) {
    if (!root.empty() && path.size() > root.size() + 1 && path[root.size()] == '/' &&
        platform::same_path(path.substr(0, root.size()), root))
        return path.substr(root.size() + 1);
    return path;
}

// Adds the run file of full path, its bytes read (from the editor's text or
// the disk); returns its index.
std::uint32_t add_run_file(const std::string& path) {
    RunFile f{path, -1, std::make_unique<std::string>(), true, {}};
    for (std::size_t i = 0; i < files.size(); ++i)
        if (files[i].open && platform::same_path(files[i].path, path)) f.open = static_cast<int>(i);
    if (f.open < 0) {
        f.readable = platform::read_file(path.c_str(), f.loaded.get());
        f.loaded->shrink_to_fit();   // read in doubling room: up to twice its size (33.5 MB for 24.5 MB)
    }
    const std::string& text = f.open < 0 ? *f.loaded : files[static_cast<std::size_t>(f.open)].text;
    f.cursor = position_cursor(text);
    run.files.push_back(std::move(f));
    return static_cast<std::uint32_t>(run.files.size() - 1);
}

// The run file of file k of the reader's record.
std::uint32_t run_file(int k) {
    while (run.file_of_record.size() <= static_cast<std::size_t>(k)) {
        std::string path = platform::identity_path(input::file_records[run.file_of_record.size()].name.c_str());
        std::uint32_t found = 0;
        while (found < run.files.size() && !platform::same_path(run.files[found].path, path)) ++found;
        run.file_of_record.push_back(found < run.files.size() ? found : add_run_file(path));
    }
    return run.file_of_record[static_cast<std::size_t>(k)];
}

const std::string& run_text(std::uint32_t id) {
    const RunFile& f = run.files[id];
    return f.open < 0 ? *f.loaded : files[static_cast<std::size_t>(f.open)].text;
}

// The editor's position of offset in run file id.
Position run_position(std::uint32_t id, std::int64_t offset) {
    return position_at(&run.files[id].cursor, run_text(id), offset);
}

// The slot of text, or the free slot where it would go.
std::size_t name_slot(std::string_view text) {
    std::uint64_t hash = std::hash<std::string_view>{}(text);
    std::uint64_t tag = hash & 0xFFFFFFFF00000000ULL;
    std::size_t mask = run.name_slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        std::uint64_t slot = run.name_slots[i];
        if (slot == 0) return i;
        if ((slot & 0xFFFFFFFF00000000ULL) == tag && run.result->names[(slot & 0xFFFFFFFF) - 1] == text) return i;
    }
}

std::uint64_t slot_value(std::string_view text, std::uint32_t id) {
    return (std::hash<std::string_view>{}(text) & 0xFFFFFFFF00000000ULL) | (id + 1u);
}

// The index of the name text, made when new.
std::uint32_t name_id(std::string_view text) {
    Analysis& a = *run.result;
    if (4 * (a.names.size() + 1) > 3 * run.name_slots.size()) {   // at most three quarters full
        run.name_slots.assign(std::max<std::size_t>(1024, 2 * run.name_slots.size()), 0);
        for (std::uint32_t id = 0; id < a.names.size(); ++id) run.name_slots[name_slot(a.names[id])] = slot_value(a.names[id], id);
    }
    std::size_t slot = name_slot(text);
    if (run.name_slots[slot] != 0) return static_cast<std::uint32_t>((run.name_slots[slot] & 0xFFFFFFFF) - 1);
    std::uint32_t id = static_cast<std::uint32_t>(a.names.size());
    a.names.emplace_back(text);
    a.facts.push_back(SymbolFacts{' ', 0, 0, 0});
    a.definition_texts.emplace_back();
    run.name_slots[slot] = slot_value(text, id);
    return id;
}

// The index of the name text, or false when the run has not met it.
bool find_name_id(std::string_view text, std::uint32_t* id) {
    if (run.name_slots.empty()) return false;
    std::uint64_t slot = run.name_slots[name_slot(text)];
    *id = static_cast<std::uint32_t>((slot & 0xFFFFFFFF) - 1);
    return slot != 0;
}

bool is_name_char(char c) { return lex::is_identifier_char(c) || lex::is_decimal_digit(c); }

// Whether the word before at in the line, blanks aside, is word (letter
// case aside) and stands alone.
bool word_before(const char* at, std::string_view word) {
    const char* p = at;
    while (p > input::line_buffer && (p[-1] == ' ' || p[-1] == '\t')) --p;
    const char* end = p;
    while (p > input::line_buffer && is_name_char(p[-1])) --p;
    if (static_cast<std::size_t>(end - p) != word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (lex::to_upper(p[i]) != word[i]) return false;
    return true;
}

// Whether .MACRO stands as a word in the line before at.
bool after_macro(const char* at) {
    static constexpr std::string_view KEY = ".MACRO";
    for (const char* p = input::line_buffer; p + KEY.size() <= at; ++p) {
        std::size_t i = 0;
        while (i < KEY.size() && lex::to_upper(p[i]) == KEY[i]) ++i;
        if (i == KEY.size() && !is_name_char(p[i])) return true;
    }
    return false;
}

// The sink of the classifier: every symbol token of the line being
// analysed becomes an occurrence, with the mark the table stored for it,
// save where the editor knows better: a word glued to a number before it
// (the x00 of 0x00) is part of that number and no occurrence; a name after
// JSR is a call on a line the listing leaves out too; a macro's parameters
// are defined by its .MACRO line.
void take_symbol(const char* text_start, const char* text, int length, char mark) {
    if (text_start > input::line_buffer && lex::is_decimal_digit(text_start[-1])) return;
    bool listed = mark != 0, parameter = false;
    if (mark == 0 && word_before(text_start, "JSR")) mark = '&';
    else if (mark == ' ' && after_macro(text_start)) mark = '#', parameter = true;
    Analysis& a = *run.result;
    std::uint32_t k = static_cast<std::uint32_t>(a.occurrences.size());
    std::int32_t index = input::lines_read - 1;
    std::uint16_t room = static_cast<std::uint16_t>(std::clamp(input::line_length - 1, 0, 254));
    if (!input::cut_lines.empty() && input::cut_lines.back() == index) room |= LINE_CUT;
    if (index != run.line) {
        room |= LINE_FIRST;
        run.line = index;
        run.line_file = run_file(input::file_of_line(index));
        if (a.file_runs.empty() || a.file_runs.back().file != run.line_file) a.file_runs.push_back(FileRun{k, run.line_file});
    }
    int column = static_cast<int>(text_start - input::line_buffer);
    std::int64_t from = input::file_offset(index, column);
    std::int64_t to = input::file_offset(index, column + length - 1) + 1;
    Position start = run_position(run.line_file, from);
    if (start.character >= FAR_CHARACTER) a.far_starts.push_back(FarStart{k, start});
    bool broken = to - from != length;   // a CR the reader dropped stands inside: a lone one, since LF and CR end a symbol
    if (broken) a.broken_ends.push_back(BrokenEnd{k, run_position(run.line_file, to)});
    std::uint32_t id = name_id(std::string_view(text, static_cast<std::size_t>(length)));
    if (mark == '#' && a.definition_texts[id].empty())
        a.definition_texts[id] = line_around(run_text(run.line_file), static_cast<std::size_t>(from));
    a.line_rooms.push_back(room);
    a.occurrences.push_back(Occurrence{id, static_cast<std::uint32_t>(start.line),
                                       static_cast<std::uint16_t>(std::min<std::int32_t>(start.character, FAR_CHARACTER)), mark, broken,
                                       listed, parameter});
}

// Kinds of the table's names, and its names in its (byte) order.
void take_kinds(const symbols::SymbolNode* node) {
    for (; node != nullptr; node = node->greater) {
        take_kinds(node->less);
        std::uint32_t id;
        if (!find_name_id(std::string_view(node->name, node->length), &id)) continue;
        Analysis& a = *run.result;
        a.facts[id].kind = node->kind;
        if (run.in_tree.size() < a.names.size()) run.in_tree.resize(a.names.size());
        if (!run.in_tree[id]) {
            run.in_tree[id] = true;
            run.tree_order.push_back(id);
        }
    }
}

void add_diagnostic(std::uint32_t file, int kind, Range range, int severity, std::string message, bool unnecessary = false) {
    run.result->diagnostics.push_back(Diagnostic{file, kind, range, severity, unnecessary, std::move(message)});
}

// The include messages the console would show, at the names.
void note_include_failures() {
    std::set<std::tuple<std::uint32_t, std::int32_t, std::int32_t, int>> noted;   // file, place and reason
    for (const input::IncludeFailure& f : input::include_failures) {
        const char* text = input::include_message(f.reason);
        if (text == nullptr) continue;
        std::uint32_t file = run_file(f.file);
        std::int32_t index = f.line - 1;
        std::int64_t from = input::file_offset(index, f.column);
        std::int64_t to = input::file_offset(index, f.column + static_cast<int>(f.name.size()) - 1) + 1;
        Range range{run_position(file, from), run_position(file, to)};
        // An include read many times fails the same way each time (a file
        // that includes itself 20 times fails 20^5 times): one diagnostic.
        if (!noted.insert(std::make_tuple(file, range.start.line, range.start.character, f.reason)).second) continue;
        add_diagnostic(file, CLASS_INCLUDE, range, SEVERITY_ERROR, text + f.name);
    }
}

// Every include the reader opened, where its name stands (run files until take_files).
void note_include_reads() {
    for (std::size_t k = 1; k < input::file_records.size(); ++k) {
        const input::FileRecord& f = input::file_records[k];
        if (f.parent < 0) continue;
        std::uint32_t file = run_file(f.parent);
        std::uint32_t target = run_file(static_cast<int>(k));
        std::int32_t index = f.included_on - 1;
        std::int64_t from = input::file_offset(index, f.name_column);
        std::int64_t to = input::file_offset(index, f.name_column + static_cast<int>(f.name.size()) - 1) + 1;
        run.result->includes_read.push_back(IncludeRead{file, Range{run_position(file, from), run_position(file, to)}, target, f.lines});
    }
}

// Lines cut at 254 characters: information at the cut, and the names in
// what the reader dropped, which a rename could not reach.
void note_cut_lines() {
    Analysis& a = *run.result;
    // Each name once, however often it stands there (one 50 MB line held
    // every name as a string of its own: 1.07 GB).  The texts outlive the run.
    std::unordered_set<std::string_view> seen;
    for (std::int32_t index : input::cut_lines) {
        std::uint32_t file = run_file(input::file_of_line(index));
        const std::string& text = run_text(file);
        std::size_t cut = static_cast<std::size_t>(input::file_offset(index, CUT_COLUMN));
        std::size_t end = cut;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r' && text[end] != 0x1A) ++end;
        add_diagnostic(file, CLASS_CUT, Range{run_position(file, cut), run_position(file, end)}, SEVERITY_INFORMATION,
                       "Line longer than 254 characters: the rest is not read");
        for (std::size_t i = cut; i < end;) {
            if (!lex::is_identifier_char(text[i])) {
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j < end && lex::is_name_char(text[j])) ++j;
            seen.insert(std::string_view(text).substr(i, j - i));
            i = j;
        }
    }
    a.names_after_cut.assign(seen.begin(), seen.end());
    std::sort(a.names_after_cut.begin(), a.names_after_cut.end());
}

// Counts, indexes and the diagnostics of names defined but never used and
// used but never defined.
void index_analysis() {
    Analysis& a = *run.result;
    std::size_t names = a.names.size();
    a.symbol_first.assign(names + 1, 0);
    for (const Occurrence& o : a.occurrences) {
        SymbolFacts& f = a.facts[o.symbol];
        if (o.mark == '#') ++f.definitions;
        else if (o.mark == '&') ++f.calls;
        else ++f.uses;
        ++a.symbol_first[o.symbol + 1];
    }
    for (std::size_t i = 0; i < names; ++i) a.symbol_first[i + 1] += a.symbol_first[i];
    a.by_symbol.resize(a.occurrences.size());
    std::vector<std::uint32_t> next(a.symbol_first.begin(), a.symbol_first.end() - 1);
    for (std::uint32_t i = 0; i < a.occurrences.size(); ++i) a.by_symbol[next[a.occurrences[i].symbol]++] = i;

    // The listing's verdict (symbols::usage_from over the occurrences it
    // records), given where the editor's own count agrees: it never warns of
    // a name it sees defined (a macro's parameter) or used (a macro invoked,
    // a JSR on a line the listing leaves out).
    std::vector<std::uint8_t> seen(names, 0);   // bits: 1 listed '#', 2 listed other, 4 the editor's '#', 8 the editor's other
    for (const Occurrence& o : a.occurrences) {
        if (o.listed) seen[o.symbol] |= o.mark == '#' && !o.parameter ? 1 : 2;
        seen[o.symbol] |= o.mark == '#' ? 4 : 8;
    }
    for (std::uint32_t s = 0; s < names; ++s) {
        int usage = symbols::usage_from(seen[s] & 1, seen[s] & 2);
        if (!(seen[s] & 3)) continue;   // the listing records it nowhere
        if (usage == symbols::USAGE_NEVER_DEFINED && (seen[s] & 4)) continue;
        if (usage == symbols::USAGE_NEVER_USED && (seen[s] & 8)) continue;
        for (std::uint32_t slot = a.symbol_first[s]; slot < a.symbol_first[s + 1]; ++slot) {
            std::uint32_t k = a.by_symbol[slot];
            if (!a.occurrences[k].listed) continue;
            if (usage == symbols::USAGE_NEVER_DEFINED)
                add_diagnostic(file_of(a, k), CLASS_UNDEFINED, range_of(a, k), SEVERITY_WARNING, a.names[s] + " is used but never defined");
            else if (usage == symbols::USAGE_NEVER_USED)
                add_diagnostic(file_of(a, k), CLASS_UNUSED, range_of(a, k), SEVERITY_HINT, a.names[s] + " is defined but never used", true);
        }
    }
}

// The file whose identity is path (platform::identity_path), made when new
// with the URI of name.
std::uint32_t file_of_identity(const std::string& path, const std::string& name) {
    for (std::uint32_t i = 0; i < files.size(); ++i)
        if (platform::same_path(files[i].path, path)) return i;
    files.push_back(File{path, uri_of_path(name), shown_name(path), false, std::string(), {}});
    return static_cast<std::uint32_t>(files.size() - 1);
}

// Run files become files, now that the reading is over.
void take_files() {
    Analysis& a = *run.result;
    std::vector<std::uint32_t> ids;
    for (const RunFile& f : run.files) ids.push_back(file_of_identity(f.path, f.path));   // a run file's path is its identity
    for (FileRun& r : a.file_runs) r.file = ids[r.file];
    for (Diagnostic& d : a.diagnostics) d.file = ids[d.file];
    for (IncludeRead& r : a.includes_read) {
        r.file = ids[r.file];
        r.target = ids[r.target];
    }
    a.files_read = ids;
    a.files_read.push_back(a.main_file);
    std::sort(a.files_read.begin(), a.files_read.end());
    a.files_read.erase(std::unique(a.files_read.begin(), a.files_read.end()), a.files_read.end());
}

// The orders the requests search in: places by file, line and character,
// names in byte order, diagnostics by file.
void order_analysis() {
    Analysis& a = *run.result;
    // By file in reading order (counted), then by place within a file: a
    // file read once is in place order already.
    std::vector<std::uint32_t> file_first(files.size() + 1, 0);
    auto run_end = [&a](std::size_t r) {
        return r + 1 < a.file_runs.size() ? a.file_runs[r + 1].first : static_cast<std::uint32_t>(a.occurrences.size());
    };
    for (std::size_t r = 0; r < a.file_runs.size(); ++r) file_first[a.file_runs[r].file + 1] += run_end(r) - a.file_runs[r].first;
    for (std::size_t i = 0; i < files.size(); ++i) file_first[i + 1] += file_first[i];
    a.by_place.resize(a.occurrences.size());
    std::vector<std::uint32_t> next(file_first.begin(), file_first.end() - 1);
    for (std::size_t r = 0; r < a.file_runs.size(); ++r)
        for (std::uint32_t k = a.file_runs[r].first; k < run_end(r); ++k) a.by_place[next[a.file_runs[r].file]++] = k;
    auto before = [&a](std::uint32_t x, std::uint32_t y) {
        const Occurrence& p = a.occurrences[x];
        const Occurrence& q = a.occurrences[y];
        if (p.line != q.line) return p.line < q.line;
        if (p.character != FAR_CHARACTER || q.character != FAR_CHARACTER) return p.character < q.character;
        return range_of(a, x).start.character < range_of(a, y).start.character;
    };
    for (std::size_t f = 0; f < files.size(); ++f) {
        auto from = a.by_place.begin() + file_first[f], to = a.by_place.begin() + file_first[f + 1];
        if (!std::is_sorted(from, to, before)) std::stable_sort(from, to, before);
    }
    // The table's names come in byte order already: only the names it does
    // not hold are sorted and merged in (and all sorted should its order differ).
    auto name_before = [&a](std::uint32_t x, std::uint32_t y) { return a.names[x] < a.names[y]; };
    std::vector<std::uint32_t> rest;
    run.in_tree.resize(a.names.size());
    for (std::uint32_t i = 0; i < a.names.size(); ++i)
        if (!run.in_tree[i]) rest.push_back(i);
    std::sort(rest.begin(), rest.end(), name_before);
    a.sorted_names.resize(a.names.size());
    std::merge(run.tree_order.begin(), run.tree_order.end(), rest.begin(), rest.end(), a.sorted_names.begin(), name_before);
    if (!std::is_sorted(a.sorted_names.begin(), a.sorted_names.end(), name_before))
        std::sort(a.sorted_names.begin(), a.sorted_names.end(), name_before);
    std::stable_sort(a.diagnostics.begin(), a.diagnostics.end(), [](const Diagnostic& x, const Diagnostic& y) {
        return std::make_tuple(x.file, x.range.start.line, x.range.start.character) <
               std::make_tuple(y.file, y.range.start.line, y.range.start.character);
    });
}

// Reads and analyses the main source of run.result: the table holds the
// source and the run its occurrences once it ends.  Returns the start of the
// console's message when the source cannot be opened or failed while read,
// else nullptr.
const char* read_source() {
    const File& main = files[run.result->main_file];
    platform::TextStream* source = platform::open_read(main.path.c_str());
    if (source == nullptr) return fatal::TEXT_OPEN_SOURCE;
    listing::reset_listing();
    analysis::reset_analysis();
    symbols::reset_symbols();
    input::reset_input(source, main.path, input::KEEP_OFFSETS);
    run.opened = true;
    run_file(0);
    while (input::next_line()) {
        analysis::analyse_line_to(take_symbol);
        input::count_line();
    }
    symbols::finish_recording();   // the tree of the names, read by take_kinds
    return input::close_source() ? nullptr : fatal::TEXT_READ_SOURCE;
}

bool reads(const Analysis& a, std::uint32_t file) {
    return std::binary_search(a.files_read.begin(), a.files_read.end(), file);
}

}  // namespace

std::uint32_t file_of(const Analysis& a, std::uint32_t k) {
    auto after = std::upper_bound(a.file_runs.begin(), a.file_runs.end(), k, [](std::uint32_t x, const FileRun& r) { return x < r.first; });
    return std::prev(after)->file;
}

Range range_of(const Analysis& a, std::uint32_t k) {
    const Occurrence& o = a.occurrences[k];
    Position start{static_cast<std::int32_t>(o.line), o.character};
    if (o.character == FAR_CHARACTER)
        start = std::lower_bound(a.far_starts.begin(), a.far_starts.end(), k, [](const FarStart& f, std::uint32_t x) { return f.occurrence < x; })
                    ->start;
    if (!o.broken) return Range{start, Position{start.line, start.character + static_cast<std::int32_t>(a.names[o.symbol].size())}};
    auto e = std::lower_bound(a.broken_ends.begin(), a.broken_ends.end(), k, [](const BrokenEnd& b, std::uint32_t x) { return b.occurrence < x; });
    return Range{start, e->end};
}

bool in_project(std::uint32_t file) {
    std::string base = !project.empty() ? project : !root.empty() ? root : platform::full_path(".");
    const std::string& path = files[file].path;
    return path.size() > base.size() && (base.back() == '/' || path[base.size()] == '/') &&
           platform::same_path(path.substr(0, base.size()), base);
}

std::uint32_t file_of_path(const std::string& name) {
    return file_of_identity(platform::identity_path(name.c_str()), name);   // the one place a file's identity is taken
}

bool file_of_uri(std::string_view uri, std::uint32_t* file, bool make) {
    std::string path = path_of_uri(uri);
    if (path.empty()) return false;
    if (make) {
        *file = file_of_path(path);
        return true;
    }
    std::string identity = platform::identity_path(path.c_str());
    for (std::uint32_t i = 0; i < files.size(); ++i)
        if (platform::same_path(files[i].path, identity)) {
            *file = i;
            return true;
        }
    *file = NO_FILE;
    return true;
}

void analyse(std::size_t index) {
    Analysis& a = analyses[index];
    std::vector<std::uint32_t> read_before = std::move(a.files_read);
    Analysis fresh{};
    fresh.main_file = a.main_file;
    fresh.named = a.named;
    fresh.folder = std::move(a.folder);
    std::swap(a, fresh);
    fresh = Analysis{};   // the old index goes before the new one grows
    run = Run{};
    run.result = &a;
    // A file past the bound is one that cannot be read: however much a file
    // brings in, the analysis ends and the server answers again.
    platform::read_limit = MAX_FILE_LENGTH;
    // The files the last analysis read are read once, here, and the reader
    // reads them from memory like the editor's texts: the positions come
    // from the very bytes the reader saw.
    for (std::uint32_t id : read_before) add_run_file(files[id].path);
    // The table names copies of the paths: a run file moves when more are met.
    std::vector<std::string> paths;
    std::vector<platform::MemoryFile> memory;
    for (const File& f : files) {
        if (!f.open) continue;
        paths.push_back(f.path);
        memory.push_back(platform::MemoryFile{nullptr, f.text.data(), f.text.size()});
    }
    for (const RunFile& f : run.files) {
        if (f.open >= 0 || !f.readable) continue;
        paths.push_back(f.path);
        memory.push_back(platform::MemoryFile{nullptr, f.loaded->data(), f.loaded->size()});
    }
    for (std::size_t i = 0; i < memory.size(); ++i) memory[i].path = paths[i].c_str();
    platform::set_memory_files(memory.data(), static_cast<int>(memory.size()));
    // Include names are resolved against the analysis's folder, by the -i list
    // in force; the folder by its name, so one deleted and made again (a fresh
    // clone into the same folder) is the folder read from now on.
    platform::change_directory(a.folder.empty() ? (root.empty() ? "." : root.c_str()) : a.folder.c_str());
    input::clear_excludes();
    for (const std::string& name : excludes_set ? excludes : command_excludes) input::add_exclude(name.c_str());
    platform::forget_files_read();   // the record of files a listing may not replace: the server writes none
    const char* failure = nullptr;
    bool read_through = false;
    try {
        failure = read_source();
        if (run.opened) {
            take_kinds(symbols::symbol_root);
            note_include_failures();
            note_include_reads();
            note_cut_lines();
            read_through = true;
        }
    } catch (const fatal::FatalExit&) {   // the reader closes what it left open at its next reset
        failure = fatal::TEXT_READ_SOURCE;
    }
    platform::set_memory_files(nullptr, 0);
    platform::read_limit = 0;
    symbols::release_tree();
    input::release_line_record();   // before the index grows
    listing::reset_listing();       // the title a PAGE gave: nothing of the run stays outside its analysis
    if (read_through) index_analysis();
    take_files();
    // A main source that cannot be read: an error on its first line.
    if (failure != nullptr) run.result->diagnostics.push_back(Diagnostic{a.main_file, CLASS_SOURCE, Range{{0, 0}, {0, 0}}, SEVERITY_ERROR, false, failure + files[a.main_file].shown});
    order_analysis();
    run = Run{};
    a.generation = ++analyses_made;   // what outline.cpp made of the analyses before is stale now
}

namespace {

void add_main_source(const std::string& path, const std::string& folder, std::vector<std::uint32_t>* touched) {
    std::uint32_t file = file_of_path(path);
    for (const Analysis& a : analyses)
        if (a.main_file == file && a.named) return;   // named twice, or reached by two names
    analyses.push_back(Analysis{});
    analyses.back().main_file = file;
    analyses.back().named = true;
    analyses.back().folder = folder;
    analyse(analyses.size() - 1);
    touched->insert(touched->end(), analyses.back().files_read.begin(), analyses.back().files_read.end());
}

// Finds the main sources and analyses each.
std::vector<std::uint32_t> open_workspace_sources() {
    std::vector<std::uint32_t> touched;
    for (const Analysis& a : analyses) touched.insert(touched.end(), a.files_read.begin(), a.files_read.end());
    analyses.clear();
    std::string base = root.empty() ? platform::full_path(".") : root;
    project = project_folder(base);
    ProjectFile project_file;
    bool has_project_file = read_project_file(project, &project_file);
    for (const std::string& problem : project_file.problems)
        notices.push_back(std::string(PROJECT_FILE_NAME) + " in " + project + ", " + problem + ": the line is not taken");
    excludes_set = settings.has_excludes || project_file.has_excludes;
    excludes = settings.has_excludes ? settings.excludes : project_file.excludes;
    if (excludes.size() > static_cast<std::size_t>(input::MAX_EXCLUDES)) {
        notices.push_back("The exclude list holds more than " + std::to_string(input::MAX_EXCLUDES) +
                          " names: only the first " + std::to_string(input::MAX_EXCLUDES) + " are taken");
        excludes.resize(input::MAX_EXCLUDES);
    }
    const std::vector<std::string>* named = settings.has_sources         ? &settings.sources
                                            : !command_sources.empty()   ? &command_sources
                                            : nullptr;
    if (named != nullptr) {
        platform::change_directory(base.c_str());
        for (const std::string& name : *named)
            add_main_source(platform::full_path(input::source_path(name.c_str()).c_str()), base, &touched);
    } else if (has_project_file && !project_file.sources.empty()) {
        platform::change_directory(project.c_str());
        for (const std::string& name : project_file.sources) add_main_source(platform::full_path(name.c_str()), project, &touched);
    } else {
        Scan scan = scan_project(project, settings.extensions);
        if (scan.truncated)
            notices.push_back("More than " + std::to_string(MAX_SCANNED_FILES) + " files under " + project + ": only the first " +
                              std::to_string(MAX_SCANNED_FILES) + " were looked through for main sources; name them in " +
                              PROJECT_FILE_NAME);
        for (const MainSource& m : scan.mains) add_main_source(m.path, m.folder, &touched);
    }
    // The documents the editor holds that no main source reads, each on its own.
    for (std::uint32_t f = 0; f < files.size(); ++f)
        if (files[f].open) {
            std::vector<std::uint32_t> t = file_changed(f);
            touched.insert(touched.end(), t.begin(), t.end());
        }
    return touched;
}

}  // namespace

std::vector<std::uint32_t> open_workspace(const std::string& root_path) {
    root = root_path.empty() ? std::string() : platform::identity_path(root_path.c_str());
    if (!command_excludes_taken) {
        for (int i = 0; i < input::exclude_count; ++i) command_excludes.emplace_back(input::exclude_names[i]);
        command_excludes_taken = true;
    }
    return open_workspace_sources();
}

std::vector<std::uint32_t> reopen_workspace() {
    if (project.empty()) return {};   // before initialized: open_workspace takes the settings
    return open_workspace_sources();
}

std::vector<std::uint32_t> file_changed(std::uint32_t file) {
    std::vector<std::uint32_t> touched;
    for (std::size_t i = 0; i < analyses.size(); ++i) {
        if (!reads(analyses[i], file) && analyses[i].main_file != file) continue;
        touched.insert(touched.end(), analyses[i].files_read.begin(), analyses[i].files_read.end());
        analyse(i);
        touched.insert(touched.end(), analyses[i].files_read.begin(), analyses[i].files_read.end());
    }
    // A document of its own: analysed alone while open and read by no named source.
    // (Once per change, not once per pair of analyses: with 3,000 documents
    // open on their own, every keystroke took 15 ms.)
    std::vector<bool> read_by_named_source(files.size());
    for (const Analysis& a : analyses)
        if (a.named)
            for (std::uint32_t f : a.files_read) read_by_named_source[f] = true;
    bool read_by_named = read_by_named_source[file];
    for (std::size_t i = 0; i < analyses.size(); ++i) {
        const Analysis& a = analyses[i];
        bool lone_needed = files[a.main_file].open && !a.named && !read_by_named_source[a.main_file];
        if (a.named || lone_needed) continue;
        touched.insert(touched.end(), a.files_read.begin(), a.files_read.end());
        analyses.erase(analyses.begin() + static_cast<std::ptrdiff_t>(i--));
    }
    bool has_own = false;
    for (const Analysis& a : analyses) has_own = has_own || a.main_file == file;
    if (files[file].open && !read_by_named && !has_own) {
        analyses.push_back(Analysis{});
        analyses.back().main_file = file;
        analyses.back().named = false;
        analyse(analyses.size() - 1);
        touched.insert(touched.end(), analyses.back().files_read.begin(), analyses.back().files_read.end());
    }
    touched.push_back(file);
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    return touched;
}

std::vector<const Analysis*> scope_of(std::uint32_t file) {
    std::vector<const Analysis*> scope;
    for (const Analysis& a : analyses)
        if (reads(a, file)) scope.push_back(&a);
    return scope;
}

std::vector<Diagnostic> diagnostics_of(std::uint32_t file) {
    std::vector<Diagnostic> found;
    std::vector<const Analysis*> scope = scope_of(file);
    for (const Analysis* a : scope) {
        auto from = std::lower_bound(a->diagnostics.begin(), a->diagnostics.end(), file,
                                     [](const Diagnostic& d, std::uint32_t f) { return d.file < f; });
        for (auto d = from; d != a->diagnostics.end() && d->file == file; ++d)
            if (settings.enabled[d->kind]) found.push_back(*d);
    }
    if (scope.size() >= 2) {
        // A file read by two main sources: a finding both made is given once.
        auto key = [](const Diagnostic& d) {
            return std::make_tuple(d.range.start.line, d.range.start.character, d.severity, std::string_view(d.message));
        };
        std::stable_sort(found.begin(), found.end(), [&key](const Diagnostic& x, const Diagnostic& y) { return key(x) < key(y); });
        found.erase(std::unique(found.begin(), found.end(), [&key](const Diagnostic& x, const Diagnostic& y) { return key(x) == key(y); }),
                    found.end());
    }
    // No flood: MAX_DIAGNOSTICS_OF_CLASS of a class, then one that counts the rest.
    static const char* const WHAT[CLASS_COUNT] = {"", "include files not read", "symbols used but never defined",
                                                  "symbols defined but never used", "lines cut at 254 characters"};
    std::size_t shown[CLASS_COUNT] = {}, more[CLASS_COUNT] = {};
    std::size_t kept = 0;
    for (std::size_t i = 0; i < found.size(); ++i) {
        int kind = found[i].kind;
        bool keep = kind == CLASS_SOURCE || shown[kind]++ < MAX_DIAGNOSTICS_OF_CLASS || more[kind]++ == 0;   // the first not shown becomes the count
        if (!keep) continue;
        if (kept != i) found[kept] = std::move(found[i]);
        ++kept;
    }
    found.resize(kept);
    // The count stands where the first one not shown stood: the last of its class kept.
    for (int kind = 1; kind < CLASS_COUNT; ++kind) {
        if (more[kind] == 0) continue;
        for (std::size_t i = found.size(); i-- > 0;)
            if (found[i].kind == kind) {
                found[i].message = std::to_string(more[kind]) + " more " + WHAT[kind] + " in this file are not shown";
                found[i].unnecessary = false;
                break;
            }
    }
    return found;
}

void reset_workspace() {
    root.clear();
    project.clear();
    notices.clear();
    settings = Settings{};
    command_excludes.clear();
    command_excludes_taken = false;
    excludes.clear();
    excludes_set = false;
    files.clear();
    analyses.clear();
    run = Run{};
}

}  // namespace lsp
