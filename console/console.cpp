// The console: every message to standard output.
#include <cstdio>

#include "console/console.h"
#include "platform/platform.h"

namespace console {

namespace {

constexpr char BELL = 0x07;

// Kinds whose text the console puts between line feeds.
bool framed(int kind) {
    return kind == MESSAGE_SOURCE || kind == MESSAGE_INCLUDE || kind == MESSAGE_FATAL || kind == MESSAGE_ANSWER;
}

// Standard output is the null device, as found when the run on a source
// started (build scripts send it there, and so does bench/run.sh): its
// progress marks then wait in the buffer like other text instead of going
// out one write each, since nobody sees them.  A mark every 100 lines is
// 10,000 writes on 1,000,000 lines; held back, 4 to 5 % less CPU time on
// the realistic case (3 to 6 % less wall time; three batches of 21 to 31
// runs), 8 % on hot (9 % wall; 15 runs) (Release, interleaved runs pinned
// to one core, medians).  On a file, a pipe or a
// terminal every mark goes out at once, as before.
bool console_unseen = false;   // standard output was the null device when the run on the last source started

// Kinds the console shows at once instead of when its buffer fills.
bool shown_at_once(int kind) {
    return (kind == MESSAGE_PROGRESS && !console_unseen) || kind == MESSAGE_FATAL || kind == MESSAGE_ANSWER;
}

}  // namespace

void write_message(int kind, std::string_view text) {
    if (kind == MESSAGE_SOURCE) console_unseen = platform::console_is_null_device();
    if (kind == MESSAGE_FATAL) std::putchar(BELL);
    if (framed(kind)) std::putchar('\n');
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (framed(kind)) std::putchar('\n');
    if (shown_at_once(kind)) std::fflush(stdout);
}

void flush() { std::fflush(stdout); }

void silence_if_file(const char* name) {
    if (platform::console_is_file(name)) platform::silence_console();
}

}  // namespace console
