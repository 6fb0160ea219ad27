#include "tests/support/fake_clock.h"

#include <unistd.h>

namespace {
time_t clock_now = 1'000'000'000;
time_t clock_step = 1;
unsigned calls = 0;
unsigned long slept = 0;
}  // namespace

namespace fake_clock {

void reset(time_t now, time_t step) {
  clock_now = now;
  clock_step = step;
  calls = 0;
  slept = 0;
}

time_t now() { return clock_now; }
unsigned sleep_calls() { return calls; }
unsigned long slept_seconds() { return slept; }

}  // namespace fake_clock

extern "C" time_t time(time_t* out) noexcept {
  if (out != nullptr) *out = clock_now;
  return clock_now;
}

extern "C" unsigned int sleep(unsigned int seconds) {
  ++calls;
  slept += seconds;
  clock_now += static_cast<time_t>(seconds) * clock_step;
  return 0;
}
