#include "tests/support/fake_clock.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace {
constexpr int64_t NANOS = 1'000'000'000;
time_t calendar_now = 1'000'000'000;
int64_t monotonic_ns = 1000 * NANOS;
time_t clock_step = 1;
time_t calendar_clock_step = 1;
unsigned calls = 0;
unsigned long slept = 0;
// A wait that never ends would fill the progress capture for ever: a test
// whose code waits this often has failed.
constexpr unsigned RUNAWAY_CALLS = 100'000;

int64_t nanos_of(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * NANOS + t.tv_nsec; }

// The system's clock, for the clocks that are not faked (a test framework's
// timers): the system call itself, since the library function is replaced.
int system_clock_gettime(clockid_t id, timespec* out) {
#if defined(SYS_clock_gettime64)
  if constexpr (sizeof(time_t) == 8) return static_cast<int>(syscall(SYS_clock_gettime64, id, out));
#endif
  return static_cast<int>(syscall(SYS_clock_gettime, id, out));
}
}  // namespace

namespace fake_clock {

void reset(time_t now, time_t step, time_t calendar_step) {
  calendar_now = now;
  monotonic_ns = 1000 * NANOS;
  clock_step = step;
  calendar_clock_step = calendar_step;
  calls = 0;
  slept = 0;
}

time_t now() { return calendar_now; }
unsigned sleep_calls() { return calls; }
unsigned long slept_seconds() { return slept; }

}  // namespace fake_clock

extern "C" time_t time(time_t* out) noexcept {
  if (out != nullptr) *out = calendar_now;
  return calendar_now;
}

extern "C" int clock_gettime(clockid_t id, timespec* out) noexcept {
  if (id != CLOCK_MONOTONIC) return system_clock_gettime(id, out);
  out->tv_sec = static_cast<time_t>(monotonic_ns / NANOS);
  out->tv_nsec = static_cast<long>(monotonic_ns % NANOS);
  return 0;
}

extern "C" int clock_nanosleep(clockid_t id, int flags, const timespec* request, timespec* remain) {
  if (id != CLOCK_MONOTONIC) return EINVAL;
  if (++calls > RUNAWAY_CALLS) {
    std::fprintf(stderr, "fake clock: %u sleeps, the wait does not end\n", RUNAWAY_CALLS);
    _exit(98);
  }
  int64_t asked = (flags & TIMER_ABSTIME) != 0 ? nanos_of(*request) - monotonic_ns : nanos_of(*request);
  if (asked < 0) asked = 0;
  slept += static_cast<unsigned long>(asked / NANOS);
  monotonic_ns += asked * clock_step;
  calendar_now += static_cast<time_t>(asked / NANOS) * calendar_clock_step;
  if (remain != nullptr) *remain = timespec{};
  return 0;
}
