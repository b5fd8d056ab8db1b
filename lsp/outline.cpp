// Folds, include links, documentation and macro signatures.  What the analyses found (the
// subroutines, the includes opened, the macros' definitions) comes from the
// index; what only the text tells (comment lines, .MACRO and .ENDM, the
// commas of an invocation) from the editor's text, each line cut into
// tokens by the tokenizer as the reader would hand it out.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <tuple>
#include <unordered_map>

#include "input/input.h"
#include "lex/lex.h"
#include "lsp/lsp.h"
#include "platform/platform.h"

namespace lsp {

namespace {

constexpr int MIN_COMMENT_RUN = 3;   // comment lines in a row that fold
constexpr int MAX_MACRO_LINES = 20;  // lines of a macro's body a hover shows

// The editor's line number of text, whose lines start at starts, without its line end.
std::string_view line_at(std::string_view text, const std::vector<std::uint32_t>& starts, std::size_t line) {
    std::size_t from = starts[line];
    std::size_t to = line + 1 < starts.size() ? starts[line + 1] : text.size();
    while (to > from && (text[to - 1] == '\n' || text[to - 1] == '\r')) --to;
    return text.substr(from, to - from);
}

// One token of a line: its kind, where its text stands in the line (bytes),
// and its keyword row.
struct Token {
    std::int32_t kind;
    std::size_t from;
    std::size_t length;
    std::int32_t row;
    bool comment;   // a TOKEN_END that is a ";": the rest of the line is a comment
};

// The tokens of line, as the tokenizer cuts it once the reader has handed it
// out (the first 254 characters, then a line feed), up to the end or a ";",
// into tokens (a pass over a file's lines reuses one list).  The tokenizer
// reads the reader's line buffer: the server is between analyses whenever
// it answers, so the buffer holds nothing of the reader's.
void tokens_into(std::string_view line, std::vector<Token>* tokens) {
    std::size_t n = std::min<std::size_t>(line.size(), input::LINE_BUFFER_SIZE - 2);
    std::memcpy(input::line_buffer, line.data(), n);
    input::line_buffer[n] = '\n';
    input::line_buffer[n + 1] = 0;
    lex::start_line();
    tokens->clear();
    for (;;) {
        std::int32_t kind = lex::fetch_token();
        std::size_t from = static_cast<std::size_t>(lex::text_start - input::line_buffer);
        if (kind == lex::TOKEN_END) {
            if (*lex::token_start == ';') tokens->push_back(Token{kind, from, n - from, 0, true});
            return;
        }
        std::int32_t row = kind == lex::TOKEN_DIRECTIVE || kind == lex::TOKEN_MNEMONIC || kind == lex::TOKEN_RESERVED ? lex::keyword_index : 0;
        tokens->push_back(Token{kind, from, static_cast<std::size_t>(lex::token_length), row, false});
    }
}

std::vector<Token> tokens_of(std::string_view line) {
    std::vector<Token> tokens;
    tokens_into(line, &tokens);
    return tokens;
}

bool is_directive(const Token& t, const char* name) {
    return t.kind == lex::TOKEN_DIRECTIVE && t.row == lex::find_directive(name, static_cast<int>(std::strlen(name)));
}

bool has_directive(const std::vector<Token>& tokens, const char* name) {
    return std::any_of(tokens.begin(), tokens.end(), [name](const Token& t) { return is_directive(t, name); });
}

bool is_blank_line(std::string_view line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return lex::is_blank(c); });
}

// Places in order of their file's path, then of their position.
auto include_key(const IncludeRead& r) {
    return std::make_tuple(std::string_view(files[r.file].path), r.name.start.line, r.name.start.character);
}

bool within(const Range& r, Position p) {
    return std::make_pair(r.start.line, r.start.character) <= std::make_pair(p.line, p.character) &&
           std::make_pair(p.line, p.character) <= std::make_pair(r.end.line, r.end.character);
}

// The text of a comment token: after its ";" and the blanks that follow,
// without trailing blanks.
std::string_view comment_text(std::string_view line, const Token& t) {
    std::string_view text = line.substr(t.from + 1, t.length > 0 ? t.length - 1 : 0);
    while (!text.empty() && lex::is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && lex::is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// Whether a comment says something: a rule of dashes or stars says nothing
// (and would make a Markdown heading of the line above it).
bool says_something(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return lex::is_identifier_char(c) || lex::is_decimal_digit(c); });
}

// A comment's text as Markdown: its own line, kept as a line.
void add_comment(std::string* out, std::string_view text) {
    if (!out->empty()) *out += "  \n";
    *out += text;
}

