// JSON-RPC 2.0 over the channel: the one place where JSON becomes the
// server's records and back, the table from method to handler, and the
// protocol's rules around them (initialize first, shutdown before exit).
#include <charconv>
#include <functional>

#include <nlohmann/json.hpp>

#include "lex/lex.h"
#include "lsp/lsp.h"
#include "platform/platform.h"

namespace lsp {

namespace {

using json = nlohmann::json;

// What a handler throws to answer with an error.
struct RequestError {
    int code;
    std::string message;
};

constexpr int COMPLETION_FUNCTION = 3;
constexpr int COMPLETION_KEYWORD = 14;
constexpr int COMPLETION_CONSTANT = 21;
constexpr int COMPLETION_OPERATOR = 24;
constexpr int SYNC_INCREMENTAL = 2;
constexpr int MESSAGE_TYPE_WARNING = 2;

bool exit_received = false;   // exit came: serve returns
bool watch_files = false;     // the client registers file watchers dynamically
bool watchers_registered = false;   // the registration was sent: once a session
bool lens_refresh = false;    // the client takes workspace/codeLens/refresh
int lens_refreshes = 0;       // refreshes asked for this session: each request's id
bool workspace_due = false;   // initialize was answered: the workspace is to be analysed
std::string due_root;         // the root initialize named

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

void send(const json& message) { write_framed(dump(message)); }

void notify(const char* method, json params) { send(json{{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}}); }

void reply_error(const json& id, int code, const std::string& message) {
    send(json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}});
}

void log_message(const std::string& text) { notify("window/logMessage", json{{"type", MESSAGE_TYPE_WARNING}, {"message", text}}); }

// What the workspace has to tell the user, in one window/showMessage.
void show_notices() {
    if (notices.empty()) return;
    std::string text;
    for (const std::string& n : notices) text += (text.empty() ? "" : "\n") + n;
    notices.clear();
    notify("window/showMessage", json{{"type", MESSAGE_TYPE_WARNING}, {"message", "velxref: " + text}});
}

// The settings of value (the section velxref, or an object holding it as
// "velxref"): a member of the wrong type is left at its default and named in
// one notice; an unknown member is passed over.
void take_settings(const json& value) {
    const json* section = &value;
    if (value.is_object() && value.contains("velxref")) section = &value["velxref"];
    settings = Settings{};
    if (section->is_null()) return;
    std::vector<std::string> wrong;
    if (!section->is_object()) {
        notices.push_back("the settings must be an object: they are not taken");
        return;
    }
    auto strings = [&](const char* key, std::vector<std::string>* to, bool* has) {
        auto found = section->find(key);
        if (found == section->end() || found->is_null()) return;
        bool ok = found->is_array();
        if (ok)
            for (const json& item : *found) ok = ok && item.is_string();
        if (!ok) return wrong.push_back(std::string("\"") + key + "\" must be an array of strings");
        for (const json& item : *found) to->push_back(item.get<std::string>());
        if (has != nullptr) *has = true;
    };
    strings("mainSources", &settings.sources, &settings.has_sources);
    strings("exclude", &settings.excludes, &settings.has_excludes);
    strings("extensions", &settings.extensions, nullptr);
    auto lens = section->find("codeLens");
    if (lens != section->end() && !lens->is_null()) {
        if (lens->is_boolean()) settings.code_lens = lens->get<bool>();
        else wrong.push_back("\"codeLens\" must be true or false");
    }
    auto diagnostics = section->find("diagnostics");
    if (diagnostics != section->end() && !diagnostics->is_null()) {
        static const std::pair<const char*, int> CLASSES[] = {
            {"includeFailures", CLASS_INCLUDE}, {"undefined", CLASS_UNDEFINED}, {"unused", CLASS_UNUSED}, {"cutLines", CLASS_CUT}};
        if (!diagnostics->is_object()) wrong.push_back("\"diagnostics\" must be an object");
        else
            for (const auto& [key, kind] : CLASSES) {
                auto on = diagnostics->find(key);
                if (on == diagnostics->end() || on->is_null()) continue;
                if (on->is_boolean()) settings.enabled[kind] = on->get<bool>();
                else wrong.push_back(std::string("\"diagnostics.") + key + "\" must be true or false");
            }
    }
    if (wrong.empty()) return;
    std::string text = "in the settings, ";
    for (std::size_t i = 0; i < wrong.size(); ++i) text += (i > 0 ? ", " : "") + wrong[i];
    notices.push_back(text + ": the rest is taken");
}

// Members of params, each refused with -32602 when missing or of another type
// (mutable_member for a member whose text is moved out of the message).
const json& member(const json& object, const char* key) {
    if (!object.is_object()) throw RequestError{ERROR_INVALID_PARAMS, "an object was expected"};
    auto found = object.find(key);
    if (found == object.end()) throw RequestError{ERROR_INVALID_PARAMS, std::string("\"") + key + "\" is missing"};
    return *found;
}

json& mutable_member(json& object, const char* key) {
    if (!object.is_object()) throw RequestError{ERROR_INVALID_PARAMS, "an object was expected"};
    auto found = object.find(key);
    if (found == object.end()) throw RequestError{ERROR_INVALID_PARAMS, std::string("\"") + key + "\" is missing"};
    return *found;
}

