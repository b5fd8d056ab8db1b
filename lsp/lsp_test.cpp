// The language server below its clients: positions, edits, URIs, the
// framing, the protocol's edges, and what an analysis finds where.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "input/input.h"
#include "lsp/lsp.h"
#include "platform/platform.h"
#include "test_util.h"

namespace {

using nlohmann::json;

// Runs body through the server and returns every message it wrote, parsed.
std::vector<json> exchange(std::string body, bool* go_on = nullptr) {
    std::FILE* out = std::tmpfile();
    lsp::channel_out = fileno(out);
    bool more = lsp::handle_message(body);
    if (go_on != nullptr) *go_on = more;
    std::fflush(out);
    std::rewind(out);
    std::string bytes;
    for (int c; (c = std::fgetc(out)) != EOF;) bytes += static_cast<char>(c);
    std::fclose(out);
    std::vector<json> messages;
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t blank = bytes.find("\r\n\r\n", at);
        std::size_t length = std::stoul(bytes.substr(at + 16, blank - at - 16));
        messages.push_back(json::parse(bytes.substr(blank + 4, length)));
        at = blank + 4 + length;
    }
    return messages;
}

std::string request(int id, const char* method, const json& params) {
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump();
}

std::string notification(const char* method, const json& params) {
    return json{{"jsonrpc", "2.0"}, {"method", method}, {"params", params}}.dump();
}

TEST(LspText, PositionsCountTheEditorsWay) {
    struct Row {
        std::string text;
        std::size_t offset;
        lsp::Position utf16, utf8;
    } rows[] = {
        {"AB\nCD", 4, {1, 1}, {1, 1}},                    // LF
        {"AB\r\nCD", 5, {1, 1}, {1, 1}},                  // CR LF
        {"AB\rCD", 4, {1, 1}, {1, 1}},                    // a lone CR ends a line
        {"A\r\r\nB", 4, {2, 0}, {2, 0}},                  // CR, then CR LF
        {"\t\tX", 2, {0, 2}, {0, 2}},                     // a tab is one character
        {"\xC3\xA9X", 2, {0, 1}, {0, 2}},                 // two bytes, one unit
        {"\xE2\x82\xACX", 3, {0, 1}, {0, 3}},             // three bytes, one unit
        {"\xF0\x9F\x98\x80X", 4, {0, 2}, {0, 4}},         // four bytes, a surrogate pair
        {"\xFF\xC3X", 2, {0, 2}, {0, 2}},                 // bytes outside valid UTF-8: one each
        {"\xED\xA0\x80X", 3, {0, 3}, {0, 3}},             // an encoded surrogate is not valid
        {"\xE2\x82X", 2, {0, 1}, {0, 2}},                 // a sequence cut short: one U+FFFD
        {"\xF0\x9F\x98X", 3, {0, 1}, {0, 3}},             // the same, of four bytes
        {"\xE0\x80X", 2, {0, 2}, {0, 2}},                 // 80 cannot follow E0: two
        {"A\x1A" "B", 2, {0, 2}, {0, 2}},                 // 0x1A ends no line for the editor
        {"AB", 9, {0, 2}, {0, 2}},                        // past the end: the end
    };
    for (bool utf8 : {false, true}) {
        lsp::utf8_positions = utf8;
        for (const Row& r : rows) {
            lsp::Position want = utf8 ? r.utf8 : r.utf16;
            lsp::Position got = lsp::position_of(r.text, lsp::line_starts(r.text), r.offset);
            EXPECT_EQ(got.line, want.line) << r.text;
            EXPECT_EQ(got.character, want.character) << r.text << " utf8=" << utf8;
            if (r.offset <= r.text.size()) {
                EXPECT_EQ(lsp::offset_of(r.text, lsp::line_starts(r.text), want), r.offset) << r.text;
            }
        }
    }
    lsp::utf8_positions = false;
}