// What the definition at where documents: the comment lines right above it
// and the comment on its line; for a macro, its parameters and body.
std::string documentation_at(const Location& where, bool macro) {
    std::string text_read;
    std::string_view text = text_of(where.file, &text_read);
    auto line = static_cast<std::size_t>(where.range.start.line);
    std::vector<std::uint32_t> starts = line_starts(text, line + MAX_MACRO_LINES + 3);   // up to the body's last line shown
    if (line >= starts.size()) return std::string();
    std::size_t first = line;
    while (first > 0) {
        std::vector<Token> tokens = tokens_of(line_at(text, starts, first - 1));
        if (tokens.size() != 1 || !tokens[0].comment) break;
        --first;
    }
    std::string doc;
    for (std::size_t i = first; i <= line; ++i) {
        std::string_view content = line_at(text, starts, i);
        std::vector<Token> tokens = tokens_of(content);
        if (tokens.empty() || !tokens.back().comment) continue;
        std::string_view comment = comment_text(content, tokens.back());
        if (says_something(comment)) add_comment(&doc, comment);
    }
    if (!macro) return doc;
    std::vector<Token> head = tokens_of(line_at(text, starts, line));
    std::string parameters;
    bool after_directive = false;
    for (const Token& t : head) {
        if (is_directive(t, "MACRO")) after_directive = true;
        else if (after_directive && t.kind == lex::TOKEN_SYMBOL)
            parameters += (parameters.empty() ? "`" : ", `") + std::string(line_at(text, starts, line).substr(t.from, t.length)) + "`";
    }
    if (!doc.empty()) doc += "\n\n";
    doc += parameters.empty() ? "No parameters" : "Parameters: " + parameters;
    doc += "\n\n```\n";
    int shown = 0;
    for (std::size_t i = line + 1; i < starts.size(); ++i) {
        std::string_view content = line_at(text, starts, i);
        if (shown++ == MAX_MACRO_LINES) {
            doc += "...\n";
            break;
        }
        doc += content;
        doc += '\n';
        if (has_directive(tokens_of(content), "ENDM")) break;
    }
    doc += "```";
    return doc;
}


// One symbol token of a file as the analyses in its scope found it.
struct Mark {
    const symbols::SymbolNode* symbol;   // in the analysis's table: valid until the next analysis
    Range range;
    char mark;
    bool parameter;            // a macro's parameter on its .MACRO line
    std::string_view name() const { return std::string_view(symbol->name, symbol->length); }
};
static_assert(sizeof(Mark) <= 32, "a mark costs 32 bytes");

// Marks in place order, each place once (a file two main sources read is
// marked by each).
void order_marks(std::vector<Mark>* found) {
    auto place = [](const Mark& m) { return std::make_pair(m.range.start.line, m.range.start.character); };
    auto less = [&place](const Mark& x, const Mark& y) { return place(x) < place(y); };
    if (!std::is_sorted(found->begin(), found->end(), less)) std::stable_sort(found->begin(), found->end(), less);   // one analysis: sorted already
    found->erase(std::unique(found->begin(), found->end(), [&place](const Mark& x, const Mark& y) { return place(x) == place(y); }), found->end());
}

Mark mark_of(const Analysis& a, std::uint32_t k) {
    const analysis::Mention& o = occurrence(a, k);
    return Mark{o.symbol, range_of(a, k), o.mark, (o.flags & analysis::MENTION_PARAMETER) != 0};
}

// Every symbol token of file that keep passes, by place, each place once.
// Only what the request needs is made: a mark costs 32 bytes (3 million on
// the realistic 1,000,000-line program; 40 with the name as a view).
template <typename Keep>
std::vector<Mark> marks_in(std::uint32_t file, Keep keep) {
    std::vector<Mark> found;
    for (const Analysis* a : scope_of(file)) {
        auto from = std::lower_bound(a->by_place.begin(), a->by_place.end(), file,
                                     [a](std::uint32_t k, std::uint32_t f) { return file_of(*a, k) < f; });
        for (auto k = from; k != a->by_place.end() && file_of(*a, *k) == file; ++k)
            if (keep(occurrence(*a, *k))) found.push_back(mark_of(*a, *k));
    }
    order_marks(&found);
    return found;
}

// The marks of file from line first to line last but its definitions, which
// make no call.
std::vector<Mark> marks_between(std::uint32_t file, std::int32_t first, std::int32_t last) {
    std::vector<Mark> found;
    for (const Analysis* a : scope_of(file)) {
        auto from = std::lower_bound(a->by_place.begin(), a->by_place.end(), std::make_pair(file, first),
                                     [a](std::uint32_t k, std::pair<std::uint32_t, std::int32_t> at) {
                                         std::uint32_t f = file_of(*a, k);
                                         return f != at.first ? f < at.first : range_of(*a, k).start.line < at.second;
                                     });
        for (auto k = from; k != a->by_place.end() && file_of(*a, *k) == file; ++k) {
            Mark m = mark_of(*a, *k);
            if (m.range.start.line > last) break;
            if (m.mark != '#') found.push_back(m);
        }
    }
    order_marks(&found);
    return found;
}

