// The one way a fatal condition ends the process.
#include <cstdlib>
#include <string>

#include "console/console.h"
#include "fatal/fatal.h"
#include "platform/platform.h"

namespace fatal {

namespace {

void write_fatal(std::string_view text) { console::write_message(console::MESSAGE_FATAL, text); }

}  // namespace

void report_error(int code, const char* name) {
    exit_status = code == ERROR_USAGE ? 2 : 3;
    switch (code) {
    case ERROR_USAGE:
        write_fatal(USAGE_TEXT);
        break;
    case ERROR_OPEN_SOURCE:
        write_fatal(TEXT_OPEN_SOURCE + std::string(name));
        break;
    case ERROR_CREATE_LISTING:
        write_fatal(TEXT_CREATE_FILE + std::string(name));
        break;
    case ERROR_READ_SOURCE:
        write_fatal(TEXT_READ_SOURCE + std::string(name));
        break;
    case ERROR_DISK_FULL:
        write_fatal(TEXT_DISK_FULL);
        break;
    default:
        write_fatal(TEXT_HEAP);
        break;
    }
    platform::discard_all_writers();   // a listing path keeps what it held before
    if (code == ERROR_HEAP) std::exit(exit_status);   // an exception might find no memory
    throw FatalExit{exit_status, code, name};   // driver::run ends the process with it
}

void note_error() { exit_status = 1; }

void reset_status() { exit_status = 0; }

}  // namespace fatal