// An analysis's positions come from a line table, searched from the line
// asked for last: asked in any order, they are the positions above; a line
// where a byte past ASCII stands is wide, its characters not its bytes.
TEST(LspText, LineTablesGivePositionsAskedInAnyOrder) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += i % 3 == 0 ? "AB\r\n" : i % 3 == 1 ? "\tC\rD\n" : "E\xC3\xA9" "F\n";
    for (bool utf8 : {false, true}) {
        lsp::utf8_positions = utf8;
        lsp::LineTable table = lsp::line_table(0, text);
        std::vector<std::uint32_t> starts = lsp::line_starts(text);
        std::size_t asked[] = {0, 1, 6, 7, 8, 30, 29, 31, 60, 61, 62, 68, 69, 70, 71, 150, 3, text.size() - 1, 4, 5};
        for (std::size_t offset : asked) {
            lsp::Position got;
            bool narrow = lsp::narrow_position(table, offset, &got);
            lsp::Position want = lsp::position_of(text, starts, offset);
            EXPECT_EQ(got.line, want.line) << offset;
            std::size_t line = static_cast<std::size_t>(want.line);
            std::size_t end = line + 1 < starts.size() ? starts[line + 1] : text.size();
            bool high = text.substr(starts[line], end - starts[line]).find('\xC3') != std::string::npos;
            EXPECT_EQ(narrow, utf8 || !high) << offset;
            if (narrow) {
                EXPECT_EQ(got.character, want.character) << offset;
            }
        }
    }
    lsp::utf8_positions = false;
}

TEST(LspText, IncrementalChangesApplyAtUtf16Positions) {
    std::string text = "\xF0\x9F\x98\x80" "AB\r\nCD\n";
    lsp::apply_change(&text, {{0, 2}, {0, 3}}, "x");           // after the pair: A
    EXPECT_EQ(text, "\xF0\x9F\x98\x80" "xB\r\nCD\n");
    lsp::apply_change(&text, {{0, 4}, {1, 1}}, "");            // the line end and C
    EXPECT_EQ(text, "\xF0\x9F\x98\x80" "xBD\n");
    lsp::apply_change(&text, {{0, 99}, {0, 99}}, "!");         // past the line's end: its end
    EXPECT_EQ(text, "\xF0\x9F\x98\x80" "xBD!\n");
    lsp::apply_change(&text, {{7, 0}, {7, 0}}, "E");           // past the last line: the end
    EXPECT_EQ(text, "\xF0\x9F\x98\x80" "xBD!\nE");
}

TEST(LspText, UrisAndPaths) {
    EXPECT_EQ(lsp::path_of_uri("file:///tmp/a%20b/c%25.AVL"), "/tmp/a b/c%.AVL");
    EXPECT_EQ(lsp::uri_of_path("/tmp/a b/c%.AVL"), "file:///tmp/a%20b/c%25.AVL");
    EXPECT_EQ(lsp::path_of_uri("file://localhost/tmp/x/../y.INC"), "/tmp/y.INC");
    EXPECT_EQ(lsp::path_of_uri("untitled:Untitled-1"), "");
    EXPECT_EQ(lsp::path_of_uri("file:///tmp/a%00b"), "");
}

// The framing, fed from a file of bytes.
std::vector<std::pair<int, std::string>> frames(const std::string& bytes) {
    std::string dir = test_util::make_scratch_dir();
    test_util::write_file(dir + "/in", bytes);
    lsp::reset_channel();
    lsp::channel_in = platform::system_open_read((dir + "/in").c_str());
    std::vector<std::pair<int, std::string>> got;
    std::string body;
    for (int r = 0; r != lsp::MESSAGE_END;) {
        r = lsp::read_message(&body);
        got.emplace_back(r, r == lsp::MESSAGE_READ ? body : "");
    }
    platform::system_close(lsp::channel_in);
    test_util::remove_tree(dir);
    return got;
}