std::string text_member(const json& object, const char* key) {
    const json& value = member(object, key);
    if (!value.is_string()) throw RequestError{ERROR_INVALID_PARAMS, std::string("\"") + key + "\" must be a string"};
    return value.get<std::string>();
}

std::int32_t number_member(const json& object, const char* key) {
    const json& value = member(object, key);
    if (!value.is_number_integer() || value.get<std::int64_t>() < 0 || value.get<std::int64_t>() > INT32_MAX)
        throw RequestError{ERROR_INVALID_PARAMS, std::string("\"") + key + "\" must be a number from 0"};
    return static_cast<std::int32_t>(value.get<std::int64_t>());
}

Position position_member(const json& object, const char* key) {
    const json& p = member(object, key);
    return Position{number_member(p, "line"), number_member(p, "character")};
}

Range range_member(const json& object, const char* key) {
    const json& r = member(object, key);
    return Range{position_member(r, "start"), position_member(r, "end")};
}

// The file of params.textDocument.uri; NO_FILE for one the server has not
// met unless make (only an opened document is worth keeping: 100,000 URIs
// a client mentioned once each took 33 MB and a search each).
std::uint32_t document_of(const json& params, bool make = false) {
    std::string uri = text_member(member(params, "textDocument"), "uri");
    std::uint32_t file;
    if (!file_of_uri(uri, &file, make)) throw RequestError{ERROR_INVALID_PARAMS, "not a file: URI: " + uri};
    return file;
}

json position_json(Position p) { return json{{"line", p.line}, {"character", p.character}}; }
json range_json(const Range& r) { return json{{"start", position_json(r.start)}, {"end", position_json(r.end)}}; }
json location_json(const Location& l) { return json{{"uri", files[l.file].uri}, {"range", range_json(l.range)}}; }

// What a handler answers: a value, a list of locations, or a writer of a
// large answer (a document's symbols, a scope's completions): dispatch
// writes a list a piece at a time, as dump would write it,
// without the thousands of small objects a value of the list would be nor
// the whole text at once.
struct Answer {
    Answer(json v) : value(std::move(v)) {}
    Answer(std::nullptr_t) {}
    Answer(std::vector<Location> found) : locations(std::move(found)), is_locations(true) {}
    json value;
    std::vector<Location> locations;
    bool is_locations = false;
    Answer(std::function<void(const json& id)> w) : write(std::move(w)) {}
    std::function<void(const json& id)> write;   // writes the whole response to a request, a piece at a time:
                                                  // the symbols of a 51 MB source took 1.1 GB as a value
};

void append_position(std::string* out, Position p) {
    char digits[16];
    *out += "{\"character\":";
    out->append(digits, std::to_chars(digits, digits + sizeof digits, p.character).ptr);
    *out += ",\"line\":";
    out->append(digits, std::to_chars(digits, digits + sizeof digits, p.line).ptr);
    *out += '}';
}

void append_range(std::string* out, const Range& r) {
    *out += "{\"end\":";
    append_position(out, r.end);
    *out += ",\"start\":";
    append_position(out, r.start);
    *out += '}';
}

// Writes one message: head, then what format(i, &item) makes of each i
// below count (a comma before all but the first), then tail; its length is
// counted first, then it is written in pieces of about 64 KiB.  A large
// list is never held as one text (the references of a much-used name on the
// 1,000,000-line source made 11 MB, held three times over while written).
template <typename Format>
void write_in_pieces(std::string piece, std::size_t count, Format format, const std::string& tail) {
    std::string item;
    std::size_t length = piece.size() + tail.size();
    for (std::size_t i = 0; i < count; ++i) {
        item.clear();
        if (i > 0) item += ',';
        format(i, &item);
        length += item.size();
    }
    write_header(length);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) piece += ',';
        format(i, &piece);
        if (piece.size() >= 65536) {
            write_bytes(piece);
            piece.clear();
        }
    }
    piece += tail;
    write_bytes(piece);
}

// A message's text made before its length is known, held in pieces of
// about 1 MiB and then written behind its header: never copied to grow (the
// semantic tokens of the 1,000,000-line realistic program are 27 MB, and
// took 55 MB while one string grew).
constexpr std::size_t HELD_PIECE = 1 << 20;

struct HeldText {
    std::vector<std::string> pieces{std::string()};

    // The piece to append the next few bytes to.
    std::string& text() {
        if (pieces.back().size() >= HELD_PIECE) {
            pieces.emplace_back();
            pieces.back().reserve(HELD_PIECE + 256);
        }
        return pieces.back();
    }
    void write() const {
        if (pieces.size() == 1) return write_framed(pieces.front());
        std::size_t length = 0;
        for (const std::string& p : pieces) length += p.size();
        write_header(length);
        for (const std::string& p : pieces) write_bytes(p);
    }
};

std::string response_head(const json& id) { return "{\"id\":" + dump(id) + ",\"jsonrpc\":\"2.0\",\"result\":"; }

