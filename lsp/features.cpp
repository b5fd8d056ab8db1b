// The answers: each a short reader of the index of the analyses in a file's
// scope.  A place read by two main sources is given once.
#include <algorithm>
#include <string_view>
#include <tuple>

#include "lex/lex.h"
#include "lsp/lsp.h"
#include "platform/platform.h"

namespace lsp {

namespace {

constexpr int MAX_HOVER_DEFINITIONS = 10;   // definitions a hover shows line by line

// An occurrence of an analysis, with where the editor sees it, worked out
// once (a sort of a much-used name's 100,000s asks for each many times).
struct Place {
    const Analysis* analysis;
    std::uint32_t index;       // its occurrence's
    std::uint32_t in_file;
    Range at;
    std::uint32_t file() const { return in_file; }
    Range range() const { return at; }
    char mark() const { return occurrence(*analysis, index).mark; }
};

Place place_of(const Analysis& a, std::uint32_t k) { return Place{&a, k, file_of(a, k), range_of(a, k)}; }

// Places in order of their file's path, then of their position.
auto place_key(std::uint32_t file, const Range& r) {
    return std::make_tuple(std::string_view(files[file].path), r.start.line, r.start.character);
}

// Every occurrence of name in the scope of file, each place once, in file
// and position order.
std::vector<Place> occurrences_of(std::uint32_t file, std::string_view name) {
    std::vector<Place> found;
    for (const Analysis* a : scope_of(file)) {
        std::uint32_t id;
        if (!find_name(*a, name, &id)) continue;
        for (std::uint32_t k = a->symbol_first[id]; k < a->symbol_first[id + 1]; ++k) found.push_back(place_of(*a, a->by_symbol[k]));
    }
    auto less = [](const Place& x, const Place& y) { return place_key(x.file(), x.range()) < place_key(y.file(), y.range()); };
    std::stable_sort(found.begin(), found.end(), less);
    found.erase(std::unique(found.begin(), found.end(), [&less](const Place& x, const Place& y) { return !less(x, y) && !less(y, x); }),
                found.end());
    return found;
}

// Kind of a defined name: a macro, a subroutine (called by JSR somewhere in
// the scope) or another name.
int kind_of(const Analysis& a, std::uint32_t id) {
    if (a.facts[id].kind == 'M') return KIND_OPERATOR;
    return a.facts[id].calls > 0 ? KIND_FUNCTION : KIND_CONSTANT;
}

std::string place_text(const Place& p) { return files[p.file()].shown + ":" + std::to_string(p.range().start.line + 1); }

// The longest run of backticks in text.
std::size_t longest_backticks(std::string_view text) {
    std::size_t longest = 0, run = 0;
    for (char c : text) {
        run = c == '`' ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

// text as a Markdown code span: shown as it is, never a link, an image or
// markup, whatever a file name holds.  A control character (a line end
// would start a block) shows as U+FFFD.
std::string code_span(std::string_view text) {
    std::string shown;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) shown += "\xEF\xBF\xBD";
        else shown += c;
    }
    std::string ticks(longest_backticks(shown) + 1, '`');
    bool pad = shown.empty() || shown.front() == '`' || shown.back() == '`' || shown.front() == ' ';
    return ticks + (pad ? " " : "") + shown + (pad ? " " : "") + ticks;
}

// line as a Markdown code block: its fence is longer than any run of
// backticks in it.
std::string code_block(std::string_view line) {
    std::string fence(std::max<std::size_t>(3, longest_backticks(line) + 1), '`');
    return fence + "\n" + std::string(line) + "\n" + fence + "\n";
}

// The index of the first '#' occurrence of name id in a, or false.
bool first_definition(const Analysis& a, std::uint32_t id, std::uint32_t* index) {
    for (std::uint32_t slot = a.symbol_first[id]; slot < a.symbol_first[id + 1]; ++slot) {
        std::uint32_t k = a.by_symbol[slot];
        if (occurrence(a, k).mark == '#') {
            *index = k;
            return true;
        }
    }
    return false;
}

SymbolAnswer answer_of(const Analysis& a, std::uint32_t id, const Place& definition) {
    return SymbolAnswer{std::string(a.names[id]), kind_of(a, id), Location{definition.file(), definition.range()}, place_text(definition)};
}

std::string upper_text(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = lex::to_upper(c);
    return u;
}

// Whether text is exactly one symbol token as the tokenizer reads it.
bool is_one_symbol(const std::string& text) {
    return lex::is_one_symbol(text.data(), text.size(), static_cast<std::size_t>(input::LINE_BUFFER_SIZE - 2));
}

// Whether text, letter case aside, is a mnemonic, a pseudo-instruction (with
// or without its dot) or a reserved word.
bool is_keyword(const std::string& text) {
    std::string_view bare = text[0] == '.' ? std::string_view(text).substr(1) : std::string_view(text);
    std::int32_t row;
    if (lex::find_directive(bare.data(), static_cast<int>(bare.size())) >= 0) return true;
    return lex::classify_identifier(text.data(), static_cast<int>(text.size()), &row) != lex::TOKEN_SYMBOL;
}

}  // namespace

bool find_name(const Analysis& a, std::string_view name, std::uint32_t* id) {
    auto at = std::lower_bound(a.names.begin(), a.names.end(), name);   // in byte order: the table's
    if (at == a.names.end() || *at != name) return false;
    *id = static_cast<std::uint32_t>(at - a.names.begin());
    return true;
}

bool symbol_at(std::uint32_t file, Position position, std::string* name) {
    for (const Analysis* a : scope_of(file)) {
        // The first occurrence in file that does not end before position.
        auto at = std::lower_bound(a->by_place.begin(), a->by_place.end(), position, [a, file](std::uint32_t k, Position p) {
            std::uint32_t f = file_of(*a, k);
            if (f != file) return f < file;
            Range r = range_of(*a, k);
            return std::make_tuple(r.end.line, r.end.character) < std::make_tuple(p.line, p.character);
        });
        if (at == a->by_place.end()) continue;
        Range r = range_of(*a, *at);
        if (file_of(*a, *at) != file ||
            std::make_tuple(r.start.line, r.start.character) > std::make_tuple(position.line, position.character))
            continue;
        *name = std::string(a->names[symbol_of(*a, *at)]);
        return true;
    }
    return false;
}

std::vector<Location> definitions(std::uint32_t file, const std::string& name) {
    std::vector<Location> found;
    for (const Place& p : occurrences_of(file, name))
        if (p.mark() == '#') found.push_back(Location{p.file(), p.range()});
    return found;
}

std::vector<Location> references(std::uint32_t file, const std::string& name, bool with_definitions) {
    std::vector<Location> found;
    for (const Place& p : occurrences_of(file, name))
        if (with_definitions || p.mark() != '#') found.push_back(Location{p.file(), p.range()});
    return found;
}

std::vector<std::pair<Range, bool>> highlights(std::uint32_t file, const std::string& name) {
    std::vector<std::pair<Range, bool>> found;
    for (const Place& p : occurrences_of(file, name))
        if (p.file() == file) found.emplace_back(p.range(), p.mark() == '#');
    return found;
}

std::string hover_text(std::uint32_t file, const std::string& name) {
    std::vector<Place> all = occurrences_of(file, name);
    int definitions = 0, calls = 0, uses = 0;
    bool macro = false;
    for (const Place& p : all) {
        if (p.mark() == '#') ++definitions;
        else if (p.mark() == '&') ++calls;
        else ++uses;
    }
    std::string text = "`" + name + "`";
    for (const Analysis* a : scope_of(file)) {
        std::uint32_t id;
        if (find_name(*a, name, &id) && a->facts[id].kind == 'M') macro = true;
    }
    if (macro) text += " (macro)";
    text += "\n\n";
    int shown = 0;
    for (const Place& p : all) {
        if (p.mark() != '#' || shown++ == MAX_HOVER_DEFINITIONS) continue;
        std::string line;
        for (const Analysis* a : scope_of(p.file())) {
            std::uint32_t id, k;
            if (line.empty() && find_name(*a, name, &id) && first_definition(*a, id, &k) && a == p.analysis && k == p.index)
                line = a->definition_texts[id];
        }
        text += "Defined at " + code_span(place_text(p)) + (line.empty() ? "\n\n" : ":\n\n" + code_block(line) + "\n");
    }
    if (definitions == 0) text += "Never defined\n\n";
    text += std::to_string(definitions) + (definitions == 1 ? " definition, " : " definitions, ") + std::to_string(calls) +
            (calls == 1 ? " call (&), " : " calls (&), ") + std::to_string(uses) + (uses == 1 ? " other use" : " other uses");
    return text;
}

std::vector<FileDefinition> file_definitions(std::uint32_t file) {
    std::vector<FileDefinition> found;
    for (const Analysis* a : scope_of(file)) {
        auto from = std::lower_bound(a->by_place.begin(), a->by_place.end(), file,
                                     [a](std::uint32_t k, std::uint32_t f) { return file_of(*a, k) < f; });
        for (auto k = from; k != a->by_place.end() && file_of(*a, *k) == file; ++k)
            if (occurrence(*a, *k).mark == '#' && !is_parameter(*a, *k)) {   // a macro's parameter is no symbol of the file
                std::uint32_t id = symbol_of(*a, *k);
                found.push_back(FileDefinition{a->names[id], kind_of(*a, id), range_of(*a, *k)});
            }
    }
    if (scope_of(file).size() < 2) return found;
    auto key = [](const FileDefinition& x) { return std::make_tuple(x.range.start.line, x.range.start.character, x.name); };
    std::stable_sort(found.begin(), found.end(), [&key](const FileDefinition& x, const FileDefinition& y) { return key(x) < key(y); });
    // The same definition seen by two main sources: a subroutine in either is one.
    std::size_t kept = 0;
    for (const FileDefinition& d : found) {
        if (kept > 0 && key(found[kept - 1]) == key(d)) {
            if (d.kind == KIND_FUNCTION) found[kept - 1].kind = KIND_FUNCTION;
            continue;
        }
        found[kept++] = d;
    }
    found.resize(kept);
    return found;
}

std::vector<SymbolAnswer> document_symbols(std::uint32_t file) {
    std::vector<SymbolAnswer> found;
    for (const FileDefinition& d : file_definitions(file))
        found.push_back(SymbolAnswer{std::string(d.name), d.kind, Location{file, d.range}, files[file].shown + ":" + std::to_string(d.range.start.line + 1)});
    return found;
}

bool document_definition(std::uint32_t file, const std::string& name, Location* where, bool* macro) {
    bool found = false;
    int kind = KIND_CONSTANT;
    for (const Analysis* a : scope_of(file)) {
        std::uint32_t id;
        if (!find_name(*a, name, &id)) continue;
        for (std::uint32_t slot = a->symbol_first[id]; slot < a->symbol_first[id + 1]; ++slot) {
            std::uint32_t k = a->by_symbol[slot];
            if (occurrence(*a, k).mark != '#' || is_parameter(*a, k) || file_of(*a, k) != file) continue;
            Range r = range_of(*a, k);
            auto key = std::make_tuple(r.start.line, r.start.character);
            auto best = [where] { return std::make_tuple(where->range.start.line, where->range.start.character); };
            if (!found || key < best()) {
                *where = Location{file, r};
                kind = kind_of(*a, id);
                found = true;
            } else if (key == best() && kind_of(*a, id) == KIND_FUNCTION) {
                kind = KIND_FUNCTION;   // as document_symbols gives a definition two main sources see
            }
        }
    }
    *macro = kind == KIND_OPERATOR;
    return found;
}

std::vector<SymbolAnswer> workspace_symbols(std::string_view query) {
    std::string wanted = upper_text(query);
    std::vector<SymbolAnswer> found;
    for (const Analysis& a : analyses) {
        for (std::uint32_t id = 0; id < a.names.size(); ++id) {
            std::uint32_t k;
            if (first_definition(a, id, &k) && !is_parameter(a, k) && upper_text(a.names[id]).find(wanted) != std::string::npos)
                found.push_back(answer_of(a, id, place_of(a, k)));
        }
    }
    auto key = [](const SymbolAnswer& x) { return std::tuple_cat(std::tie(x.name), place_key(x.where.file, x.where.range)); };
    std::stable_sort(found.begin(), found.end(), [&key](const SymbolAnswer& x, const SymbolAnswer& y) { return key(x) < key(y); });
    found.erase(std::unique(found.begin(), found.end(), [&key](const SymbolAnswer& x, const SymbolAnswer& y) { return key(x) == key(y); }),
                found.end());
    if (found.size() > MAX_WORKSPACE_SYMBOLS) found.resize(MAX_WORKSPACE_SYMBOLS);
    return found;
}

std::vector<SymbolAnswer> scope_symbols(std::uint32_t file) {
    std::vector<SymbolAnswer> found;
    for (const Analysis* a : scope_of(file)) {
        for (std::uint32_t id = 0; id < a->names.size(); ++id) {
            std::uint32_t k;
            SymbolAnswer s{std::string(a->names[id]), KIND_CONSTANT, Location{}, "not defined"};
            if (first_definition(*a, id, &k)) s = answer_of(*a, id, place_of(*a, k));
            found.push_back(std::move(s));
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const SymbolAnswer& x, const SymbolAnswer& y) { return x.name < y.name; });
    found.erase(std::unique(found.begin(), found.end(), [](const SymbolAnswer& x, const SymbolAnswer& y) { return x.name == y.name; }),
                found.end());
    return found;
}

std::string rename_refusal(std::uint32_t file, const std::string& name) {
    for (const Analysis* a : scope_of(file))
        if (std::binary_search(a->names_after_cut.begin(), a->names_after_cut.end(), name))
            return name + " also stands after the cut of a line longer than 254 characters, where velxref cannot see it: "
                          "the rename could not be complete";
    return std::string();
}

std::string cut_refusal(std::uint32_t file, const std::string& name, const std::string& new_name) {
    std::int64_t growth = static_cast<std::int64_t>(new_name.size()) - static_cast<std::int64_t>(name.size());
    if (growth == 0) return std::string();
    for (const Analysis* a : scope_of(file)) {
        std::uint32_t id;
        if (!find_name(*a, name, &id)) continue;
        std::uint32_t checked = UINT32_MAX;   // the line of the last occurrence checked: a line holds the name maybe many times
        for (std::uint32_t slot = a->symbol_first[id]; slot < a->symbol_first[id + 1]; ++slot) {
            std::uint32_t k = a->by_symbol[slot];
            std::uint32_t first = k;
            while ((occurrence(*a, first).flags & analysis::MENTION_LINE_FIRST) == 0) --first;
            if (first == checked) continue;
            checked = first;
            std::int64_t times = 0;
            for (std::uint32_t j = first; j < occurrence_count(*a) && (j == first || (occurrence(*a, j).flags & analysis::MENTION_LINE_FIRST) == 0); ++j)
                times += occurrence(*a, j).symbol == occurrence(*a, k).symbol;
            const analysis::Mention& line = occurrence(*a, first);
            std::string where = place_text(place_of(*a, k));
            if ((line.flags & analysis::MENTION_LINE_CUT) != 0)
                return "Renaming " + name + " to " + new_name + " would change what velxref reads of " + where +
                       ", a line longer than 254 characters";
            if (line.line_length + times * growth > 254)
                return "Renaming " + name + " to " + new_name + " would make " + where +
                       " longer than 254 characters, and velxref would no longer read its end";
        }
    }
    return std::string();
}

std::string new_name_refusal(std::uint32_t file, const std::string& new_name) {
    if (!is_one_symbol(new_name)) return "\"" + new_name + "\" is not one symbol";
    if (is_keyword(new_name)) return new_name + " is a mnemonic, pseudo-instruction or reserved word";
    for (const Analysis* a : scope_of(file)) {
        std::uint32_t id;
        if (find_name(*a, new_name, &id)) return new_name + " already names a symbol of this program";
    }
    return std::string();
}

std::vector<Edit> rename_edits(std::uint32_t file, const std::string& name) {
    std::vector<Edit> edits;
    for (const Place& p : occurrences_of(file, name)) edits.push_back(Edit{p.file(), p.range()});
    return edits;
}

std::string stale_refusal(const std::vector<Edit>& edits, const std::string& name) {
    std::size_t from = 0;
    while (from < edits.size()) {
        std::uint32_t file = edits[from].file;
        std::string disk;
        if (!files[file].open && !platform::read_file(files[file].path.c_str(), &disk))
            return files[file].shown + " cannot be read: the rename could not be checked";
        const std::string& text = files[file].open ? files[file].text : disk;
        std::size_t last = 0;
        for (std::size_t i = from; i < edits.size() && edits[i].file == file; ++i)
            last = std::max<std::size_t>(last, static_cast<std::size_t>(std::max(edits[i].range.end.line, 0)));
        std::vector<std::uint32_t> starts = line_starts(text, last + 2);
        for (; from < edits.size() && edits[from].file == file; ++from) {
            std::size_t start = offset_of(text, starts, edits[from].range.start);
            std::size_t end = offset_of(text, starts, edits[from].range.end);
            std::string found;
            for (std::size_t i = start; i < end; ++i)
                if (text[i] != '\r') found += text[i];   // a lone CR inside a name: the reader drops it
            if (found != name)
                return files[file].shown + ":" + std::to_string(edits[from].range.start.line + 1) + " no longer holds " + name +
                       " where velxref read it: the rename waits for the files to be analysed again";
        }
    }
    return std::string();
}

std::string outside_refusal(const std::vector<Edit>& edits) {
    constexpr std::size_t SHOWN = 10;   // files the refusal names
    std::vector<std::uint32_t> outside;
    for (const Edit& e : edits)
        if (!in_project(e.file) && std::find(outside.begin(), outside.end(), e.file) == outside.end()) outside.push_back(e.file);
    if (outside.empty()) return std::string();
    std::string text = "The rename would change files outside the project:";
    for (std::size_t i = 0; i < outside.size() && i < SHOWN; ++i) text += (i == 0 ? " " : ", ") + files[outside[i]].path;
    if (outside.size() > SHOWN) text += " and " + std::to_string(outside.size() - SHOWN) + " more";
    return text;
}

}  // namespace lsp