TEST(LspChannel, FramesAndTheirFaults) {
    using P = std::vector<std::pair<int, std::string>>;
    EXPECT_EQ(frames("Content-Length: 2\r\n\r\n{}content-length:1\r\nContent-Type: x\r\n\r\n[]"),
              (P{{lsp::MESSAGE_READ, "{}"}, {lsp::MESSAGE_READ, "["}, {lsp::MESSAGE_END, ""}}));
    EXPECT_EQ(frames("Content-Type: x\r\n\r\nContent-Length: 1\n\n1"),
              (P{{lsp::MESSAGE_REFUSED, ""}, {lsp::MESSAGE_READ, "1"}, {lsp::MESSAGE_END, ""}}));
    EXPECT_EQ(frames("Content-Length: 67108865\r\n\r\n{}"), (P{{lsp::MESSAGE_END, ""}}));
    EXPECT_EQ(frames("Content-Length: 99999999999999999999999\r\n\r\n"), (P{{lsp::MESSAGE_END, ""}}));
    EXPECT_EQ(frames("Content-Length: 10\r\n\r\n{}"), (P{{lsp::MESSAGE_END, ""}}));   // truncated
    EXPECT_EQ(frames("Content-Length: x1\r\n\r\n"), (P{{lsp::MESSAGE_REFUSED, ""}, {lsp::MESSAGE_END, ""}}));
    EXPECT_EQ(frames(std::string(100000, 'A')), (P{{lsp::MESSAGE_END, ""}}));
}

TEST(LspProtocol, EdgesAnswerAndTheServerGoesOn) {
    lsp::reset_server();
    auto code = [](const std::vector<json>& m) { return m.size() == 1 ? m[0]["error"]["code"].get<int>() : 0; };
    EXPECT_EQ(code(exchange(request(1, "textDocument/hover", json::object()))), lsp::ERROR_NOT_INITIALIZED);
    EXPECT_TRUE(exchange(notification("textDocument/didOpen", json::object())).empty());
    EXPECT_EQ(code(exchange("{\"jsonrpc\":")), lsp::ERROR_PARSE);
    EXPECT_EQ(code(exchange(std::string(1000, '['))), lsp::ERROR_PARSE);
    EXPECT_EQ(code(exchange("[1]")), lsp::ERROR_INVALID_REQUEST);
    std::vector<json> init = exchange(request(2, "initialize", {{"rootUri", nullptr}, {"capabilities", json::object()}}));
    ASSERT_FALSE(init.empty());
    EXPECT_EQ(init[0]["result"]["capabilities"]["positionEncoding"], "utf-16");
    EXPECT_EQ(code(exchange(request(3, "no/such", json::object()))), lsp::ERROR_METHOD_NOT_FOUND);
    EXPECT_TRUE(exchange(notification("no/such", json::object())).empty());
    EXPECT_TRUE(exchange(notification("$/cancelRequest", {{"id", 3}})).empty());
    EXPECT_EQ(code(exchange(request(4, "textDocument/definition", {{"textDocument", {{"uri", 5}}}}))), lsp::ERROR_INVALID_PARAMS);
    EXPECT_EQ(code(exchange(request(5, "textDocument/hover", json::array()))), lsp::ERROR_INVALID_PARAMS);
    EXPECT_EQ(code(exchange(request(6, "textDocument/definition",
                                    {{"textDocument", {{"uri", "file:///nowhere/X.AVL"}}}, {"position", {{"line", -1}, {"character", 0}}}}))),
              lsp::ERROR_INVALID_PARAMS);
    std::vector<json> down = exchange(request(7, "shutdown", nullptr));
    ASSERT_EQ(down.size(), 1u);
    EXPECT_TRUE(down[0]["result"].is_null());
    EXPECT_EQ(code(exchange(request(8, "textDocument/hover", json::object()))), lsp::ERROR_INVALID_REQUEST);
    bool go_on = true;
    exchange(notification("exit", nullptr), &go_on);
    EXPECT_FALSE(go_on);
    EXPECT_EQ(lsp::exit_status(), 0);

    lsp::reset_server();
    exchange(request(1, "initialize", {{"capabilities", json::object()}}));
    exchange(notification("exit", nullptr), &go_on);
    EXPECT_FALSE(go_on);
    EXPECT_EQ(lsp::exit_status(), 1);
    lsp::reset_server();
}

}  // namespace