// The marks of name but its definitions in each file of scope (ascending),
// added to found (one list per file of scope), by place: found from the
// name's own occurrences, never from all of a file's (which cost a step of
// the call hierarchy 37 MB on the 1,000,000-line realistic program, kept
// while the analyses stayed), and in one walk of each analysis reading a
// file of scope.
void marks_named(const std::vector<std::uint32_t>& scope, std::string_view name, std::vector<std::vector<Mark>>* found) {
    found->resize(scope.size());
    std::vector<const Analysis*> readers;
    for (std::uint32_t f : scope)
        for (const Analysis* a : scope_of(f)) readers.push_back(a);
    std::sort(readers.begin(), readers.end());
    readers.erase(std::unique(readers.begin(), readers.end()), readers.end());
    std::vector<char> added(scope.size(), 0);
    for (const Analysis* a : readers) {
        std::uint32_t id;
        if (!find_name(*a, name, &id)) continue;
        for (std::uint32_t slot = a->symbol_first[id]; slot < a->symbol_first[id + 1]; ++slot) {
            std::uint32_t k = a->by_symbol[slot];
            if (occurrence(*a, k).mark == '#') continue;
            auto at = std::lower_bound(scope.begin(), scope.end(), file_of(*a, k));
            if (at == scope.end() || *at != file_of(*a, k)) continue;
            auto i = static_cast<std::size_t>(at - scope.begin());
            (*found)[i].push_back(mark_of(*a, k));
            added[i] = 1;
        }
    }
    for (std::size_t i = 0; i < scope.size(); ++i)
        if (added[i]) order_marks(&(*found)[i]);
}

// The callers a file holds: its subroutines, labels and macros by line, and
// its macro bodies; and what finds a line's caller at once.
struct Layout {
    std::uint32_t file;
    std::vector<FileDefinition> containers;  // by line
    std::vector<Fold> macros;                // FOLD_MACRO folds: by line, none overlapping another
    std::vector<std::uint32_t> callers;      // the containers a line outside macro bodies belongs to: no macro, none in a macro body
    std::vector<std::int32_t> macro_items;   // per macro body: its container (the macro defined on its .MACRO line), or -1
    std::vector<std::uint32_t> by_name;      // the containers by name, then by line
};

// What the definition of name on line makes it.
constexpr int DEFINES_LABEL = 0;
constexpr int DEFINES_CONSTANT = 1;    // before "=" or .EQU
constexpr int DEFINES_PARAMETER = 2;   // after .MACRO

int definition_kind(std::string_view line, std::string_view name, std::vector<Token>* scratch) {
    tokens_into(line, scratch);
    const std::vector<Token>& tokens = *scratch;
    bool after_macro = false;
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        if (is_directive(tokens[k], "MACRO")) after_macro = true;
        if (tokens[k].kind != lex::TOKEN_SYMBOL || line.substr(tokens[k].from, tokens[k].length) != name) continue;
        if (after_macro) return DEFINES_PARAMETER;
        if (k + 1 == tokens.size()) return DEFINES_LABEL;
        const Token& next = tokens[k + 1];
        bool value = (next.kind == lex::TOKEN_OPERATOR && line.substr(next.from, next.length) == "=") || is_directive(next, "EQU");
        return value ? DEFINES_CONSTANT : DEFINES_LABEL;
    }
    return DEFINES_LABEL;
}

std::string detail_of(const Location& where) { return files[where.file].shown + ":" + std::to_string(where.range.start.line + 1); }

// What the call hierarchy has made of a file: made when a request first
// needs it and kept while the analyses stay as they are, since a step of the
// hierarchy (prepare, incoming, outgoing) asks for the same files again and
// each is a pass of the tokenizer over the file and a walk of its marks
// (bench case hex0x: a step took 50 ms while they were made per request).
struct FileCalls {
    bool has_layout = false;
    Layout layout;
    std::map<std::string, std::optional<CallItem>, std::less<>> items;   // item_of(file, name) of each name asked for
};

std::map<std::uint32_t, FileCalls> made;   // by file
std::vector<std::uint64_t> made_from;      // the generations of the analyses they were made from, in order

// Forgets what was made of the files once an analysis has run, come or gone since.
void check_made() {
    std::vector<std::uint64_t> now;
    for (const Analysis& a : analyses) now.push_back(a.generation);
    if (now == made_from && !now.empty()) return;
    made.clear();
    made_from = std::move(now);
}

// The macro body holding line (after its .MACRO line), or nullptr.
const Fold* macro_holding(const Layout& layout, std::int32_t line) {
    auto after = std::lower_bound(layout.macros.begin(), layout.macros.end(), line, [](const Fold& m, std::int32_t l) { return m.first < l; });
    if (after == layout.macros.begin()) return nullptr;
    const Fold& m = *std::prev(after);   // the last body whose .MACRO line stands above line
    return line <= m.last ? &m : nullptr;
}

