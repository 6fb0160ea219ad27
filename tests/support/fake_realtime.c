// LD_PRELOAD library for the end-to-end tests: sets the wall clock of the
// program it is loaded into. time(), gettimeofday() and clock_gettime() of
// CLOCK_REALTIME give the seconds in CCDSHOT_FAKE_REALTIME (since the epoch)
// at load, then advance with the monotonic clock; other clocks are the real
// ones. Without the variable every call goes to the C library.
//
// Built with the C library's own time_t. Where that is 32 bits, the 64-bit
// time functions (__time64 and its siblings, what a program built with a
// 64-bit time_t calls) are replaced too, so that a program reads the set
// clock whichever time_t it was built with, cut to its time_t's width as
// the real clock would be.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

typedef int (*ClockGettime)(clockid_t, struct timespec*);

// The next definition of a C library function (dlsym's object pointer, copied
// into a function pointer as POSIX allows).
static void next_function(const char* name, void* function) {
  void* found = dlsym(RTLD_NEXT, name);
  memcpy(function, &found, sizeof found);
}

static int active;
static int64_t base_seconds;
static struct timespec loaded;  // monotonic clock at load

static ClockGettime real_clock_gettime(void) {
  static ClockGettime real;
  if (real == NULL) next_function("clock_gettime", &real);
  return real;
}

__attribute__((constructor)) static void set_up(void) {
  const char* text = getenv("CCDSHOT_FAKE_REALTIME");
  if (text == NULL || *text == '\0') return;
  ClockGettime real = real_clock_gettime();
  if (real == NULL || real(CLOCK_MONOTONIC, &loaded) != 0) return;
  base_seconds = strtoll(text, NULL, 10);
  active = 1;
}

// The set clock now: seconds and nanoseconds.
static void fake_now(int64_t* seconds, long* nanoseconds) {
  struct timespec now = loaded;
  real_clock_gettime()(CLOCK_MONOTONIC, &now);
  long ns = now.tv_nsec - loaded.tv_nsec;
  int64_t s = base_seconds + (int64_t)(now.tv_sec - loaded.tv_sec);
  if (ns < 0) {
    ns += 1000000000L;
    s -= 1;
  }
  *seconds = s;
  *nanoseconds = ns;
}

static int is_realtime(clockid_t clock) { return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE; }

time_t time(time_t* out) {
  int64_t s;
  long ns;
  if (!active) {
    struct timespec now;
    if (real_clock_gettime()(CLOCK_REALTIME, &now) != 0) return (time_t)-1;
    s = now.tv_sec;
  } else {
    fake_now(&s, &ns);
  }
  if (out != NULL) *out = (time_t)s;
  return (time_t)s;
}

int clock_gettime(clockid_t clock, struct timespec* ts) {
  if (!active || !is_realtime(clock)) return real_clock_gettime()(clock, ts);
  int64_t s;
  long ns;
  fake_now(&s, &ns);
  ts->tv_sec = (time_t)s;
  ts->tv_nsec = ns;
  return 0;
}

int gettimeofday(struct timeval* restrict tv, void* restrict zone) {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
  if (zone != NULL) ((struct timezone*)zone)->tz_minuteswest = ((struct timezone*)zone)->tz_dsttime = 0;
  tv->tv_sec = now.tv_sec;  // declared never null
  tv->tv_usec = now.tv_nsec / 1000;
  return 0;
}

#if __TIMESIZE == 32
// The C library's records for the 64-bit time calls of a 32-bit system.
struct Timespec64 {
  int64_t tv_sec;
  int32_t tv_nsec;
  int32_t padding;
};
struct Timeval64 {
  int64_t tv_sec;
  int64_t tv_usec;
};
typedef int (*ClockGettime64)(clockid_t, struct Timespec64*);

int __clock_gettime64(clockid_t clock, struct Timespec64* ts);
int64_t __time64(int64_t* out);
int __gettimeofday64(struct Timeval64* restrict tv, void* restrict zone);

int __clock_gettime64(clockid_t clock, struct Timespec64* ts) {
  if (!active || !is_realtime(clock)) {
    static ClockGettime64 real;
    if (real == NULL) next_function("__clock_gettime64", &real);
    return real(clock, ts);
  }
  int64_t s;
  long ns;
  fake_now(&s, &ns);
  ts->tv_sec = s;
  ts->tv_nsec = (int32_t)ns;
  ts->padding = 0;
  return 0;
}

int64_t __time64(int64_t* out) {
  struct Timespec64 now;
  if (__clock_gettime64(CLOCK_REALTIME, &now) != 0) return -1;
  if (out != NULL) *out = now.tv_sec;
  return now.tv_sec;
}

int __gettimeofday64(struct Timeval64* restrict tv, void* restrict zone) {
  struct Timespec64 now;
  if (__clock_gettime64(CLOCK_REALTIME, &now) != 0) return -1;
  if (zone != NULL) ((struct timezone*)zone)->tz_minuteswest = ((struct timezone*)zone)->tz_dsttime = 0;
  if (tv != NULL) {
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = now.tv_nsec / 1000;
  }
  return 0;
}
#endif