namespace {

// A workspace in a scratch directory: files written, the server reset and
// initialized with it as the root, and sources named as after --lsp.
class LspWorkspace : public ::testing::Test {
protected:
    void SetUp() override { dir = test_util::make_scratch_dir(); }
    void TearDown() override {
        lsp::reset_server();
        platform::change_directory(VELXREF_SOURCE_DIR);
        test_util::remove_tree(dir);
    }
    void open(const std::vector<std::pair<std::string, std::string>>& sources, std::vector<std::string> named = {},
              bool utf8 = false) {
        for (const auto& [name, bytes] : sources) test_util::write_file(dir + "/" + name, bytes);
        lsp::reset_server();
        lsp::command_sources = std::move(named);
        json caps = utf8 ? json{{"general", {{"positionEncodings", {"utf-8"}}}}} : json::object();
        notes = exchange(request(1, "initialize", {{"rootUri", "file://" + dir}, {"capabilities", caps}}));
    }
    std::uint32_t file(const std::string& name) { return lsp::file_of_path(dir + "/" + name); }
    // The ranges of name's occurrences in the scope of file, with their marks.
    std::vector<std::pair<lsp::Range, char>> occurrences(const std::string& in, const std::string& name) {
        std::vector<std::pair<lsp::Range, char>> found;
        for (const lsp::Analysis* a : lsp::scope_of(file(in)))
            for (std::uint32_t k = 0; k < lsp::occurrence_count(*a); ++k)
                if (a->names[lsp::symbol_of(*a, k)] == name) found.push_back({lsp::range_of(*a, k), lsp::occurrence(*a, k).mark});
        return found;
    }
    std::string dir;
    std::vector<json> notes;   // what initialize answered and published
};

TEST_F(LspWorkspace, SemanticTokensKeepNumbersOfMoreThanOneByte) {
    // The answer's numbers are held packed, a byte for those below 128,
    // while its length is counted: a line 20,000 on and a character 130 on
    // take three bytes and two.
    open({{"FAR.AVL", "START:\n" + std::string(19999, '\n') + std::string(130, ' ') + "NOP\n"}}, {"FAR"});
    std::vector<json> got = exchange(request(2, "textDocument/semanticTokens/full", {{"textDocument", {{"uri", "file://" + dir + "/FAR.AVL"}}}}));
    ASSERT_EQ(got.size(), 1u);
    // START: a label where defined (namespace, declaration + definition);
    // NOP: a mnemonic (keyword, defaultLibrary).
    EXPECT_EQ(got[0]["result"]["data"], json::array({0, 0, 5, 3, 3, 20000, 130, 3, 4, 8}));
}

TEST_F(LspWorkspace, OccurrencesStandAtTheEditorsPositions) {
    const std::string before_cut = "\t.BYTE " + [] { std::string s; for (int i = 0; i < 122; ++i) s += "0,"; return s; }();
    struct Row {
        const char* what;
        std::string text;
        lsp::Range utf16, utf8;
        char mark;
    } rows[] = {
        {"CR LF", "X\r\n\tLDA FOO\r\n", {{1, 5}, {1, 8}}, {{1, 5}, {1, 8}}, ' '},
        {"lone CR before the symbol", "\tLDA\r FOO\n", {{1, 1}, {1, 4}}, {{1, 1}, {1, 4}}, ' '},
        {"lone CR just before it", "\tLDA \rFOO\n", {{1, 0}, {1, 3}}, {{1, 0}, {1, 3}}, ' '},
        {"lone CR inside it", "\tLDA FO\rO\n", {{0, 5}, {1, 1}}, {{0, 5}, {1, 1}}, ' '},
        {"0x1A inside a line, then the symbol", "\tNOP\x1A FOO\n", {{0, 6}, {0, 9}}, {{0, 6}, {0, 9}}, '#'},
        {"tabs", "\t\tLDA\tFOO\n", {{0, 6}, {0, 9}}, {{0, 6}, {0, 9}}, ' '},
        {"multi-byte characters before it", "\t.BYTE '\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xFF',FOO\n",
         {{0, 15}, {0, 18}}, {{0, 20}, {0, 23}}, ' '},
        {"just before the cut", before_cut + "FOO,BAR\n", {{0, 251}, {0, 254}}, {{0, 251}, {0, 254}}, ' '},
        {"a label's colon", "\tNOP\n:FOO\tNOP\n", {{1, 1}, {1, 4}}, {{1, 1}, {1, 4}}, '#'},
    };
    for (const Row& r : rows) {
        for (bool utf8 : {false, true}) {
            SCOPED_TRACE(std::string(r.what) + (utf8 ? ", utf-8" : ", utf-16"));
            open({{"T.AVL", r.text}}, {"T"}, utf8);
            auto found = occurrences("T.AVL", "FOO");
            ASSERT_EQ(found.size(), 1u);
            const lsp::Range& want = utf8 ? r.utf8 : r.utf16;
            EXPECT_TRUE(found[0].first.start == want.start) << found[0].first.start.line << ":" << found[0].first.start.character;
            EXPECT_TRUE(found[0].first.end == want.end) << found[0].first.end.line << ":" << found[0].first.end.character;
            EXPECT_EQ(found[0].second, r.mark);
        }
    }
}

TEST_F(LspWorkspace, DiagnosticsSayWhatTheConsoleAndTheListingKnow) {
    const std::string long_line = "\tLDA\t" + std::string(249, 'A') + ",GONE\n";
    open({{"T.AVL", "\t.INCLUDE NOFILE.INC\n\t.INCLUDE SELF.INC\nUNUSED\tNOP\n\tLDA\tNOWHERE\n" + long_line},
          {"SELF.INC", "\t.INCLUDE SELF.INC\n"}},
         {"T"});
    auto text = [](const std::vector<lsp::Diagnostic>& d) {
        std::vector<std::string> t;
        for (const lsp::Diagnostic& x : d)
            t.push_back(std::to_string(x.range.start.line) + ":" + std::to_string(x.range.start.character) + "-" +
                        std::to_string(x.range.end.line) + ":" + std::to_string(x.range.end.character) + " " +
                        std::to_string(x.severity) + (x.unnecessary ? "u " : " ") + x.message);
        return t;
    };
    EXPECT_EQ(text(lsp::diagnostics_of(file("T.AVL"))),
              (std::vector<std::string>{"0:10-0:20 1 Can't open include file NOFILE.INC", "2:0-2:6 4u UNUSED is defined but never used",
                                        "3:5-3:12 2 NOWHERE is used but never defined",
                                        "4:5-4:254 2 " + std::string(249, 'A') + " is used but never defined",
                                        "4:254-4:259 3 Line longer than 254 characters: the rest is not read"}));
    EXPECT_EQ(text(lsp::diagnostics_of(file("SELF.INC"))), (std::vector<std::string>{"0:10-0:18 1 Nesting error SELF.INC"}));
    std::string why = lsp::rename_refusal(file("T.AVL"), "GONE");
    EXPECT_NE(why.find("after the cut"), std::string::npos);
    EXPECT_EQ(lsp::rename_refusal(file("T.AVL"), "NOWHERE"), "");

    open({}, {"MISSING"});
    std::vector<std::string> missing{"0:0-0:0 1 Can't open MISSING.AVL"};
    EXPECT_EQ(text(lsp::diagnostics_of(file("MISSING.AVL"))), missing);
    // Opened in the editor it is read; closed, it is missing again (and the
    // table of the run before is not taken for its own).
    std::string uri = "file://" + dir + "/MISSING.AVL";
    exchange(notification("textDocument/didOpen", {{"textDocument", {{"uri", uri}, {"languageId", "vela"}, {"version", 1},
                                                                     {"text", "\tJSR\tGHOST\n"}}}}));
    EXPECT_EQ(text(lsp::diagnostics_of(file("MISSING.AVL"))), (std::vector<std::string>{"0:5-0:10 2 GHOST is used but never defined"}));
    exchange(notification("textDocument/didClose", {{"textDocument", {{"uri", uri}}}}));
    EXPECT_EQ(text(lsp::diagnostics_of(file("MISSING.AVL"))), missing);
}

TEST_F(LspWorkspace, AFileReadByTwoSourcesIsOneFile) {
    open({{"A.AVL", "\t.INCLUDE C.INC\n\tJSR\tXX\n"}, {"B.AVL", "\t.INCLUDE C.INC\n\tLDA\tXX\n"}, {"C.INC", "XX\tNOP\nYY\tNOP\n"}});
    ASSERT_EQ(lsp::analyses.size(), 2u);   // no source named: every .AVL of the root
    std::vector<lsp::Location> refs = lsp::references(file("C.INC"), "XX", true);
    ASSERT_EQ(refs.size(), 3u);
    EXPECT_EQ(refs[0].file, file("A.AVL"));
    EXPECT_EQ(refs[1].file, file("B.AVL"));
    EXPECT_EQ(refs[2].file, file("C.INC"));
    EXPECT_EQ(lsp::definitions(file("A.AVL"), "XX").size(), 1u);
    EXPECT_EQ(lsp::diagnostics_of(file("C.INC")).size(), 1u);   // YY, unused in both
    std::vector<lsp::SymbolAnswer> symbols = lsp::document_symbols(file("C.INC"));
    ASSERT_EQ(symbols.size(), 2u);
    EXPECT_EQ(symbols[0].kind, lsp::KIND_FUNCTION);   // called by JSR in A only
    EXPECT_EQ(lsp::new_name_refusal(file("C.INC"), "YY"), "YY already names a symbol of this program");
}

// The server opens a named source by the command line's rule: ".AVL" is
// added only when the name's file name (after its last "\\" or ":") has no
// dot, so "dir.v1/prog" is opened as it stands; the host then reads the
// name as the command line's open does ("\\" a "/" on POSIX).
TEST_F(LspWorkspace, SourcesAreNamedAsOnTheCommandLine) {
    struct Row {
        const char* named;
        const char* opened;   // the name the command line opens
    } rows[] = {{"dir.v1/prog", "dir.v1/prog"}, {"A.B/C", "A.B/C"}, {"X:Y", "X:Y.AVL"}, {"\\", "\\.AVL"}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.named);
        open({{"dir.v1/prog", "RIGHT\n"}, {"dir.v1/prog.AVL", "WRONG\n"}, {"A.B/C", "RIGHT\n"}, {"A.B/C.AVL", "WRONG\n"},
              {"X:Y.AVL", "RIGHT\n"}},
             {r.named});
        EXPECT_EQ(input::source_path(r.named), r.opened);
        ASSERT_EQ(lsp::analyses.size(), 1u);
        EXPECT_EQ(lsp::files[lsp::analyses[0].main_file].path, platform::full_path(r.opened));
        if (r.named[0] != '\\') {
            EXPECT_EQ(lsp::definitions(file(r.opened), "RIGHT").size(), 1u);
        }
    }
}