const Layout& layout_of(std::uint32_t file) {
    FileCalls& calls = made[file];
    Layout& layout = calls.layout;
    if (calls.has_layout) return layout;
    calls.has_layout = true;
    layout.file = file;
    for (const Fold& f : folds(file))
        if (f.kind == FOLD_MACRO) layout.macros.push_back(f);
    std::string text_read;
    std::string_view text = text_of(file, &text_read);
    std::vector<std::uint32_t> starts = line_starts(text);
    std::vector<Token> tokens;
    for (const FileDefinition& d : file_definitions(file)) {
        auto line = static_cast<std::size_t>(d.range.start.line);
        if (d.kind == KIND_CONSTANT && (line >= starts.size() || definition_kind(line_at(text, starts, line), d.name, &tokens) != DEFINES_LABEL))
            continue;
        layout.containers.push_back(d);
    }
    std::stable_sort(layout.containers.begin(), layout.containers.end(),
                     [](const FileDefinition& x, const FileDefinition& y) { return x.range.start.line < y.range.start.line; });
    for (std::uint32_t k = 0; k < layout.containers.size(); ++k) {
        const FileDefinition& c = layout.containers[k];
        if (c.kind != KIND_OPERATOR && macro_holding(layout, c.range.start.line) == nullptr) layout.callers.push_back(k);
    }
    for (const Fold& m : layout.macros) {
        auto at = std::lower_bound(layout.containers.begin(), layout.containers.end(), m.first,
                                   [](const FileDefinition& c, std::int32_t line) { return c.range.start.line < line; });
        for (; at != layout.containers.end() && at->range.start.line == m.first && at->kind != KIND_OPERATOR; ++at) {}
        bool found = at != layout.containers.end() && at->range.start.line == m.first;
        layout.macro_items.push_back(found ? static_cast<std::int32_t>(at - layout.containers.begin()) : -1);
    }
    layout.by_name.resize(layout.containers.size());
    for (std::uint32_t k = 0; k < layout.containers.size(); ++k) layout.by_name[k] = k;
    std::stable_sort(layout.by_name.begin(), layout.by_name.end(),
                     [&layout](std::uint32_t x, std::uint32_t y) { return layout.containers[x].name < layout.containers[y].name; });
    return layout;
}

// The first and the last container of layout named name, by line; false when none is.
bool containers_named(const Layout& layout, std::string_view name, std::uint32_t* first, std::uint32_t* last) {
    auto from = std::lower_bound(layout.by_name.begin(), layout.by_name.end(), name,
                                 [&layout](std::uint32_t k, std::string_view n) { return layout.containers[k].name < n; });
    auto to = std::upper_bound(from, layout.by_name.end(), name,
                               [&layout](std::string_view n, std::uint32_t k) { return n < layout.containers[k].name; });
    if (from == to) return false;
    *first = *from;
    *last = *std::prev(to);
    return true;
}

// The call hierarchy's item of container k of layout.
CallItem item_at(const Layout& layout, std::uint32_t k) {
    const FileDefinition& c = layout.containers[k];
    Location where{layout.file, c.range};
    return CallItem{std::string(c.name), c.kind, where, detail_of(where)};
}

// The caller of a JSR or macro invocation on line: the macro whose body holds
// it, else the nearest subroutine or label above it outside any macro body,
// else the file.
CallItem caller_of(const Layout& layout, std::int32_t line) {
    if (const Fold* m = macro_holding(layout, line)) {
        std::int32_t item = layout.macro_items[static_cast<std::size_t>(m - layout.macros.data())];
        if (item >= 0) return item_at(layout, static_cast<std::uint32_t>(item));
    }
    auto after = std::upper_bound(layout.callers.begin(), layout.callers.end(), line,
                                  [&layout](std::int32_t l, std::uint32_t k) { return l < layout.containers[k].range.start.line; });
    if (after != layout.callers.begin()) return item_at(layout, *std::prev(after));
    return CallItem{files[layout.file].shown, KIND_FILE, Location{layout.file, Range{{0, 0}, {0, 0}}}, files[layout.file].shown};
}

// The item of name as defined in the scope of file, or false when it has no definition.
bool item_of(std::uint32_t file, std::string_view name, CallItem* found) {
    FileCalls& calls = made[file];
    auto at = calls.items.find(name);
    if (at == calls.items.end()) {
        std::optional<CallItem> item;
        std::vector<Location> defined = definitions(file, std::string(name));
        if (!defined.empty()) {
            const Layout& layout = layout_of(defined.front().file);
            std::uint32_t first, last;
            if (containers_named(layout, name, &first, &last)) item = item_at(layout, first);
        }
        at = calls.items.emplace(std::string(name), std::move(item)).first;
    }
    if (!at->second) return false;
    *found = *at->second;
    return true;
}

