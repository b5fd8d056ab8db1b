// Drives `velxref --lsp` as an editor would and times it: the start-up
// (initialize until the workspace is analysed), the time from an edit of an
// open document until the server has published its diagnostics (a request
// sent right behind the edit is answered only after them), and the median
// round trip of definition, references and hover on the labels the document
// defines; then the medians of semantic tokens, folds and include links of
// the document, and of a call hierarchy step (prepare, incoming, outgoing)
// on those labels.  A request is timed until its whole answer has been read
// off the pipe; parsing it (a megabyte of semantic tokens takes this client
// about as long as the server takes to answer) is left off the clock.  With
// LSP_BENCH_LOG=FILE every message the server wrote goes to FILE, one a
// line, so two builds' sessions can be compared with cmp.  Prints "<start-up s> <edit s> <definition s>
// <references s> <hover s> <peak resident KiB of the server> <CPU s of the
// server per edit> <tokens s> <folds s> <links s> <calls s>".
//
//   lsp_bench VELXREF DIRECTORY SOURCE DOCUMENT EDITS     (SOURCE "-": none named)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

int to_server = -1, from_server = -1;
pid_t server = -1;
std::string pending;   // bytes read and not yet taken
int next_id = 1;
FILE* answer_log = nullptr;   // every message the server wrote, one a line (LSP_BENCH_LOG), to compare two builds with cmp

void send(const json& message) {
    std::string body = message.dump();
    std::string bytes = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (std::size_t at = 0; at < bytes.size();) {
        ssize_t n = write(to_server, bytes.data() + at, bytes.size() - at);
        if (n <= 0) { std::perror("write"); std::exit(1); }
        at += static_cast<std::size_t>(n);
    }
}

bool fill() {
    char buffer[65536];
    ssize_t n = read(from_server, buffer, sizeof buffer);
    if (n <= 0) return false;
    pending.append(buffer, static_cast<std::size_t>(n));
    return true;
}

// The next message's body.
std::string receive() {
    for (;;) {
        std::size_t blank = pending.find("\r\n\r\n");
        if (blank != std::string::npos) {
            std::size_t length = std::stoul(pending.substr(16, blank - 16));
            while (pending.size() < blank + 4 + length)
                if (!fill()) { std::fprintf(stderr, "the server ended\n"); std::exit(1); }
            std::string body = pending.substr(blank + 4, length);
            pending.erase(0, blank + 4 + length);
            return body;
        }
        if (!fill()) { std::fprintf(stderr, "the server ended\n"); std::exit(1); }
    }
}

// Sends a request and returns its answer's body as read; what comes before
// it (the server's notifications, whose keys start with "jsonrpc") is passed
// over unread, as fast as an editor could.  The answer is parsed by the
// caller, after its clock has stopped: what is timed is the server's part,
// until the whole answer has been read off the pipe.
std::string request(const char* method, json params) {
    int id = next_id++;
    send(json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}});
    std::string answer = "{\"id\":" + std::to_string(id) + ",";
    for (;;) {
        std::string body = receive();
        if (answer_log != nullptr) std::fprintf(answer_log, "%s\n", body.c_str());
        if (body.rfind(answer, 0) == 0) return body;
    }
}

