// Fuzz target: arbitrary argument vectors (up to 20 arguments, separated by
// NUL bytes in the input) through option parsing and file naming.  Nothing is
// opened; a fatal error ends the input, not the fuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "fatal/fatal.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr int MAX_ARGUMENTS = 20;

void set_up() {
    fuzz_support::make_scratch("args");
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool ready = false;
    if (!ready) {
        set_up();
        ready = true;
    }
    std::vector<std::string> words(1, "velxref");
    std::string current;
    for (std::size_t i = 0; i < size && words.size() <= MAX_ARGUMENTS; ++i) {
        if (data[i] == 0) {
            words.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (words.size() <= MAX_ARGUMENTS) words.push_back(current);

    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    try {
        driver::start_up();
        driver::parse_options(static_cast<int>(words.size()), argv.data());
        for (int i = 0; i < driver::source_count; ++i) {
            driver::derive_names(driver::source_names[i]);
            if (driver::listing_path.size() < driver::base_name.size()) std::abort();
        }
    } catch (const fatal::FatalExit& e) {
        // parsing ends early only with a usage error, or after --help or --version
        if (e.status != 2 && e.status != 0) std::abort();
    }
    return 0;
}