// Writes the answer to request id whose result is the list found.
void write_locations(const json& id, const std::vector<Location>& found) {
    std::vector<std::string> uris(files.size());   // each file's URI as a JSON string, once
    write_in_pieces("{\"id\":" + dump(id) + ",\"jsonrpc\":\"2.0\",\"result\":[", found.size(),
                    [&uris, &found](std::size_t i, std::string* out) {
                        const Location& l = found[i];
                        if (uris[l.file].empty()) uris[l.file] = dump(json(files[l.file].uri));
                        *out += "{\"range\":";
                        append_range(out, l.range);
                        *out += ",\"uri\":";
                        *out += uris[l.file];
                        *out += '}';
                    },
                    "]}");
}

// Publishes the diagnostics of file when they differ from those it has, or
// when always (a client may drop what came before it opened the document,
// and waits for a list, empty too, once it has).
// Written a piece at a time, without a value of the list: the diagnostics
// of the 1,000,000-line source took 37 MB as a value, the peak of the server.
void publish(std::uint32_t file, bool always = false) {
    std::vector<Diagnostic> found = diagnostics_of(file);
    if (found == files[file].published && !always) return;
    files[file].published = std::move(found);
    const std::vector<Diagnostic>& list = files[file].published;
    write_in_pieces("{\"jsonrpc\":\"2.0\",\"method\":\"textDocument/publishDiagnostics\",\"params\":{\"diagnostics\":[",
                    list.size(),
                    [&list](std::size_t i, std::string* out) {
                        const Diagnostic& d = list[i];
                        *out += "{\"message\":";
                        *out += dump(json(d.message));
                        *out += ",\"range\":";
                        append_range(out, d.range);
                        *out += ",\"severity\":";
                        *out += std::to_string(d.severity);
                        *out += ",\"source\":\"velxref\"";
                        if (d.unnecessary) *out += ",\"tags\":[1]";
                        *out += '}';
                    },
                    "],\"uri\":" + dump(json(files[file].uri)) + "}}");
}

void publish_all(const std::vector<std::uint32_t>& touched) {
    for (std::uint32_t f : touched) publish(f);
}

// The symbol under params.position, or a refusal with reason.
bool symbol_under(const json& params, std::uint32_t* file, std::string* name) {
    *file = document_of(params);
    return symbol_at(*file, position_member(params, "position"), name);
}

// The root of initialize: the first workspace folder, else rootUri, else rootPath.
std::string root_of(const json& params) {
    auto folders = params.find("workspaceFolders");
    if (folders != params.end() && folders->is_array() && !folders->empty()) {
        std::string path = path_of_uri(text_member(folders->at(0), "uri"));
        if (!path.empty()) return path;
    }
    auto uri = params.find("rootUri");
    if (uri != params.end() && uri->is_string()) return path_of_uri(uri->get<std::string>());
    auto path = params.find("rootPath");
    if (path != params.end() && path->is_string() && !path->get<std::string>().empty())
        return platform::full_path(path->get<std::string>().c_str());
    return std::string();
}

Answer on_initialize(json& params) {
    if (!params.is_object()) throw RequestError{ERROR_INVALID_PARAMS, "an object was expected"};
    std::string encoding = "utf-16";
    auto caps = params.find("capabilities");
    if (caps != params.end() && caps->is_object()) {
        auto general = caps->find("general");
        if (general != caps->end() && general->is_object()) {
            auto encodings = general->find("positionEncodings");
            if (encodings != general->end() && encodings->is_array())
                for (const json& e : *encodings)
                    if (e == "utf-8") encoding = "utf-8";
        }
        auto ws = caps->find("workspace");
        if (ws != caps->end() && ws->is_object()) {
            auto w = ws->find("didChangeWatchedFiles");
            watch_files = w != ws->end() && w->is_object() && w->value("dynamicRegistration", false);
            auto lens = ws->find("codeLens");
            lens_refresh = lens != ws->end() && lens->is_object() && lens->value("refreshSupport", false);
        }
    }
    utf8_positions = encoding == "utf-8";
    auto options = params.find("initializationOptions");
    if (options != params.end()) take_settings(*options);
    due_root = root_of(params);
    workspace_due = true;
    initialized = true;
    json capabilities{
        {"positionEncoding", encoding},
        {"textDocumentSync", {{"openClose", true}, {"change", SYNC_INCREMENTAL}, {"save", {{"includeText", false}}}}},
        {"definitionProvider", true},
        {"referencesProvider", true},
        {"documentHighlightProvider", true},
        {"hoverProvider", true},
        {"documentSymbolProvider", true},
        {"workspaceSymbolProvider", true},
        {"renameProvider", {{"prepareProvider", true}}},
        {"completionProvider", json::object()},
        {"foldingRangeProvider", true},
        {"documentLinkProvider", {{"resolveProvider", false}}},
        {"signatureHelpProvider", {{"triggerCharacters", {" ", "\t", ","}}}},
        {"callHierarchyProvider", true},
        {"codeLensProvider", {{"resolveProvider", false}}},
        {"semanticTokensProvider", {{"legend", {{"tokenTypes", TOKEN_TYPE_NAMES}, {"tokenModifiers", TOKEN_MODIFIER_NAMES}}}, {"full", true}}},
    };
    return json{{"capabilities", capabilities}, {"serverInfo", {{"name", "velxref"}, {"version", VELXREF_VERSION}}}};
}