// Adds from to the call of item in calls, made when new.
void add_call(std::vector<Call>* calls, const CallItem& item, Range from) {
    for (Call& c : *calls)
        if (c.item.name == item.name && c.item.kind == item.kind && c.item.where.file == item.where.file && c.item.detail == item.detail) {
            c.from.push_back(from);
            return;
        }
    calls->push_back(Call{item, {from}});
}

// Every file the analyses reading file read.
std::vector<std::uint32_t> scope_files(std::uint32_t file) {
    std::vector<std::uint32_t> found;
    for (const Analysis* a : scope_of(file)) found.insert(found.end(), a->files_read.begin(), a->files_read.end());
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}
}  // namespace

std::string_view text_of(std::uint32_t file, std::string* storage) {
    if (files[file].open) return files[file].text;
    platform::read_limit = MAX_FILE_LENGTH;   // as an analysis reads it: a file that never ends fails
    if (!platform::read_file(files[file].path.c_str(), storage)) storage->clear();
    platform::read_limit = 0;
    return *storage;
}

std::vector<Fold> folds(std::uint32_t file) {
    std::string text_read;
    std::string_view text = text_of(file, &text_read);
    std::vector<std::uint32_t> starts = line_starts(text);
    std::vector<Fold> found;
    std::int32_t macro_line = -1;     // the open .MACRO's line
    std::int32_t comment_first = -1;  // the first of the comment lines running up to this one
    std::int32_t last_text = 0;       // the last line that is not blank
    std::vector<Token> tokens;        // of the line
    auto end_comments = [&](std::int32_t line) {
        if (comment_first >= 0 && line - comment_first >= MIN_COMMENT_RUN) found.push_back(Fold{comment_first, line - 1, FOLD_COMMENT});
        comment_first = -1;
    };
    for (std::size_t i = 0; i < starts.size(); ++i) {
        auto line = static_cast<std::int32_t>(i);
        std::string_view content = line_at(text, starts, i);
        if (!is_blank_line(content)) last_text = line;
        tokens_into(content, &tokens);
        if (tokens.size() == 1 && tokens[0].comment) {
            if (comment_first < 0) comment_first = line;
        } else {
            end_comments(line);
        }
        if (has_directive(tokens, "MACRO")) {
            macro_line = line;
        } else if (has_directive(tokens, "ENDM") && macro_line >= 0) {
            found.push_back(Fold{macro_line, line, FOLD_MACRO});
            macro_line = -1;
        }
    }
    end_comments(static_cast<std::int32_t>(starts.size()));
    std::vector<std::int32_t> subroutines;
    for (const FileDefinition& d : file_definitions(file))
        if (d.kind == KIND_FUNCTION) subroutines.push_back(d.range.start.line);
    std::sort(subroutines.begin(), subroutines.end());
    subroutines.erase(std::unique(subroutines.begin(), subroutines.end()), subroutines.end());
    for (std::size_t k = 0; k < subroutines.size(); ++k) {
        std::int32_t last = k + 1 < subroutines.size() ? subroutines[k + 1] - 1 : last_text;
        if (last > subroutines[k]) found.push_back(Fold{subroutines[k], last, FOLD_SUBROUTINE});
    }
    std::stable_sort(found.begin(), found.end(), [](const Fold& x, const Fold& y) { return x.first < y.first; });
    return found;
}

std::vector<IncludeRead> include_links(std::uint32_t file) {
    std::vector<IncludeRead> found;
    for (const Analysis* a : scope_of(file))
        for (const IncludeRead& r : a->includes_read)
            if (r.file == file) found.push_back(r);
    auto less = [](const IncludeRead& x, const IncludeRead& y) { return include_key(x) < include_key(y); };
    std::stable_sort(found.begin(), found.end(), less);
    found.erase(std::unique(found.begin(), found.end(), [](const IncludeRead& x, const IncludeRead& y) { return x.name == y.name; }),
                found.end());
    return found;
}

bool include_at(std::uint32_t file, Position position, IncludeRead* found) {
    for (const Analysis* a : scope_of(file))
        for (const IncludeRead& r : a->includes_read)
            if (r.file == file && within(r.name, position)) {
                *found = r;
                return true;
            }
    return false;
}

std::string include_hover_text(const IncludeRead& include) {
    const File& target = files[include.target];
    std::string text = "**" + target.shown + "**, " + std::to_string(include.lines) + (include.lines == 1 ? " line" : " lines");
    std::vector<IncludeRead> readers;
    for (const Analysis& a : analyses)
        for (const IncludeRead& r : a.includes_read)
            if (r.target == include.target) readers.push_back(r);
    std::stable_sort(readers.begin(), readers.end(), [](const IncludeRead& x, const IncludeRead& y) { return include_key(x) < include_key(y); });
    readers.erase(std::unique(readers.begin(), readers.end(),
                              [](const IncludeRead& x, const IncludeRead& y) { return x.file == y.file && x.name == y.name; }),
                  readers.end());
    text += "\n\nRead by:";
    for (const IncludeRead& r : readers) text += "\n- " + files[r.file].shown + ":" + std::to_string(r.name.start.line + 1);
    return text;
}

