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

// Kinds the console shows at once instead of when its buffer fills.
bool shown_at_once(int kind) { return kind == MESSAGE_PROGRESS || kind == MESSAGE_FATAL || kind == MESSAGE_ANSWER; }

}  // namespace

void write_message(int kind, std::string_view text) {
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
