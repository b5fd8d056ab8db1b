// Program entry.
#include "driver/driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    platform::prepare_process();
    return driver::run(argc, argv);
}
