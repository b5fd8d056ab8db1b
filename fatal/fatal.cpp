// The one way a fatal condition ends the process.
#include <cstdio>
#include <cstdlib>

#include "fatal/fatal.h"
#include "platform/platform.h"

namespace fatal {

namespace {

constexpr char BELL = 0x07;

const char* const USAGE_TEXT =
    "\nUsage: velxref <filename> [-ifilename,..] [-opath]\n"
    "       -i : not include specified files ( use -ifilename,.... )\n"
    "       -o : select drive and directory for output ( use -otmp )\n";

}  // namespace

void report_error(int code, const char* name) {
    std::putchar(BELL);
    exit_status = code == ERROR_USAGE ? 2 : 3;
    switch (code) {
    case ERROR_USAGE:
        write_usage();
        break;
    case ERROR_OPEN_SOURCE:
        std::printf("\nCan't open %s\n", name);
        break;
    case ERROR_CREATE_LISTING:
        std::printf("\nCan't create file %s\n", name);
        break;
    case ERROR_READ_SOURCE:
        std::printf("\nCan't read %s\n", name);
        break;
    case ERROR_DISK_FULL:
        std::fputs("\nOut of disk space.\n", stdout);
        break;
    default:
        std::fputs("\nOut of heap space.\n", stdout);
        break;
    }
    std::fflush(stdout);
    platform::discard_all_writers();   // a listing path keeps what it held before
    if (code == ERROR_HEAP) std::exit(exit_status);   // an exception might find no memory
    throw FatalExit{exit_status, code, name};   // driver::run ends the process with it
}

void write_usage() { std::fputs(USAGE_TEXT, stdout); }

void note_error() { exit_status = 1; }

void reset_status() { exit_status = 0; }

}  // namespace fatal
