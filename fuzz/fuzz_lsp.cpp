// Fuzz target: arbitrary bytes as what an editor sends the language server,
// through the framing, the JSON reader, the dispatcher and every analysis the
// messages start (a document opened with any text, edited anywhere).  An
// input whose first byte is even is preceded by an initialize naming the
// scratch directory as the root, where a copy of the example waits, so the
// requests after it reach the index; an odd one starts from nothing.
//
// The rest may use a shorthand (fuzz/lsp.dict has its words), so that a short
// input reaches what only a long one shows: lines past 65,536 characters,
// messages longer than any input libFuzzer makes.
//   \0 \0                  a zero byte
//   \0 R n1 n2 k b1..bk     the k bytes b1..bk, (n1 * 256 + n2) * 16 times
//   \0 F                   a message starts here: its Content-Length header,
//                          counted once the shorthand is expanded, and its
//                          body up to the next \0 F or the end
// It is expanded to at most MAX_EXPANDED bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "fuzz/fuzz_support.h"
#include "lsp/lsp.h"
#include "platform/platform.h"

namespace {

std::string initialize;   // the framed initialize of even inputs

constexpr std::size_t MAX_EXPANDED = 1 << 20;

// data with its shorthand expanded.
std::string expand(const std::uint8_t* data, std::size_t size) {
    std::string prefix;                 // before the first \0 F
    std::vector<std::string> bodies;    // one per \0 F
    auto out = [&]() -> std::string& { return bodies.empty() ? prefix : bodies.back(); };
    std::size_t total = 0;
    for (std::size_t i = 0; i < size && total < MAX_EXPANDED;) {
        if (data[i] != 0 || i + 1 == size) {
            out() += static_cast<char>(data[i++]);
            ++total;
            continue;
        }
        std::uint8_t op = data[i + 1];
        if (op == 'F') {
            bodies.emplace_back();
            i += 2;
        } else if (op == 'R' && i + 5 <= size) {
            std::size_t times = (data[i + 2] * 256u + data[i + 3]) * 16u;
            std::size_t k = std::min<std::size_t>(data[i + 4], size - (i + 5));
            std::string_view unit(reinterpret_cast<const char*>(data + i + 5), k);
            for (std::size_t t = 0; t < times && k > 0 && total < MAX_EXPANDED; ++t, total += k) out() += unit;
            i += 5 + k;
        } else {
            out() += op == 0 ? '\0' : static_cast<char>(op);
            ++total;
            i += 2;
        }
    }
    for (const std::string& body : bodies) prefix += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return prefix;
}

void copy_file(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(to, std::ios::binary) << bytes;
}

void set_up() {
    platform::silence_console();   // as the server's channel does: what the console would say goes nowhere
    std::string dir = fuzz_support::make_scratch("lsp");
    copy_file(VELXREF_SOURCE_DIR "/examples/BLINK.AVL", dir + "/BLINK.AVL");
    copy_file(VELXREF_SOURCE_DIR "/examples/PORTS.INC", dir + "/PORTS.INC");
    std::string body = "{\"jsonrpc\":\"2.0\",\"id\":0,\"method\":\"initialize\",\"params\":{\"rootUri\":\"file://" + dir +
                       "\",\"capabilities\":{\"workspace\":{\"didChangeWatchedFiles\":{\"dynamicRegistration\":true}}}}}";
    initialize = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (fuzz_support::scratch_dir.empty()) set_up();
    bool even = size > 0 && data[0] % 2 == 0;
    std::string bytes = even ? initialize + expand(data + 1, size - 1) : expand(data, size);
    std::string in = fuzz_support::scratch_dir + "/in";
    std::ofstream(in, std::ios::binary | std::ios::trunc) << bytes;

    lsp::reset_server();
    lsp::channel_in = platform::system_open_read(in.c_str());
    lsp::channel_out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (lsp::channel_in < 0 || lsp::channel_out < 0) std::abort();
    int status = lsp::serve();
    if (status != 0 && status != 1) std::abort();
    ::close(lsp::channel_in);
    ::close(lsp::channel_out);
    lsp::reset_server();
    if (!platform::change_directory(fuzz_support::scratch_dir.c_str())) std::abort();   // a root elsewhere was entered
    return 0;
}
