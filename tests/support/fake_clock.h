// A fake calendar clock for tests of code that waits with time() and sleep().
//
// Linking fake_clock.cc into a test executable replaces the C library's
// time() and sleep() for the whole executable (the executable's definitions
// take precedence at link time), so the product keeps its plain calls and
// gains no indirection. time() reads the fake clock; sleep(n) returns at
// once and moves the clock on by n times the step.
#pragma once

#include <ctime>

namespace fake_clock {

// Sets the clock to `now` and the seconds that pass per second slept.
void reset(time_t now = 1'000'000'000, time_t step = 1);
time_t now();
// How often sleep() was called, and the seconds asked for in total.
unsigned sleep_calls();
unsigned long slept_seconds();

}  // namespace fake_clock
