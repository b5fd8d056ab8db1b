// Fuzz target: arbitrary bytes as a source file, through the text-mode layer,
// the reader, the tokenizer and the classifier into the symbol table, then the
// listing written to a scratch file.  Every input starts as a new source.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "driver/driver.h"
#include "fatal/fatal.h"
#include "input/input.h"
#include "listing/listing.h"
#include "platform/platform.h"

namespace {

std::string scratch;   // working directory of the whole run

void set_up() {
    char pattern[] = "/tmp/velxref-fuzz-lines-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    scratch = pattern;
    if (chdir(pattern) != 0) std::abort();
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();   // banner and marks
    driver::start_up();
}

void write_source(const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen("FUZZ.AVL", "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

// A fatal error leaves streams open; close them as the process exit would.
void close_leftovers() {
    for (int level = 0; level < input::MAX_INCLUDE_DEPTH; ++level)
        if (input::include_stack[level] != nullptr) platform::close_stream(input::include_stack[level]);
    if (driver::source_file != nullptr) platform::close_stream(driver::source_file);
    if (listing::listing_file != nullptr) platform::close_stream(listing::listing_file);
    if (driver::page_file != nullptr) platform::close_stream(driver::page_file);
    input::reset_input(nullptr);
    driver::source_file = nullptr;
    listing::listing_file = nullptr;
    driver::page_file = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (scratch.empty()) set_up();
    write_source(data, size);
    static char name[] = "FUZZ";
    driver::source_names[0] = name;
    driver::source_count = 1;
    driver::output_dir_given = false;
    input::clear_excludes();
    try {
        driver::process_source(0);
    } catch (const fatal::FatalExit&) {
        close_leftovers();
    }
    return 0;
}