void notify(const char* method, json params) { send(json{{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}}); }

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// CPU seconds (user and system) the server has used so far.
double server_cpu() {
    std::ifstream stat("/proc/" + std::to_string(server) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t at = all.rfind(')');   // the fields after the command name
    std::vector<std::string> fields;
    for (std::size_t i = at + 2; i < all.size();) {
        std::size_t end = all.find(' ', i);
        if (end == std::string::npos) end = all.size();
        fields.push_back(all.substr(i, end - i));
        i = end + 1;
    }
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peak_kib() {
    std::ifstream status("/proc/" + std::to_string(server) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

void start(const char* velxref, const char* directory, const char* source) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) { std::perror("pipe"); std::exit(1); }
    server = fork();
    if (server == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        if (chdir(directory) != 0) _exit(127);
        if (std::string(source) == "-") execl(velxref, velxref, "--lsp", static_cast<char*>(nullptr));   // the server finds the sources
        else execl(velxref, velxref, "--lsp", source, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_server = in[1];
    from_server = out[0];
}

json position(int line, int character) { return json{{"line", line}, {"character", character}}; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: lsp_bench VELXREF DIRECTORY SOURCE DOCUMENT EDITS\n");
        return 2;
    }
    std::string directory = argv[2], document = directory + "/" + argv[4];
    int edits = std::atoi(argv[5]);
    std::ifstream file(document, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string uri = "file://" + document;
    json doc{{"uri", uri}};
    if (const char* log = std::getenv("LSP_BENCH_LOG")) answer_log = std::fopen(log, "w");

    start(argv[1], argv[2], argv[3]);
    Clock::time_point t0 = Clock::now();
    request("initialize", {{"rootUri", "file://" + directory}, {"capabilities", json::object()}});
    notify("initialized", json::object());
    request("workspace/symbol", {{"query", "no such name"}});   // answered once the workspace is analysed
    double startup = seconds_since(t0);
    notify("textDocument/didOpen", {{"textDocument", {{"uri", uri}, {"languageId", "vela"}, {"version", 1}, {"text", text}}}});
    request("workspace/symbol", {{"query", "no such name"}});

    // Edits: a line put in at the top and taken out again, each answered by
    // its diagnostics before the request behind it.
    std::vector<double> edit;
    double cpu_before = server_cpu();
    for (int i = 0; i < edits; ++i) {
        json change = i % 2 == 0 ? json{{"range", {{"start", position(1, 0)}, {"end", position(1, 0)}}}, {"text", "\tNOP\n"}}
                                 : json{{"range", {{"start", position(1, 0)}, {"end", position(2, 0)}}}, {"text", ""}};
        Clock::time_point t = Clock::now();
        notify("textDocument/didChange", {{"textDocument", {{"uri", uri}, {"version", i + 2}}}, {"contentChanges", json::array({change})}});
        request("textDocument/documentHighlight", {{"textDocument", doc}, {"position", position(0, 0)}});
        edit.push_back(seconds_since(t));
    }
    double edit_cpu = (server_cpu() - cpu_before) / edits;
    if (edits % 2 != 0) return 2;   // the document must end as it began

    // The labels at the start of lines: where definition, references and hover are asked.
    std::vector<int> lines;
    int line = 0;
    for (std::size_t at = 0; at < text.size() && lines.size() < 200; ++line) {
        char c = text[at];
        if ((c >= 'A' && c <= 'Z') || c == '_') lines.push_back(line);
        at = text.find('\n', at);
        if (at == std::string::npos) break;
        ++at;
    }
    std::vector<double> definition, references, hover;
    for (int l : lines) {
        json p{{"textDocument", doc}, {"position", position(l, 1)}};
        Clock::time_point t = Clock::now();
        request("textDocument/definition", p);
        definition.push_back(seconds_since(t));
        t = Clock::now();
        p["context"] = {{"includeDeclaration", true}};
        request("textDocument/references", p);
        references.push_back(seconds_since(t));
        t = Clock::now();
        request("textDocument/hover", p);
        hover.push_back(seconds_since(t));
    }
    // Semantic tokens, folds and include links of the whole document, and
    // the call hierarchy (prepare, incoming and outgoing) on the labels above.
    std::vector<double> tokens, folds, links, calls;
    for (int i = 0; i < 5; ++i) {
        Clock::time_point t = Clock::now();
        request("textDocument/semanticTokens/full", {{"textDocument", doc}});
        tokens.push_back(seconds_since(t));
        t = Clock::now();
        request("textDocument/foldingRange", {{"textDocument", doc}});
        folds.push_back(seconds_since(t));
        t = Clock::now();
        request("textDocument/documentLink", {{"textDocument", doc}});
        links.push_back(seconds_since(t));
    }
    for (int l : lines) {
        Clock::time_point t = Clock::now();
        std::string prepared = request("textDocument/prepareCallHierarchy", {{"textDocument", doc}, {"position", position(l, 1)}});
        double step = seconds_since(t);
        json items = json::parse(prepared)["result"];   // off the clock
        if (!items.is_array() || items.empty()) continue;
        t = Clock::now();
        request("callHierarchy/incomingCalls", {{"item", items[0]}});
        request("callHierarchy/outgoingCalls", {{"item", items[0]}});
        calls.push_back(step + seconds_since(t));
    }
    long peak = peak_kib();
    request("shutdown", nullptr);
    notify("exit", nullptr);
    int status = 0;
    waitpid(server, &status, 0);
    if (answer_log != nullptr) std::fclose(answer_log);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    std::printf("%.6f %.6f %.6f %.6f %.6f %ld %.6f %.6f %.6f %.6f %.6f\n", startup, median(edit), median(definition), median(references),
                median(hover), peak, edit_cpu, median(tokens), median(folds), median(links), median(calls));
    return 0;
}