std::string documented_hover(std::uint32_t file, const std::string& name) {
    std::string facts = hover_text(file, name);
    std::vector<Location> defined = definitions(file, name);
    if (defined.empty()) return facts;
    // The definition as the outline shows it, found among the name's own
    // occurrences: the outline of the 1,000,000-line realistic program made
    // for it took 30 of a hover's 35 ms.
    Location where;
    bool macro = false;
    if (!document_definition(defined.front().file, name, &where, &macro)) return facts;
    std::string doc = documentation_at(where, macro);
    if (doc.empty()) return facts;
    std::size_t head = facts.find("\n\n");   // the name's own line comes first
    if (head == std::string::npos) return doc + "\n\n" + facts;
    return facts.substr(0, head + 2) + doc + "\n\n" + facts.substr(head + 2);
}

bool macro_signature(std::uint32_t file, Position position, MacroSignature* found) {
    std::string text_read;
    std::string_view text = text_of(file, &text_read);
    if (position.line < 0) return false;
    std::vector<std::uint32_t> starts = line_starts(text, static_cast<std::size_t>(position.line) + 2);   // no further: asked as one types
    if (static_cast<std::size_t>(position.line) >= starts.size()) return false;
    std::string_view line = line_at(text, starts, static_cast<std::size_t>(position.line));
    std::size_t cursor = offset_of(text, starts, position) - starts[static_cast<std::size_t>(position.line)];
    std::vector<Token> tokens = tokens_of(line);
    if (has_directive(tokens, "MACRO")) return false;
    // The macro's name: the statement's first token, or its second after a label.
    std::vector<SymbolAnswer> scope = scope_symbols(file);
    const SymbolAnswer* macro = nullptr;
    std::size_t at = 0;
    for (std::size_t k = 0; k < 2 && k < tokens.size() && macro == nullptr; ++k) {
        if (tokens[k].kind != lex::TOKEN_SYMBOL) break;
        std::string_view name = line.substr(tokens[k].from, tokens[k].length);
        for (const SymbolAnswer& s : scope)
            if (s.kind == KIND_OPERATOR && s.name == name) macro = &s;
        at = k;
    }
    if (macro == nullptr) return false;
    std::size_t name_end = tokens[at].from + tokens[at].length;
    if (cursor <= name_end) return false;
    std::int32_t active = 0;
    for (std::size_t k = at + 1; k < tokens.size() && tokens[k].from < cursor; ++k) {
        if (tokens[k].comment) return false;
        if (tokens[k].kind == lex::TOKEN_OPERATOR && line[tokens[k].from] == ',') ++active;
    }
    // Its .MACRO line: the parameters after the directive, as written.
    std::string definition_read;
    std::string_view definition = text_of(macro->where.file, &definition_read);
    auto definition_line = static_cast<std::size_t>(macro->where.range.start.line);
    std::vector<std::uint32_t> definition_starts = line_starts(definition, definition_line + 2);
    if (definition_line >= definition_starts.size()) return false;
    std::string_view head = line_at(definition, definition_starts, definition_line);
    std::vector<Token> parts = tokens_of(head);
    MacroSignature signature{macro->name, {}, active};
    bool after_directive = false;
    for (const Token& t : parts) {
        if (is_directive(t, "MACRO")) {
            after_directive = true;
        } else if (after_directive && t.kind == lex::TOKEN_SYMBOL) {
            signature.label += signature.parameters.empty() ? " " : ", ";
            auto from = static_cast<std::int32_t>(signature.label.size());
            signature.label += head.substr(t.from, t.length);
            signature.parameters.emplace_back(from, static_cast<std::int32_t>(signature.label.size()));
        }
    }
    *found = std::move(signature);
    return true;
}

bool call_item_at(std::uint32_t file, Position position, CallItem* found) {
    std::string name;
    if (!symbol_at(file, position, &name)) return false;
    check_made();
    return item_of(file, name, found);
}