TEST_F(LspWorkspace, EditsReanalyseAndALoneDocumentStandsAlone) {
    open({{"MAIN.AVL", "\t.INCLUDE PART.INC\n"}, {"PART.INC", "PART1\tNOP\n"}}, {"MAIN"});
    std::string lone = "file://" + dir + "/LONE.INC";
    exchange(notification("textDocument/didOpen", {{"textDocument", {{"uri", lone}, {"languageId", "vela"}, {"version", 1},
                                                                     {"text", "LONE1\tNOP\n\tJSR\tLONE1\n"}}}}));
    ASSERT_EQ(lsp::analyses.size(), 2u);
    EXPECT_EQ(lsp::definitions(file("LONE.INC"), "LONE1").size(), 1u);
    // The main source comes to read it: the lone analysis goes.
    std::string main = "file://" + dir + "/MAIN.AVL";
    exchange(notification("textDocument/didOpen", {{"textDocument", {{"uri", main}, {"languageId", "vela"}, {"version", 1},
                                                                     {"text", "\t.INCLUDE PART.INC\n"}}}}));
    json change{{"range", {{"start", {{"line", 1}, {"character", 0}}}, {"end", {{"line", 1}, {"character", 0}}}}},
                {"text", "\t.INCLUDE LONE.INC\n"}};
    std::vector<json> out = exchange(notification(
        "textDocument/didChange", {{"textDocument", {{"uri", main}, {"version", 2}}}, {"contentChanges", json::array({change})}}));
    EXPECT_EQ(lsp::analyses.size(), 1u);
    EXPECT_EQ(lsp::references(file("LONE.INC"), "LONE1", true).size(), 2u);
    // PART1 stays unused in MAIN's scope: PART.INC keeps its hint, not published again.
    for (const json& m : out) EXPECT_NE(m["params"]["uri"], "file://" + dir + "/PART.INC");
}

