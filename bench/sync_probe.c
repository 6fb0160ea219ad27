/* Preloaded (LD_PRELOAD) into ccdshot by bench/sync_cost. fdatasync, the
   call that makes the finished image durable, is timed, and its seconds are
   appended to the file named by SYNC_PROBE_LOG; with SYNC_PROBE_SKIP set it
   does nothing and succeeds, which is the program as it ran before it synced
   its output. Every other call is left alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int fdatasync(int fd);

static double seconds(const struct timespec* t) { return (double)t->tv_sec + (double)t->tv_nsec / 1e9; }

int fdatasync(int fd) {
  static int (*real)(int) = NULL;
  struct timespec start;
  struct timespec end;
  int result;
  const char* log_path = getenv("SYNC_PROBE_LOG");
  if (getenv("SYNC_PROBE_SKIP") != NULL) return 0;
  if (real == NULL) *(void**)(&real) = dlsym(RTLD_NEXT, "fdatasync");
  if (real == NULL) return -1;
  clock_gettime(CLOCK_MONOTONIC, &start);
  result = real(fd);
  clock_gettime(CLOCK_MONOTONIC, &end);
  if (log_path != NULL) {
    FILE* out = fopen(log_path, "a");
    if (out != NULL) {
      fprintf(out, "%.9f\n", seconds(&end) - seconds(&start));
      fclose(out);
    }
  }
  return result;
}
