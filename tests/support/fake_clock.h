// A fake clock for tests of code that waits: the calendar clock of time()
// and the monotonic clock of clock_gettime() and clock_nanosleep().
//
// Linking fake_clock.cc into a test executable replaces the C library's
// time(), clock_gettime() and clock_nanosleep() for the whole executable (the
// executable's definitions take precedence at link time), so the product
// keeps its plain calls and gains no indirection. time() reads the fake
// calendar; the monotonic clock stands still until a sleep on it, which
// returns at once having moved the monotonic clock on by the time asked for
// times the step, and the calendar by that many seconds times the calendar
// step. Other clocks are the system's.
#pragma once

#include <ctime>

namespace fake_clock {

// Sets the calendar to `now`, the monotonic seconds that pass per second
// slept, and the calendar seconds that pass per second slept (negative: the
// calendar is set back while the wait goes on).
void reset(time_t now = 1'000'000'000, time_t step = 1, time_t calendar_step = 1);
time_t now();
// How often a sleep was asked for, and the whole seconds asked for in total.
unsigned sleep_calls();
unsigned long slept_seconds();

}  // namespace fake_clock
