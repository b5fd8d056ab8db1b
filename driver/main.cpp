// Program entry.
#include "driver/driver.h"

int main(int argc, char** argv) { return driver::run(argc, argv); }