TEST_F(LspWorkspace, CallsAreFoundAgainAfterAnEdit) {
    open({{"MAIN.AVL", "SUB1\tRTS\nGO\tJSR\tSUB1\n"}}, {"MAIN"});
    auto callers = [this] {
        std::string found;
        for (const lsp::Call& c : lsp::incoming_calls(file("MAIN.AVL"), "SUB1"))
            for (const lsp::Range& r : c.from) found += c.item.name + "@" + std::to_string(r.start.line) + " ";
        return found;
    };
    EXPECT_EQ(callers(), "GO@1 ");
    std::string main = "file://" + dir + "/MAIN.AVL";
    exchange(notification("textDocument/didOpen", {{"textDocument", {{"uri", main}, {"languageId", "vela"}, {"version", 1},
                                                                     {"text", "SUB1\tRTS\nGO\tNOP\nRUN\tJSR\tSUB1\n\tJSR\tSUB1\n"}}}}));
    EXPECT_EQ(callers(), "RUN@2 RUN@3 ");
}

TEST_F(LspWorkspace, CallsOfAFileOfManyMarksAreFoundByName) {
    // Past 65,536 marks a file's marks are looked up by name: the same
    // callers, in the same order, as a walk of a small file gives.
    std::string text = "SUB1\tRTS\nM1\t.MACRO\n\tJSR\tSUB1\n\t.ENDM\nM2\t.MACRO\n\tJSR\tSUB1\n\t.ENDM\n"
                       "GO\tNOP\n\tM2\n\tJSR\tSUB1\n\tM1\n\tM2\nFILL\tNOP\n";
    for (int i = 0; i < 70000; ++i) text += "\tLDA\tFILL\n";
    text += "LAST\tNOP\n\tM1\n";   // lines 70,013 and 70,014
    open({{"MAIN.AVL", text}}, {"MAIN"});
    std::string found;
    for (const lsp::Call& c : lsp::incoming_calls(file("MAIN.AVL"), "SUB1")) {
        found += c.item.name + " (" + c.item.detail + "):";
        for (const lsp::Range& r : c.from) found += " " + std::to_string(r.start.line);
        found += "\n";
    }
    EXPECT_EQ(found,
              "M1 (MAIN.AVL:2): 2\n"
              "M2 (MAIN.AVL:5): 5\n"
              "GO (MAIN.AVL:8): 9\n"
              "GO (MAIN.AVL:8, through macro M2): 8 11\n"
              "GO (MAIN.AVL:8, through macro M1): 10\n"
              "LAST (MAIN.AVL:70014, through macro M1): 70014\n");
    found.clear();
    for (const lsp::Call& c : lsp::outgoing_calls(file("MAIN.AVL"), "LAST"))
        for (const lsp::Range& r : c.from) found += c.item.name + "@" + std::to_string(r.start.line) + " ";
    EXPECT_EQ(found, "SUB1@70014 ");
}