namespace {

std::vector<Call> incoming_of(std::uint32_t file, const std::string& name) {
    std::vector<Call> calls;
    std::vector<std::string> macros;   // the macros whose bodies call name
    std::vector<std::uint32_t> scope = scope_files(file);
    std::vector<std::vector<Mark>> named;
    marks_named(scope, name, &named);
    for (std::size_t i = 0; i < scope.size(); ++i) {
        if (std::none_of(named[i].begin(), named[i].end(), [](const Mark& m) { return m.mark == '&'; })) continue;
        const Layout& layout = layout_of(scope[i]);
        for (const Mark& m : named[i]) {
            if (m.mark != '&') continue;
            CallItem caller = caller_of(layout, m.range.start.line);
            add_call(&calls, caller, m.range);
            if (caller.kind == KIND_OPERATOR) macros.push_back(caller.name);
        }
    }
    if (macros.empty()) return calls;
    std::sort(macros.begin(), macros.end());
    macros.erase(std::unique(macros.begin(), macros.end()), macros.end());
    // Each invocation of such a macro calls name too, in the file's order
    // whichever macro it invokes.
    std::vector<std::vector<Mark>> invocations;
    for (const std::string& macro : macros) marks_named(scope, macro, &invocations);
    for (std::size_t i = 0; i < scope.size(); ++i) {
        order_marks(&invocations[i]);
        for (const Mark& m : invocations[i]) {
            CallItem caller = caller_of(layout_of(scope[i]), m.range.start.line);
            caller.detail += ", through macro " + std::string(m.name());
            add_call(&calls, caller, m.range);
        }
    }
    return calls;
}

std::vector<Call> outgoing_of(std::uint32_t file, const std::string& name) {
    std::vector<Call> calls;
    const Layout& layout = layout_of(file);
    std::uint32_t first_named, last_named;
    if (!containers_named(layout, name, &first_named, &last_named)) return calls;
    const FileDefinition* self = &layout.containers[last_named];
    // The lines whose JSRs it makes: a macro's body; a subroutine's or
    // label's lines up to the next subroutine, outside macro bodies.
    std::int32_t at = self->range.start.line;
    std::int32_t first = at, last = std::numeric_limits<std::int32_t>::max();
    bool macro = self->kind == KIND_OPERATOR;
    if (macro) {
        auto body = std::lower_bound(layout.macros.begin(), layout.macros.end(), at, [](const Fold& m, std::int32_t l) { return m.first < l; });
        if (body == layout.macros.end() || body->first != at) return calls;
        first = at + 1;
        last = body->last;
    } else {
        auto next = std::upper_bound(layout.containers.begin(), layout.containers.end(), at,
                                     [](std::int32_t l, const FileDefinition& c) { return l < c.range.start.line; });
        for (; next != layout.containers.end(); ++next)
            if (next->kind == KIND_FUNCTION) {
                last = next->range.start.line - 1;
                break;
            }
    }
    std::vector<Mark> marks = marks_between(file, first, last);
    for (auto m = marks.begin(); m != marks.end(); ++m) {
        if (!macro && macro_holding(layout, m->range.start.line) != nullptr) continue;
        CallItem callee;
        if (!item_of(file, m->name(), &callee)) continue;
        if (m->mark == '&') {
            add_call(&calls, callee, m->range);
            continue;
        }
        // A macro invoked here makes its JSRs here (one level: a macro's own
        // invocations inside its body are not followed).
        if (callee.kind != KIND_OPERATOR || macro) continue;
        for (Call& through : outgoing_of(callee.where.file, callee.name)) {
            through.item.detail += ", through macro " + callee.name;
            add_call(&calls, through.item, m->range);
        }
    }
    return calls;
}

}  // namespace

std::vector<Call> incoming_calls(std::uint32_t file, const std::string& name) {
    check_made();
    return incoming_of(file, name);
}

std::vector<Call> outgoing_calls(std::uint32_t file, const std::string& name) {
    check_made();
    return outgoing_of(file, name);
}

