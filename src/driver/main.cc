#include "driver/driver.h"

int main(int argc, char** argv) { return run_snapshot(argc, argv); }
