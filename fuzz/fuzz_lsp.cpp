// Fuzz target: arbitrary bytes as what an editor sends the language server,
// through the framing, the JSON reader, the dispatcher and every analysis the
// messages start (a document opened with any text, edited anywhere).  An
// input whose first byte is even is preceded by an initialize naming the
// scratch directory as the root, where a copy of the example waits, so the
// requests after it reach the index; an odd one starts from nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "fuzz/fuzz_support.h"
#include "lsp/lsp.h"
#include "platform/platform.h"

namespace {

std::string initialize;   // the framed initialize of even inputs

void copy_file(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(to, std::ios::binary) << bytes;
}

void set_up() {
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
    std::string bytes(reinterpret_cast<const char*>(data), size);
    if (size > 0 && data[0] % 2 == 0) bytes = initialize + bytes.substr(1);
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