void semantic_tokens(std::uint32_t file, const std::function<void(const SemanticToken&)>& each) {
    // What each name of the scope is: its kind, and whether its first
    // definition gives it a value ("=" or .EQU).
    struct Role {
        int type;
        int modifiers;
    };
    std::vector<std::uint32_t> scope = scope_files(file);
    std::unordered_map<std::string_view, Role> roles;   // hashed: an ordered map's compares were 13 % of a request on bench case hex0x
    std::vector<Token> tokens;   // of a line
    std::string text_read;
    std::string_view text = text_of(file, &text_read);
    std::vector<std::uint32_t> starts = line_starts(text);
    for (std::uint32_t f : scope) {
        // The file's own text and lines are read once (its lines are 4 MB on 1,000,000).
        std::string defining_read;
        std::vector<std::uint32_t> other_starts;
        std::string_view defining = text;
        const std::vector<std::uint32_t>* defining_starts = &starts;
        if (f != file) {
            defining = text_of(f, &defining_read);
            other_starts = line_starts(defining);
            defining_starts = &other_starts;
        }
        for (const FileDefinition& s : file_definitions(f)) {
            Role r{TOKEN_TYPE_NAMESPACE, 0};
            auto line = static_cast<std::size_t>(s.range.start.line);
            if (s.kind == KIND_FUNCTION) r = Role{TOKEN_TYPE_FUNCTION, 0};
            else if (s.kind == KIND_OPERATOR) r = Role{TOKEN_TYPE_MACRO, 0};
            else if (line < defining_starts->size()) {
                int kind = definition_kind(line_at(defining, *defining_starts, line), s.name, &tokens);
                if (kind == DEFINES_CONSTANT) r = Role{TOKEN_TYPE_VARIABLE, TOKEN_MODIFIER_READONLY};
                if (kind == DEFINES_PARAMETER) r = Role{TOKEN_TYPE_PARAMETER, 0};
            }
            roles.try_emplace(s.name, r);
        }
    }
    std::vector<Mark> marks = marks_in(file, [](const analysis::Mention& o) { return o.mark == '#' || (o.flags & analysis::MENTION_PARAMETER) != 0; });   // definitions
    for (const Mark& m : marks)
        if (m.parameter) roles.try_emplace(m.name(), Role{TOKEN_TYPE_PARAMETER, 0});
    std::size_t next_mark = 0;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        std::string_view line = line_at(text, starts, i);
        auto line_number = static_cast<std::int32_t>(i);
        std::size_t done = 0;                 // bytes of the line counted so far
        std::int32_t done_characters = 0;     // and their characters
        auto add = [&](std::size_t from, std::size_t length, int type, int modifiers) {
            assert(from >= done && "tokens come in order and never overlap");
            done_characters += characters_of(line.data() + done, from - done);
            std::int32_t characters = characters_of(line.data() + from, length);
            each(SemanticToken{Position{line_number, done_characters}, characters, type, modifiers});
            done = from + length;
            done_characters += characters;
        };
        tokens_into(line, &tokens);
        for (const Token& t : tokens) {
            std::size_t from = t.from, length = t.length;
            switch (t.kind) {
            case lex::TOKEN_END:
                add(from, length, TOKEN_TYPE_COMMENT, 0);
                break;
            case lex::TOKEN_NUMBER:
                if (from > 0 && (line[from - 1] == '$' || line[from - 1] == '%' || line[from - 1] == '@')) --from, ++length;
                add(from, length, TOKEN_TYPE_NUMBER, 0);
                break;
            case lex::TOKEN_STRING:
                add(from - 1, length + 2, TOKEN_TYPE_STRING, 0);
                break;
            case lex::TOKEN_MNEMONIC:
                add(from, length, TOKEN_TYPE_KEYWORD, TOKEN_MODIFIER_DEFAULT_LIBRARY);
                break;
            case lex::TOKEN_DIRECTIVE:
                add(from - 1, length + 1, TOKEN_TYPE_MACRO, TOKEN_MODIFIER_DEFAULT_LIBRARY);
                break;
            case lex::TOKEN_RESERVED:
                add(from, length, TOKEN_TYPE_VARIABLE, TOKEN_MODIFIER_DEFAULT_LIBRARY);
                break;
            case lex::TOKEN_SYMBOL: {
                if (length == 0) break;
                std::string_view name = line.substr(from, length);
                std::int32_t character = done_characters + characters_of(line.data() + done, from - done);
                while (next_mark < marks.size() && std::make_pair(marks[next_mark].range.start.line, marks[next_mark].range.start.character) <
                                                       std::make_pair(line_number, character))
                    ++next_mark;
                bool defined_here = next_mark < marks.size() && marks[next_mark].range.start.line == line_number &&
                                    marks[next_mark].range.start.character == character && marks[next_mark].mark == '#';
                auto role = roles.find(name);
                Role r = role == roles.end() ? Role{TOKEN_TYPE_VARIABLE, 0} : role->second;
                if (r.type == TOKEN_TYPE_NAMESPACE && !defined_here) r.type = TOKEN_TYPE_VARIABLE;   // a label only where defined
                if (defined_here) r.modifiers |= TOKEN_MODIFIER_DECLARATION | TOKEN_MODIFIER_DEFINITION;
                add(from, length, r.type, r.modifiers);
                break;
            }
            default:
                break;
            }
        }
    }
}

std::vector<CallLens> call_lenses(std::uint32_t file) {
    std::vector<CallLens> lenses;
    if (!settings.code_lens) return lenses;
    std::vector<std::string> names;
    for (const FileDefinition& s : file_definitions(file)) {
        if (s.kind != KIND_FUNCTION || std::find(names.begin(), names.end(), s.name) != names.end()) continue;
        names.push_back(std::string(s.name));
        lenses.push_back(CallLens{s.range, {}});
    }
    if (lenses.empty()) return lenses;
    std::vector<std::uint32_t> scope = scope_files(file);
    std::sort(scope.begin(), scope.end(), [](std::uint32_t x, std::uint32_t y) { return files[x].path < files[y].path; });
    for (std::uint32_t f : scope)
        for (const Mark& m : marks_in(f, [](const analysis::Mention& o) { return o.mark == '&'; })) {
            auto at = std::find(names.begin(), names.end(), m.name());
            if (at != names.end()) lenses[static_cast<std::size_t>(at - names.begin())].calls.push_back(Location{f, m.range});
        }
    return lenses;
}

}  // namespace lsp
