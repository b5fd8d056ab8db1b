// The workspace: the files the server has met, the editor's texts, the main
// sources and what the last analysis of each found.  An analysis is
// analysis::analyse_source over one main source, the editor's texts read
// from memory and every other file from the disk, keeping every symbol
// token.  The analysis keeps its record; the indexes the requests are
// answered from are made over the record's mentions once the run is done,
// and where the editor sees a mention is worked out when asked, from its
// byte offset and its file's line table.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "analysis/analysis.h"
#include "fatal/fatal.h"
#include "input/input.h"
#include "lex/lex.h"
#include "lsp/lsp.h"
#include "platform/platform.h"
#include "symbols/symbols.h"

namespace lsp {

namespace {

constexpr int CUT_COLUMN = input::LINE_BUFFER_SIZE - 2;   // the first character a cut line loses

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

// The file whose identity is path (platform::identity_path), made when new
// with the URI of name.
std::uint32_t file_of_identity(const std::string& path, const std::string& name) {
    for (std::uint32_t i = 0; i < files.size(); ++i)
        if (platform::same_path(files[i].path, path)) return i;
    files.push_back(File{path, uri_of_path(name), shown_name(path), false, std::string(), {}});
    return static_cast<std::uint32_t>(files.size() - 1);
}

// The text of a file as the run read it, with the positions asked for in it.
struct ReadText {
    const std::string* text;             // the editor's text, or own
    std::unique_ptr<std::string> own;    // the disk's bytes, when the editor holds no text
    PositionCursor cursor;               // in reading order mostly
};

// What the index of one analysis is made from: its record, the files of
// the record's file table and the texts of those files, each read once.
struct Making {
    Analysis& result;
    const input::RunRecord& run;
    std::unordered_map<std::uint32_t, ReadText> texts;   // by index into files

