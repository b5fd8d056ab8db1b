// The answers: each a short reader of the index of the analyses in a file's
// scope.  A place read by two main sources is given once.
#include <algorithm>
#include <string_view>
#include <tuple>

#include "lex/lex.h"
#include "lsp/lsp.h"

namespace lsp {

namespace {

constexpr int MAX_HOVER_DEFINITIONS = 10;   // definitions a hover shows line by line

// A name's index in a, or false.
bool find_name(const Analysis& a, std::string_view name, std::uint32_t* id) {
    auto at = std::lower_bound(a.sorted_names.begin(), a.sorted_names.end(), name,
                               [&a](std::uint32_t k, std::string_view n) { return a.names[k] < n; });
    if (at == a.sorted_names.end() || a.names[*at] != name) return false;
    *id = *at;
    return true;
}

// An occurrence of an analysis; where the editor sees it is worked out
// when asked (a much-used name has 100,000s).
struct Place {
    const Analysis* analysis;
    std::uint32_t index;       // into analysis->occurrences
    std::uint32_t file() const { return file_of(*analysis, index); }
    Range range() const { return range_of(*analysis, index); }
    char mark() const { return analysis->occurrences[index].mark; }
};

Place place_of(const Analysis& a, std::uint32_t k) { return Place{&a, k}; }

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

// The index of the first '#' occurrence of name id in a, or false.
bool first_definition(const Analysis& a, std::uint32_t id, std::uint32_t* index) {
    for (std::uint32_t slot = a.symbol_first[id]; slot < a.symbol_first[id + 1]; ++slot) {
        std::uint32_t k = a.by_symbol[slot];
        if (a.occurrences[k].mark == '#') {
            *index = k;
            return true;
        }
    }
    return false;
}

SymbolAnswer answer_of(const Analysis& a, std::uint32_t id, const Place& definition) {
    return SymbolAnswer{a.names[id], kind_of(a, id), Location{definition.file(), definition.range()}, place_text(definition)};
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
        *name = a->names[a->occurrences[*at].symbol];
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
        text += "Defined at " + place_text(p) + (line.empty() ? "\n\n" : ":\n\n```\n" + line + "\n```\n\n");
    }
    if (definitions == 0) text += "Never defined\n\n";
    text += std::to_string(definitions) + (definitions == 1 ? " definition, " : " definitions, ") + std::to_string(calls) +
            (calls == 1 ? " call (&), " : " calls (&), ") + std::to_string(uses) + (uses == 1 ? " other use" : " other uses");
    return text;
}

std::vector<SymbolAnswer> document_symbols(std::uint32_t file) {
    std::vector<SymbolAnswer> found;
    for (const Analysis* a : scope_of(file)) {
        auto from = std::lower_bound(a->by_place.begin(), a->by_place.end(), file,
                                     [a](std::uint32_t k, std::uint32_t f) { return file_of(*a, k) < f; });
        for (auto k = from; k != a->by_place.end() && file_of(*a, *k) == file; ++k)
            if (a->occurrences[*k].mark == '#' && !a->occurrences[*k].parameter)   // a macro's parameter is no symbol of the file
                found.push_back(answer_of(*a, a->occurrences[*k].symbol, place_of(*a, *k)));
    }
    if (scope_of(file).size() < 2) return found;
    auto key = [](const SymbolAnswer& x) { return std::tuple_cat(place_key(x.where.file, x.where.range), std::tie(x.name)); };
    std::stable_sort(found.begin(), found.end(), [&key](const SymbolAnswer& x, const SymbolAnswer& y) { return key(x) < key(y); });
    // The same definition seen by two main sources: a subroutine in either is one.
    std::vector<SymbolAnswer> once;
    for (SymbolAnswer& s : found) {
        if (!once.empty() && key(once.back()) == key(s)) {
            if (s.kind == KIND_FUNCTION) once.back().kind = KIND_FUNCTION;
            continue;
        }
        once.push_back(std::move(s));
    }
    return once;
}

std::vector<SymbolAnswer> workspace_symbols(std::string_view query) {
    std::string wanted = upper_text(query);
    std::vector<SymbolAnswer> found;
    for (const Analysis& a : analyses) {
        for (std::uint32_t id : a.sorted_names) {
            std::uint32_t k;
            if (first_definition(a, id, &k) && !a.occurrences[k].parameter && upper_text(a.names[id]).find(wanted) != std::string::npos)
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
        for (std::uint32_t id : a->sorted_names) {
            std::uint32_t k;
            SymbolAnswer s{a->names[id], KIND_CONSTANT, Location{}, "not defined"};
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

}  // namespace lsp