Answer on_initialized(json&) {
    if (!watch_files || watchers_registered) return nullptr;   // a second initialized registers nothing again
    watchers_registered = true;
    json watcher{{"globPattern", "**/*"}};
    json registration{{"id", "velxref-files"},
                      {"method", "workspace/didChangeWatchedFiles"},
                      {"registerOptions", {{"watchers", json::array({watcher})}}}};
    send(json{{"jsonrpc", "2.0"}, {"id", "velxref-register"}, {"method", "client/registerCapability"},
              {"params", {{"registrations", json::array({registration})}}}});
    return nullptr;
}

Answer on_shutdown(json&) {
    shutdown_requested = true;
    return nullptr;
}

Answer on_exit(json&) {
    exit_received = true;
    return nullptr;
}

// The string member key of object, moved out of it (a document's text may be
// large: it is never copied).
std::string take_text(json& object, const char* key) {
    json& value = mutable_member(object, key);
    if (!value.is_string()) throw RequestError{ERROR_INVALID_PARAMS, std::string("\"") + key + "\" must be a string"};
    return std::move(value.get_ref<std::string&>());
}

Answer on_did_open(json& params) {
    std::uint32_t file = document_of(params, true);
    files[file].text = take_text(mutable_member(params, "textDocument"), "text");
    files[file].uri = text_member(member(params, "textDocument"), "uri");
    files[file].open = true;
    std::vector<std::uint32_t> touched = file_changed(file);
    publish(file, true);   // first: publish_all then finds it unchanged
    publish_all(touched);
    return nullptr;
}

// A change notification is applied whole or not at all: every change is
// checked before the first is applied, so a bad one leaves the text as it
// was (and the refusal goes to the log, as for any notification).
Answer on_did_change(json& params) {
    std::uint32_t file = document_of(params);
    json& changes = mutable_member(params, "contentChanges");
    if (!changes.is_array()) throw RequestError{ERROR_INVALID_PARAMS, "\"contentChanges\" must be an array"};
    if (file == NO_FILE || !files[file].open) return nullptr;   // a change to a document never opened is not applied to the disk's text
    std::vector<std::pair<bool, Range>> ranges;
    for (const json& change : changes) {
        if (!member(change, "text").is_string()) throw RequestError{ERROR_INVALID_PARAMS, "\"text\" must be a string"};
        bool ranged = change.contains("range");
        ranges.emplace_back(ranged, ranged ? range_member(change, "range") : Range{});
    }
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        std::string text = take_text(changes[i], "text");
        if (ranges[i].first) apply_change(&files[file].text, ranges[i].second, text);
        else files[file].text = std::move(text);
    }
    publish_all(file_changed(file));
    return nullptr;
}

Answer on_did_save(json& params) {
    std::uint32_t file = document_of(params);
    if (file != NO_FILE) publish_all(file_changed(file));
    return nullptr;
}

Answer on_did_close(json& params) {
    std::uint32_t file = document_of(params);
    if (file == NO_FILE) return nullptr;
    files[file].open = false;
    files[file].text = std::string();
    publish_all(file_changed(file));
    return nullptr;
}

Answer on_configuration(json& params) {
    bool lenses_before = settings.code_lens;
    take_settings(member(params, "settings"));
    // The lenses come or go: a client that takes it is asked to ask again.
    if (lens_refresh && settings.code_lens != lenses_before)
        send(json{{"jsonrpc", "2.0"}, {"id", "velxref-lenses-" + std::to_string(++lens_refreshes)}, {"method", "workspace/codeLens/refresh"}});
    publish_all(reopen_workspace());
    show_notices();
    return nullptr;
}

Answer on_watched_files(json& params) {
    const json& changes = member(params, "changes");
    if (!changes.is_array()) throw RequestError{ERROR_INVALID_PARAMS, "\"changes\" must be an array"};
    std::vector<std::uint32_t> touched;
    for (const json& change : changes) {
        std::uint32_t file;
        if (!file_of_uri(text_member(change, "uri"), &file, false) || file == NO_FILE || files[file].open) continue;
        std::vector<std::uint32_t> t = file_changed(file);
        touched.insert(touched.end(), t.begin(), t.end());
    }
    publish_all(touched);
    return nullptr;
}

Answer on_definition(json& params) {
    std::uint32_t file;
    std::string name;
    IncludeRead include;
    if (include_at(document_of(params), position_member(params, "position"), &include))
        return std::vector<Location>{Location{include.target, Range{{0, 0}, {0, 0}}}};
    if (!symbol_under(params, &file, &name)) return nullptr;
    return definitions(file, name);
}

Answer on_references(json& params) {
    std::uint32_t file;
    std::string name;
    bool with_definitions = true;
    auto context = params.find("context");
    if (context != params.end() && context->is_object()) {
        auto include = context->find("includeDeclaration");
        if (include != context->end() && include->is_boolean()) with_definitions = include->get<bool>();
    }
    if (!symbol_under(params, &file, &name)) return nullptr;
    return references(file, name, with_definitions);
}