    // The editor's position of offset in file.
    Position position(std::uint32_t file, std::int64_t offset) {
        ReadText& t = texts.at(file);
        return position_at(&t.cursor, *t.text, offset);
    }
    const std::string& text(std::uint32_t file) { return *texts.at(file).text; }
    // Where the length bytes at column of line index stand in file.
    Range range(std::uint32_t file, std::int32_t index, int column, int length) {
        std::int64_t from, to;
        input::file_span(run, index, column, length, &from, &to);
        return Range{position(file, from), position(file, to)};
    }
};

void add_diagnostic(Making& m, std::uint32_t file, int kind, Range range, int severity, std::string message, bool unnecessary = false) {
    m.result.diagnostics.push_back(Diagnostic{file, kind, range, severity, unnecessary, std::move(message)});
}

// The include messages the console would show, at the names.
void note_include_failures(Making& m) {
    std::set<std::tuple<std::uint32_t, std::int32_t, std::int32_t, int>> noted;   // file, place and reason
    for (const input::IncludeFailure& f : m.run.include_failures) {
        const char* text = input::include_message(f.reason);
        if (text == nullptr) continue;
        std::uint32_t file = m.result.file_of_record[static_cast<std::size_t>(f.file)];
        Range range = m.range(file, f.line - 1, f.column, static_cast<int>(f.name.size()));
        // An include read many times fails the same way each time (a file
        // that includes itself 20 times fails 20^5 times): one diagnostic.
        if (!noted.insert(std::make_tuple(file, range.start.line, range.start.character, f.reason)).second) continue;
        add_diagnostic(m, file, CLASS_INCLUDE, range, SEVERITY_ERROR, text + f.name);
    }
}

// Every include the reader opened, where its name stands.
void note_include_reads(Making& m) {
    for (std::size_t k = 1; k < m.run.file_records.size(); ++k) {
        const input::FileRecord& f = m.run.file_records[k];
        if (f.parent < 0) continue;
        std::uint32_t file = m.result.file_of_record[static_cast<std::size_t>(f.parent)];
        Range name = m.range(file, f.included_on - 1, f.name_column, static_cast<int>(f.name.size()));
        m.result.includes_read.push_back(IncludeRead{file, name, m.result.file_of_record[k], f.lines});
    }
}

// Lines cut at 254 characters: information at the cut, and the names in
// what the reader dropped, which a rename could not reach.
void note_cut_lines(Making& m) {
    // Each name once, however often it stands there (one 50 MB line held
    // every name as a string of its own: 1.07 GB).  The texts outlive the run.
    std::unordered_set<std::string_view> seen;
    for (std::int32_t index : m.run.cut_lines) {
        std::uint32_t file = m.result.file_of_record[static_cast<std::size_t>(input::file_of_line(m.run, index))];
        const std::string& text = m.text(file);
        std::size_t cut = static_cast<std::size_t>(input::file_offset(m.run, index, CUT_COLUMN));
        std::size_t end = cut;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r' && text[end] != 0x1A) ++end;
        add_diagnostic(m, file, CLASS_CUT, Range{m.position(file, cut), m.position(file, end)}, SEVERITY_INFORMATION,
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
    m.result.names_after_cut.assign(seen.begin(), seen.end());
    std::sort(m.result.names_after_cut.begin(), m.result.names_after_cut.end());
}

// The line table of a file the analysis read.
const LineTable& line_table_of(const Analysis& a, std::uint32_t file) {
    return *std::lower_bound(a.line_tables.begin(), a.line_tables.end(), file, [](const LineTable& t, std::uint32_t f) { return t.file < f; });
}

// The names of the record's table, in its (byte) order, with their kinds,
// and the index that finds a mention's name by its node.
void take_names(Analysis& a) {
    const symbols::Table& table = a.record.table;
    a.name_index.reserve(table.count);
    for (std::uint32_t k = 0; k < table.count; ++k) {
        const symbols::SymbolNode* n = table.order[k];
        a.names.emplace_back(n->name, n->length);
        a.facts.push_back(SymbolFacts{n->kind == 'M' ? 'M' : ' ', 0, 0, 0});
        a.name_index.add(n, k);
    }
    a.definition_texts.resize(a.names.size());
}

// The line tables of the files read, and the starts of the occurrences on
// wide lines (walked with a cursor per file, in reading order: no line is
// counted twice unless its file is read twice).
void take_lines(Making& m) {
    Analysis& a = m.result;
    for (auto& [id, t] : m.texts) a.line_tables.push_back(line_table(id, *t.text));
    std::sort(a.line_tables.begin(), a.line_tables.end(), [](const LineTable& x, const LineTable& y) { return x.file < y.file; });
    const analysis::Mentions& mentions = a.record.mentions;
    for (std::size_t r = 0; r < mentions.files.size(); ++r) {
        std::uint32_t file = a.file_of_record[static_cast<std::size_t>(mentions.files[r].file)];
        const LineTable& table = line_table_of(a, file);
        if (table.wide.empty()) continue;
        std::size_t end = r + 1 < mentions.files.size() ? mentions.files[r + 1].first : mentions.list.size();
        for (std::size_t k = mentions.files[r].first; k < end; ++k) {
            std::int64_t offset = mentions.list[k].offset();
            Position start;
            if (narrow_position(table, static_cast<std::size_t>(offset), &start)) continue;
            a.wide_starts.push_back(WideStart{static_cast<std::uint32_t>(k), m.position(file, offset)});
        }
    }
}

// Counts, indexes, the text of each name's first definition, and the
// diagnostics of names defined but never used and used but never defined.
void index_analysis(Making& m) {
    Analysis& a = m.result;
    const analysis::Mentions& mentions = a.record.mentions;
    std::size_t names = a.names.size();
    std::uint32_t count = occurrence_count(a);
    std::vector<std::uint32_t> ids(count);   // each mention's name, found once
    a.symbol_first.assign(names + 1, 0);
    std::vector<std::uint8_t> seen(names, 0);   // bits: 1 listed '#', 2 listed other, 4 the editor's '#', 8 the editor's other
    for (std::size_t r = 0; r < mentions.files.size(); ++r) {
        std::uint32_t file = a.file_of_record[static_cast<std::size_t>(mentions.files[r].file)];
        std::size_t end = r + 1 < mentions.files.size() ? mentions.files[r + 1].first : mentions.list.size();
        for (std::size_t k = mentions.files[r].first; k < end; ++k) {
            const analysis::Mention& t = mentions.list[k];
            std::uint32_t id = a.name_index.find(t.symbol);
            ids[k] = id;
            SymbolFacts& f = a.facts[id];
            if (t.mark == '#') {
                ++f.definitions;
                if (a.definition_texts[id].empty()) a.definition_texts[id] = line_around(m.text(file), static_cast<std::size_t>(t.offset()));
            } else if (t.mark == '&') {
                ++f.calls;
            } else {
                ++f.uses;
            }
            ++a.symbol_first[id + 1];
            if ((t.flags & analysis::MENTION_LISTED) != 0) seen[id] |= t.mark == '#' && (t.flags & analysis::MENTION_PARAMETER) == 0 ? 1 : 2;
            seen[id] |= t.mark == '#' ? 4 : 8;
        }
    }
    for (std::size_t i = 0; i < names; ++i) a.symbol_first[i + 1] += a.symbol_first[i];
    a.by_symbol.resize(count);
    std::vector<std::uint32_t> next(a.symbol_first.begin(), a.symbol_first.end() - 1);
    for (std::uint32_t k = 0; k < count; ++k) a.by_symbol[next[ids[k]]++] = k;

    // The listing's verdict (symbols::usage_from over the occurrences it
    // records), given where the editor's own count agrees: it never warns of
    // a name it sees defined (a macro's parameter) or used (a macro invoked,
    // a JSR on a line the listing leaves out).
    // (Given in reading order, where the line of one is found from the last's.)
    std::vector<std::uint8_t> verdict(names, symbols::USAGE_DEFINED_AND_USED);
    for (std::uint32_t s = 0; s < names; ++s) {
        int usage = symbols::usage_from(seen[s] & 1, seen[s] & 2);
        if (!(seen[s] & 3)) continue;   // the listing records it nowhere
        if (usage == symbols::USAGE_NEVER_DEFINED && (seen[s] & 4)) continue;
        if (usage == symbols::USAGE_NEVER_USED && (seen[s] & 8)) continue;
        verdict[s] = static_cast<std::uint8_t>(usage);
    }
    for (std::uint32_t k = 0; k < count; ++k) {
        const analysis::Mention& t = mentions.list[k];
        if ((t.flags & analysis::MENTION_LISTED) == 0) continue;
        std::uint32_t s = ids[k];
        if (verdict[s] == symbols::USAGE_NEVER_DEFINED)
            add_diagnostic(m, file_of(a, k), CLASS_UNDEFINED, range_of(a, k), SEVERITY_WARNING, std::string(a.names[s]) + " is used but never defined");
        else if (verdict[s] == symbols::USAGE_NEVER_USED)
            add_diagnostic(m, file_of(a, k), CLASS_UNUSED, range_of(a, k), SEVERITY_HINT, std::string(a.names[s]) + " is defined but never used", true);
    }
}

// The orders the requests search in: places by file and offset, names in
// byte order, diagnostics by file.
void order_analysis(Analysis& a) {
    // By file in reading order (counted), then by place within a file: a
    // file read once is in place order already.
    const analysis::Mentions& mentions = a.record.mentions;
    std::vector<std::uint32_t> file_first(files.size() + 1, 0);
    auto run_end = [&mentions](std::size_t r) { return r + 1 < mentions.files.size() ? mentions.files[r + 1].first : mentions.list.size(); };
    auto file_of_run = [&a, &mentions](std::size_t r) { return a.file_of_record[static_cast<std::size_t>(mentions.files[r].file)]; };
    for (std::size_t r = 0; r < mentions.files.size(); ++r)
        file_first[file_of_run(r) + 1] += static_cast<std::uint32_t>(run_end(r) - mentions.files[r].first);
    for (std::size_t i = 0; i < files.size(); ++i) file_first[i + 1] += file_first[i];
    a.by_place.resize(mentions.list.size());
    std::vector<std::uint32_t> next(file_first.begin(), file_first.end() - 1);
    for (std::size_t r = 0; r < mentions.files.size(); ++r)
        for (std::size_t k = mentions.files[r].first; k < run_end(r); ++k) a.by_place[next[file_of_run(r)]++] = static_cast<std::uint32_t>(k);
    auto before = [&mentions](std::uint32_t x, std::uint32_t y) { return mentions.list[x].offset() < mentions.list[y].offset(); };
    for (std::size_t f = 0; f < files.size(); ++f) {
        auto from = a.by_place.begin() + file_first[f], to = a.by_place.begin() + file_first[f + 1];
        if (!std::is_sorted(from, to, before)) std::stable_sort(from, to, before);
    }
    std::stable_sort(a.diagnostics.begin(), a.diagnostics.end(), [](const Diagnostic& x, const Diagnostic& y) {
        return std::make_tuple(x.file, x.range.start.line, x.range.start.character) <
               std::make_tuple(y.file, y.range.start.line, y.range.start.character);
    });
}

bool reads(const Analysis& a, std::uint32_t file) {
    return std::binary_search(a.files_read.begin(), a.files_read.end(), file);
}
}  // namespace

void NameIndex::reserve(std::size_t n) {
    unsigned bits = 1;
    while ((std::size_t{1} << bits) < 2 * n) ++bits;
    slots.assign(std::size_t{1} << bits, {nullptr, 0});
    shift = 64 - bits;
}

void NameIndex::add(const symbols::SymbolNode* node, std::uint32_t name) {
    std::size_t k = slot(node);
    while (slots[k].first != nullptr) k = (k + 1) & (slots.size() - 1);
    slots[k] = {node, name};
}

std::uint32_t NameIndex::find(const symbols::SymbolNode* node) const {
    std::size_t k = slot(node);
    while (slots[k].first != node && slots[k].first != nullptr) k = (k + 1) & (slots.size() - 1);
    assert(slots[k].first == node && "every mention's node is in the table");
    return slots[k].second;
}

std::uint32_t file_of(const Analysis& a, std::uint32_t k) {
    const std::vector<analysis::MentionRun>& runs = a.record.mentions.files;
    auto after = std::upper_bound(runs.begin(), runs.end(), k, [](std::uint32_t x, const analysis::MentionRun& r) { return x < r.first; });
    return a.file_of_record[static_cast<std::size_t>(std::prev(after)->file)];
}

Range range_of(const Analysis& a, std::uint32_t k) {
    const analysis::Mention& t = occurrence(a, k);
    std::uint32_t file = file_of(a, k);
    const LineTable& table = line_table_of(a, file);
    std::int64_t offset = t.offset();
    Position start;
    if (!narrow_position(table, static_cast<std::size_t>(offset), &start))
        start = std::lower_bound(a.wide_starts.begin(), a.wide_starts.end(), k, [](const WideStart& w, std::uint32_t x) { return w.occurrence < x; })
                    ->start;
    const std::vector<analysis::BrokenMention>& broken = a.record.mentions.broken;
    auto b = std::lower_bound(broken.begin(), broken.end(), k, [](const analysis::BrokenMention& x, std::uint32_t y) { return x.mention < y; });
    if (b == broken.end() || b->mention != k)
        return Range{start, Position{start.line, start.character + static_cast<std::int32_t>(t.symbol->length)}};
    // A lone CR stands inside: what follows the last one starts a line, and
    // is the name's (ASCII) characters.
    Position end;
    narrow_position(table, static_cast<std::size_t>(offset + t.symbol->length + b->count), &end);
    return Range{start, end};
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
    // A file past the bound is one that cannot be read: however much a file
    // brings in, the analysis ends and the server answers again.
    platform::read_limit = MAX_FILE_LENGTH;
    // The main source and the files the last analysis read are read once,
    // here, and the reader reads them from memory like the editor's texts:
    // the positions come from the very bytes the reader saw.  (Read before
    // the run, while the mentions take no room: on the 1,000,000-line
    // realistic program, the server's peak at start-up was 69 MiB with the
    // source read after the run, in doubling room beside the mentions, and
    // is 50 MiB so.)
    std::unordered_map<std::uint32_t, ReadText> texts;
    std::vector<platform::MemoryFile> memory;
    read_before.push_back(a.main_file);
    std::sort(read_before.begin(), read_before.end());
    read_before.erase(std::unique(read_before.begin(), read_before.end()), read_before.end());
    for (std::uint32_t id : read_before) {
        if (files[id].open) continue;
        auto own = std::make_unique<std::string>();
        if (!platform::read_file(files[id].path.c_str(), own.get())) continue;
        own->shrink_to_fit();   // read in doubling room: up to twice its size (33.5 MB for 24.5 MB)
        texts.emplace(id, ReadText{own.get(), std::move(own), {}});
    }
    for (const File& f : files)
        if (f.open) memory.push_back(platform::MemoryFile{f.path.c_str(), f.text.data(), f.text.size()});
    for (const auto& [id, t] : texts) memory.push_back(platform::MemoryFile{files[id].path.c_str(), t.text->data(), t.text->size()});
    platform::set_memory_files(memory.data(), static_cast<int>(memory.size()));
    // Include names are resolved against the analysis's folder, by the -i list
    // in force; the folder by its name, so one deleted and made again (a fresh
    // clone into the same folder) is the folder read from now on.
    platform::change_directory(a.folder.empty() ? (root.empty() ? "." : root.c_str()) : a.folder.c_str());
    input::clear_excludes();
    for (const std::string& name : excludes_set ? excludes : command_excludes) input::add_exclude(name.c_str());
    platform::forget_files_read();   // the record of files a listing may not replace: the server writes none
    const char* failure = nullptr;
    analysis::Record record;
    platform::TextStream* source = platform::open_read(files[a.main_file].path.c_str());
    if (source == nullptr) {
        failure = fatal::TEXT_OPEN_SOURCE;
    } else {
        try {
            record = analysis::analyse_source(source, files[a.main_file].path.c_str(), analysis::KEEP_MENTIONS);
            if (record.source_failed) failure = fatal::TEXT_READ_SOURCE;
        } catch (const fatal::FatalExit&) {   // nothing of the run is left
            failure = fatal::TEXT_READ_SOURCE;
            record = analysis::Record{};
        }
    }
    platform::set_memory_files(nullptr, 0);
    platform::read_limit = 0;
    // The files of the record, while the folder its names are resolved in is
    // the working directory; then their texts, each read once.
    a.record = std::move(record);
    Making m{a, a.record.run, std::move(texts)};
    std::unordered_map<std::string, std::uint32_t> file_named;
    for (const input::FileRecord& f : a.record.run.file_records) {
        auto found = file_named.find(f.name);
        if (found == file_named.end()) {
            std::string path = platform::identity_path(f.name.c_str());
            found = file_named.emplace(f.name, file_of_identity(path, path)).first;   // a path read is its identity
        }
        a.file_of_record.push_back(found->second);
    }
    for (std::uint32_t id : a.file_of_record) {
        if (m.texts.count(id) != 0) continue;
        ReadText t{&files[id].text, nullptr, {}};
        if (!files[id].open) {
            t.own = std::make_unique<std::string>();
            platform::read_limit = MAX_FILE_LENGTH;
            platform::read_file(files[id].path.c_str(), t.own.get());
            platform::read_limit = 0;
            t.own->shrink_to_fit();
            t.text = t.own.get();
        }
        m.texts.emplace(id, std::move(t));
    }
    for (auto& [id, t] : m.texts) t.cursor = position_cursor(*t.text);
    if (!a.record.run.file_records.empty()) {
        take_names(a);
        take_lines(m);
        note_include_failures(m);
        note_include_reads(m);
        note_cut_lines(m);
    }
    index_analysis(m);
    m.texts.clear();
    a.files_read = a.file_of_record;
    a.files_read.push_back(a.main_file);
    std::sort(a.files_read.begin(), a.files_read.end());
    a.files_read.erase(std::unique(a.files_read.begin(), a.files_read.end()), a.files_read.end());
    // A main source that cannot be read: an error on its first line.
    if (failure != nullptr) a.diagnostics.push_back(Diagnostic{a.main_file, CLASS_SOURCE, Range{{0, 0}, {0, 0}}, SEVERITY_ERROR, false, failure + files[a.main_file].shown});
    order_analysis(a);
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
}

}  // namespace lsp
