// What the driver shares with the subsystems below it: the fatal-error
// routine and its codes, the exit status, the line counter, the exclusion
// list and the open listing.  The driver owns and sets all of it; this header
// includes nothing above the platform layer, so input, lex, symbols and
// listing can read it without depending on the driver's run loop.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace driver {

inline constexpr int MAX_EXCLUDES = 16;   // names in the -i list

inline constexpr int ERROR_USAGE = 1;         // status 2
inline constexpr int ERROR_OPEN_SOURCE = 2;   // status 3
inline constexpr int ERROR_CREATE_LISTING = 3;
inline constexpr int ERROR_DISK_FULL = 4;
inline constexpr int ERROR_HEAP = 5;
inline constexpr int ERROR_CREATE_PAGE = 6;   // status 3, as the listing

inline const char* exclude_names[MAX_EXCLUDES];  // names cut out of the -i argument in place
inline int exclude_count = 0;                    // filled slots, 0..MAX_EXCLUDES
inline int exit_status = 0;                      // 0, 1 after an include error, 2 or 3 when fatal
inline std::int32_t line_number = 1;             // current line of the source and its includes, from 1
inline platform::TextStream* listing_file = nullptr;   // open write stream of the listing

// Thrown instead of ending the process when fatal errors are made testable.
struct FatalExit {
    int status;
};

// Bell, message and exit status of code 1..6; ends the process.
[[noreturn]] void report_error(int code);

}  // namespace driver