Answer on_highlight(json& params) {
    std::uint32_t file;
    std::string name;
    if (!symbol_under(params, &file, &name)) return nullptr;
    json list = json::array();
    for (const auto& [range, write] : highlights(file, name)) list.push_back(json{{"range", range_json(range)}, {"kind", write ? 3 : 2}});
    return list;
}

Answer on_hover(json& params) {
    std::uint32_t file;
    std::string name;
    IncludeRead include;
    if (include_at(document_of(params), position_member(params, "position"), &include))
        return json{{"contents", {{"kind", "markdown"}, {"value", include_hover_text(include)}}}, {"range", range_json(include.name)}};
    if (!symbol_under(params, &file, &name)) return nullptr;
    return json{{"contents", {{"kind", "markdown"}, {"value", documented_hover(file, name)}}}};
}

json symbol_json(const SymbolAnswer& s, bool with_location) {
    json item{{"name", s.name}, {"kind", s.kind}, {"detail", s.detail}};
    if (with_location) {
        item.erase("detail");
        item["location"] = location_json(s.where);
        item["containerName"] = files[s.where.file].shown;
    } else {
        item["range"] = range_json(s.where.range);
        item["selectionRange"] = range_json(s.where.range);
    }
    return item;
}

Answer on_document_symbol(json& params) {
    return std::function<void(const json&)>([found = document_symbols(document_of(params))](const json& id) {
        write_in_pieces(response_head(id) + "[", found.size(),
                        [&found](std::size_t i, std::string* out) { *out += dump(symbol_json(found[i], false)); }, "]}");
    });
}

Answer on_workspace_symbol(json& params) {
    json list = json::array();
    for (const SymbolAnswer& s : workspace_symbols(text_member(params, "query"))) list.push_back(symbol_json(s, true));
    return list;
}

// A completion item: its label, kind and detail.
struct Completion {
    std::string label;
    int kind;
    std::string detail;
};

void add_keywords(std::vector<Completion>* items, const lex::KeywordEntry* table, const char* prefix, const char* detail) {
    for (const lex::KeywordEntry* k = table; k->name != nullptr; ++k)
        items->push_back(Completion{std::string(prefix) + k->name, COMPLETION_KEYWORD, detail});
}

Answer on_completion(json& params) {
    std::uint32_t file = document_of(params);
    position_member(params, "position");
    std::vector<Completion> items;
    for (SymbolAnswer& s : scope_symbols(file)) {
        int kind = s.kind == KIND_OPERATOR ? COMPLETION_OPERATOR : s.kind == KIND_FUNCTION ? COMPLETION_FUNCTION : COMPLETION_CONSTANT;
        items.push_back(Completion{std::move(s.name), kind, std::move(s.detail)});
    }
    add_keywords(&items, lex::mnemonic_table, "", "mnemonic");
    add_keywords(&items, lex::directive_table, ".", "pseudo-instruction");
    return std::function<void(const json&)>([items = std::move(items)](const json& id) {
        write_in_pieces(response_head(id) + "{\"isIncomplete\":false,\"items\":[", items.size(),
                        [&items](std::size_t i, std::string* out) {
                            const Completion& c = items[i];
                            *out += "{\"detail\":";
                            *out += dump(json(c.detail));
                            *out += ",\"kind\":";
                            *out += std::to_string(c.kind);
                            *out += ",\"label\":";
                            *out += dump(json(c.label));
                            *out += '}';
                        },
                        "]}}");
    });
}

Answer on_prepare_rename(json& params) {
    std::uint32_t file;
    std::string name;
    if (!symbol_under(params, &file, &name)) throw RequestError{ERROR_REQUEST_FAILED, "Only a symbol can be renamed"};
    std::string refusal = rename_refusal(file, name);
    if (!refusal.empty()) throw RequestError{ERROR_REQUEST_FAILED, refusal};
    Position at = position_member(params, "position");
    for (const auto& [range, write] : highlights(file, name)) {
        (void)write;
        if (std::make_pair(range.start.line, range.start.character) <= std::make_pair(at.line, at.character) &&
            std::make_pair(at.line, at.character) <= std::make_pair(range.end.line, range.end.character))
            return json{{"range", range_json(range)}, {"placeholder", name}};
    }
    throw RequestError{ERROR_REQUEST_FAILED, "Only a symbol can be renamed"};
}

Answer on_rename(json& params) {
    std::string new_name = text_member(params, "newName");
    std::uint32_t file;
    std::string name;
    if (!symbol_under(params, &file, &name)) throw RequestError{ERROR_REQUEST_FAILED, "Only a symbol can be renamed"};
    std::string refusal = rename_refusal(file, name);
    if (refusal.empty()) refusal = new_name_refusal(file, new_name);
    if (refusal.empty()) refusal = cut_refusal(file, name, new_name);
    if (!refusal.empty()) throw RequestError{ERROR_REQUEST_FAILED, refusal};
    std::vector<Edit> edits = rename_edits(file, name);
    refusal = outside_refusal(edits);
    if (refusal.empty()) refusal = stale_refusal(edits, name);
    if (!refusal.empty()) throw RequestError{ERROR_REQUEST_FAILED, refusal};
    json changes = json::object();
    for (const Edit& e : edits) {
        json& list = changes[files[e.file].uri];
        if (list.is_null()) list = json::array();
        list.push_back(json{{"range", range_json(e.range)}, {"newText", new_name}});
    }
    return json{{"changes", std::move(changes)}};
}

