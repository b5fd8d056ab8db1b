// Program entry.
#include <csignal>

#include "driver/driver.h"

int main(int argc, char** argv) {
    // A console that went away (a closed pipe) must not end the run before
    // the listings are written: console writes then fail quietly instead.
    std::signal(SIGPIPE, SIG_IGN);
    return driver::run(argc, argv);
}
