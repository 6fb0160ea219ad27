// LD_PRELOAD library for the tests: the program's standard output is line
// buffered, whatever it is, so that each line reaches a shared log when it
// is printed. (coreutils' stdbuf does the same, but its library is the
// build machine's, which a cross-built program run under emulation cannot
// load.)
#include <stdio.h>

__attribute__((constructor)) static void line_buffered_stdout(void) { setvbuf(stdout, NULL, _IOLBF, 0); }
