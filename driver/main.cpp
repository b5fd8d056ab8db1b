// Program entry.
#include "driver/driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    platform::start_process();
    return driver::run(argc, argv);
}
