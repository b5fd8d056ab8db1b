// What both fuzz targets need around a run: a scratch directory under
// TMPDIR (or /tmp) to work in, removed when the fuzzer exits.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace fuzz_support {

inline std::string scratch_dir;   // the working directory, "" until made

inline void remove_scratch() {
    std::error_code ec;
    std::filesystem::remove_all(scratch_dir, ec);
}

// Makes the scratch directory velxref-fuzz-WHAT-XXXXXX, enters it and has it
// removed at exit; returns its path.
inline std::string make_scratch(const char* what) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/velxref-fuzz-" + what + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) std::abort();
    scratch_dir = pattern;
    std::atexit(remove_scratch);
    return pattern;
}

}  // namespace fuzz_support