// The folds are formatted straight into the answer's text, members in the
// order a JSON value would write them: as a value, the folds of the
// 1,000,000-line realistic program (4.8 MB) took 250 ms, and 14 ms more to
// free it while the next request waited.
Answer on_folding_range(json& params) {
    return std::function<void(const json&)>([found = folds(document_of(params))](const json& id) {
        HeldText held;
        held.text() = response_head(id) + "[";
        char digits[16];
        for (std::size_t i = 0; i < found.size(); ++i) {
            std::string& body = held.text();
            body += i > 0 ? ",{\"endLine\":" : "{\"endLine\":";
            body.append(digits, std::to_chars(digits, digits + sizeof digits, found[i].last).ptr);
            body += found[i].kind == FOLD_COMMENT ? ",\"kind\":\"comment\",\"startLine\":" : ",\"startLine\":";
            body.append(digits, std::to_chars(digits, digits + sizeof digits, found[i].first).ptr);
            body += '}';
        }
        held.text() += "]}";
        held.write();
    });
}

Answer on_document_link(json& params) {
    json list = json::array();
    for (const IncludeRead& r : include_links(document_of(params)))
        list.push_back(json{{"range", range_json(r.name)}, {"target", files[r.target].uri}, {"tooltip", files[r.target].shown}});
    return list;
}

Answer on_signature_help(json& params) {
    MacroSignature signature;
    if (!macro_signature(document_of(params), position_member(params, "position"), &signature)) return nullptr;
    json parameters = json::array();
    for (const auto& [from, to] : signature.parameters) parameters.push_back(json{{"label", json::array({from, to})}});
    json item{{"label", signature.label}, {"parameters", std::move(parameters)}};
    std::int32_t active = signature.parameters.empty() ? 0 : std::min<std::int32_t>(signature.active, static_cast<std::int32_t>(signature.parameters.size()) - 1);
    return json{{"signatures", json::array({std::move(item)})}, {"activeSignature", 0}, {"activeParameter", active}};
}

// The call hierarchy's item, its members in the order a JSON value would write them.
void append_call_item(std::string* out, const CallItem& item) {
    std::string name = dump(json(item.name));
    std::string kind = std::to_string(item.kind);
    *out += "{\"data\":{\"kind\":" + kind + ",\"name\":" + name + "},\"detail\":" + dump(json(item.detail)) + ",\"kind\":" + kind +
            ",\"name\":" + name + ",\"range\":";
    append_range(out, item.where.range);
    *out += ",\"selectionRange\":";
    append_range(out, item.where.range);
    *out += ",\"uri\":" + dump(json(files[item.where.file].uri)) + "}";
}

Answer on_prepare_call_hierarchy(json& params) {
    CallItem item;
    if (!call_item_at(document_of(params), position_member(params, "position"), &item)) return nullptr;
    return std::function<void(const json&)>([item = std::move(item)](const json& id) {
        std::string body = response_head(id) + "[";
        append_call_item(&body, item);
        body += "]}";
        write_framed(body);
    });
}

// The calls of params.item, incoming or outgoing, formatted straight into
// the answer's text: as a value, the incoming calls of a subroutine of the
// 1,000,000-line realistic program took 53 MB (massif), at the peak of a session.
Answer calls_json(const json& params, bool incoming) {
    const json& item = member(params, "item");
    std::uint32_t file;
    std::string uri = text_member(item, "uri");
    if (!file_of_uri(uri, &file)) throw RequestError{ERROR_INVALID_PARAMS, "not a file: URI: " + uri};
    std::string name = text_member(item, "name");
    auto data = item.find("data");
    if (data != item.end() && data->is_object()) {
        if (data->value("kind", 0) == KIND_FILE) return json::array();
        auto n = data->find("name");
        if (n != data->end() && n->is_string()) name = n->get<std::string>();
    }
    std::vector<Call> calls = incoming ? incoming_calls(file, name) : outgoing_calls(file, name);
    return std::function<void(const json&)>([calls = std::move(calls), incoming](const json& id) {
        write_in_pieces(response_head(id) + "[", calls.size(),
                        [&calls, incoming](std::size_t i, std::string* out) {
                            const Call& c = calls[i];
                            std::string ranges = "\"fromRanges\":[";
                            for (std::size_t r = 0; r < c.from.size(); ++r) {
                                if (r > 0) ranges += ',';
                                append_range(&ranges, c.from[r]);
                            }
                            ranges += ']';
                            if (incoming) {
                                *out += "{\"from\":";
                                append_call_item(out, c.item);
                                *out += "," + ranges + "}";
                            } else {
                                *out += "{" + ranges + ",\"to\":";
                                append_call_item(out, c.item);
                                *out += '}';
                            }
                        },
                        "]}");
    });
}