TEST_F(LspWorkspace, ALongTextComesOutOfItsMessageAsTheJsonReaderReadsIt) {
    open({{"T.AVL", "\tNOP\n"}}, {"T"});
    std::string uri = "file://" + dir + "/T.AVL";
    auto did_open = [&](const std::string& text) {   // text: as it stands between the quotes
        return exchange("{\"jsonrpc\":\"2.0\",\"method\":\"textDocument/didOpen\",\"params\":{\"textDocument\":{\"uri\":\"" + uri +
                        "\",\"languageId\":\"vela\",\"version\":1,\"text\" : \"" + text + "\"}}}");
    };
    const std::string filler(5000, 'A');
    did_open(filler + "\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\u20AC\\ud83d\\uDE00\xC3\xA9");
    EXPECT_EQ(lsp::files[file("T.AVL")].text, filler + "\"\\/\b\f\n\r\t\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\xA9");
    did_open("\\u00000");   // short, but it starts as a stand-in would
    EXPECT_EQ(lsp::files[file("T.AVL")].text, std::string("\0" "0", 2));
    for (const std::string& bad : {filler + "\\ud83d", filler + "\\uDE00", filler + "\xC3", filler + "\xED\xA0\x80", filler + "\x01",
                                   filler + "\\x"}) {
        std::vector<json> out = did_open(bad);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0]["error"]["code"], lsp::ERROR_PARSE);
    }
}

}  // namespace