Answer on_incoming_calls(json& params) { return calls_json(params, true); }
Answer on_outgoing_calls(json& params) { return calls_json(params, false); }

// The tokens as the protocol packs them: five numbers each, line and
// character relative to the token before, the numbers straight out, never
// a value of the list (which took 155 ms a request on the 38,702-line
// bench source hex0x, the client's reading included).
Answer on_semantic_tokens(json& params) {
    std::uint32_t file = document_of(params);
    return std::function<void(const json&)>([file](const json& id) {
        // Each token's five numbers are packed as they are found (LEB128: a
        // byte for most, not the two to four characters of their digits and
        // comma) while their text's length is counted; then the text is
        // written a piece at a time.  No list of the tokens (20 bytes each)
        // and no text of the whole answer is held: on the 1,000,000-line
        // realistic program the answer is 27 MB, 11 MB packed (a session's
        // peak after its tokens there 109 -> 96 MiB; hex0x: 16 -> 19 ms a request).
        std::string head = response_head(id) + "{\"data\":[";
        const std::string tail = "]}}";
        HeldText packed;
        std::size_t length = head.size() + tail.size(), count = 0;
        Position last{0, 0};
        char digits[16];
        semantic_tokens(file, [&](const SemanticToken& t) {
            std::int32_t five[5] = {t.start.line - last.line, t.start.line == last.line ? t.start.character - last.character : t.start.character,
                                    t.length, t.type, t.modifiers};
            std::string& bytes = packed.text();
            for (std::int32_t n : five) {
                auto u = static_cast<std::uint32_t>(n);
                for (; u >= 0x80; u >>= 7) bytes += static_cast<char>((u & 0x7F) | 0x80);
                bytes += static_cast<char>(u);
                std::size_t written = n >= 0 && n < 10 ? 1 : n >= 10 && n < 100 ? 2 : static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, n).ptr - digits);
                length += written + (count++ > 0 ? 1 : 0);
            }
            last = t.start;
        });
        write_header(length);
        std::string piece = std::move(head);
        bool first = true;
        for (const std::string& bytes : packed.pieces) {
            for (std::size_t i = 0; i < bytes.size();) {
                std::uint32_t u = 0;
                for (int shift = 0;; shift += 7) {
                    auto b = static_cast<unsigned char>(bytes[i++]);
                    u |= static_cast<std::uint32_t>(b & 0x7F) << shift;
                    if (b < 0x80) break;
                }
                if (!first) piece += ',';
                first = false;
                piece.append(digits, std::to_chars(digits, digits + sizeof digits, static_cast<std::int32_t>(u)).ptr);
                if (piece.size() >= 65536) {
                    write_bytes(piece);
                    piece.clear();
                }
            }
        }
        piece += tail;
        write_bytes(piece);
    });
}

// Over each subroutine, "N calls", whose command shows the calls as the
// client's references (editor.action.showReferences takes the document,
// the position and the locations).
Answer on_code_lens(json& params) {
    std::uint32_t file = document_of(params);
    json list = json::array();
    for (const CallLens& lens : call_lenses(file)) {
        json places = json::array();
        for (const Location& l : lens.calls) places.push_back(location_json(l));
        std::size_t n = lens.calls.size();
        json command{{"title", std::to_string(n) + (n == 1 ? " call" : " calls")},
                     {"command", "editor.action.showReferences"},
                     {"arguments", json::array({files[file].uri, position_json(lens.range.start), std::move(places)})}};
        list.push_back(json{{"range", range_json(lens.range)}, {"command", std::move(command)}});
    }
    return list;
}

Answer on_cancel(json&) { return nullptr; }   // every request is answered before the next is read

struct Method {
    const char* name;
    Answer (*handle)(json& params);
    bool request;   // answered: sent as a notification, it is passed over
};

const Method METHODS[] = {
    {"initialize", on_initialize, true},
    {"initialized", on_initialized, false},
    {"shutdown", on_shutdown, true},
    {"exit", on_exit, false},
    {"$/cancelRequest", on_cancel, false},
    {"textDocument/didOpen", on_did_open, false},
    {"textDocument/didChange", on_did_change, false},
    {"textDocument/didSave", on_did_save, false},
    {"textDocument/didClose", on_did_close, false},
    {"workspace/didChangeWatchedFiles", on_watched_files, false},
    {"workspace/didChangeConfiguration", on_configuration, false},
    {"textDocument/definition", on_definition, true},
    {"textDocument/references", on_references, true},
    {"textDocument/documentHighlight", on_highlight, true},
    {"textDocument/hover", on_hover, true},
    {"textDocument/documentSymbol", on_document_symbol, true},
    {"workspace/symbol", on_workspace_symbol, true},
    {"textDocument/completion", on_completion, true},
    {"textDocument/prepareRename", on_prepare_rename, true},
    {"textDocument/rename", on_rename, true},
    {"textDocument/foldingRange", on_folding_range, true},
    {"textDocument/documentLink", on_document_link, true},
    {"textDocument/signatureHelp", on_signature_help, true},
    {"textDocument/prepareCallHierarchy", on_prepare_call_hierarchy, true},
    {"callHierarchy/incomingCalls", on_incoming_calls, true},
    {"callHierarchy/outgoingCalls", on_outgoing_calls, true},
    {"textDocument/semanticTokens/full", on_semantic_tokens, true},
    {"textDocument/codeLens", on_code_lens, true},
};

const Method* find_method(const std::string& name) {
    for (const Method& m : METHODS)
        if (name == m.name) return &m;
    return nullptr;
}

// Whether the arrays and objects of body nest deeper than MAX_JSON_DEPTH.
bool too_deep(const std::string& body) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MAX_JSON_DEPTH) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

// Runs the handler of a request or notification; a request gets its answer.
void dispatch(json& message, const std::string& method, const json* id) {
    json none;
    json& params = message.contains("params") ? message["params"] : none;   // never a copy
    const Method* m = find_method(method);
    if (id == nullptr) {   // a notification: never answered
        if (m == nullptr || (!initialized && method != "exit")) return;
        if (m->request) return log_message(method + " was sent as a notification: passed over");
        try {
            m->handle(params);
        } catch (const RequestError& e) {
            log_message(method + ": " + e.message);
        } catch (const json::exception& e) {
            log_message(method + ": " + e.what());
        }
        return;
    }
    if (m == nullptr) return reply_error(*id, ERROR_METHOD_NOT_FOUND, "Unknown method " + method);
    if (!initialized && method != "initialize") return reply_error(*id, ERROR_NOT_INITIALIZED, "The server is not initialized");
    if (initialized && method == "initialize") return reply_error(*id, ERROR_INVALID_REQUEST, "The server is initialized already");
    if (shutdown_requested) return reply_error(*id, ERROR_INVALID_REQUEST, "The server is shutting down");
    try {
        Answer result = m->handle(params);
        if (result.write) result.write(*id);
        else if (result.is_locations) write_locations(*id, result.locations);
        else send(json{{"jsonrpc", "2.0"}, {"id", *id}, {"result", std::move(result.value)}});
    } catch (const RequestError& e) {
        reply_error(*id, e.code, e.message);
    } catch (const json::exception& e) {
        reply_error(*id, ERROR_INVALID_PARAMS, e.what());
    }
}

// Gives the parsed message the values taken out of it.
void put_back(json& value, std::vector<std::string>& lifted) {
    if (value.is_array() || value.is_object()) {
        for (json& item : value) put_back(item, lifted);
        return;
    }
    if (!value.is_string()) return;
    std::string& text = value.get_ref<std::string&>();
    if (text.empty() || text[0] != '\0') return;
    std::size_t k = 0;
    auto [end, error] = std::from_chars(text.data() + 1, text.data() + text.size(), k);
    if (error == std::errc() && end == text.data() + text.size() && k < lifted.size()) text = std::move(lifted[k]);
}

}  // namespace

bool handle_message(std::string& body) {
    if (too_deep(body)) {
        reply_error(nullptr, ERROR_PARSE, "The message nests deeper than " + std::to_string(MAX_JSON_DEPTH) + " levels");
        return true;
    }
    std::vector<std::string> lifted;
    std::string rest = lift_strings(body, &lifted);
    json message = json::parse(rest.empty() ? body : rest, nullptr, false);
    std::string().swap(body);   // a document's text is not kept twice while it is analysed
    std::string().swap(rest);
    if (!lifted.empty() && !message.is_discarded()) put_back(message, lifted);
    if (message.is_discarded()) {
        reply_error(nullptr, ERROR_PARSE, "The message is not JSON");
        return true;
    }
    auto method = message.is_object() ? message.find("method") : message.end();
    auto id = message.is_object() ? message.find("id") : message.end();
    bool id_valid = id != message.end() && (id->is_string() || id->is_number_integer());
    if (!message.is_object() || (method != message.end() && !method->is_string()) ||
        (id != message.end() && !id_valid && !id->is_null())) {
        reply_error(id_valid ? *id : json(nullptr), ERROR_INVALID_REQUEST, "Not a JSON-RPC 2.0 request or notification");
        return true;
    }
    if (method == message.end()) return true;   // a response to the server's own request
    dispatch(message, method->get<std::string>(), id != message.end() ? &*id : nullptr);
    if (workspace_due) {
        workspace_due = false;
        publish_all(open_workspace(due_root));
        show_notices();
    }
    return !exit_received;
}

int exit_status() { return shutdown_requested ? 0 : 1; }

int serve() {
    std::string body;
    for (;;) {
        int got = read_message(&body);
        if (got == MESSAGE_END || channel_broken) break;
        if (got == MESSAGE_REFUSED) {
            log_message("A message without a Content-Length header of at most 64 MiB was passed over");
            continue;
        }
        if (!handle_message(body)) break;
    }
    return exit_status();
}

void reset_server() {
    initialized = shutdown_requested = utf8_positions = false;
    exit_received = watch_files = watchers_registered = workspace_due = lens_refresh = false;
    lens_refreshes = 0;
    due_root.clear();
    reset_channel();
    reset_workspace();
}

}  // namespace lsp
