// The exposure countdown against a fake clock (see fake_clock.h): the texts
// on the progress channel byte for byte, the sleeps taken, and what reaches
// the camera, without waiting in real time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "camera/camera.h"
#include "tests/support/fake_clock.h"
#include "sim/fake_camera.h"
#include "tests/support/test_support.h"

using testing_support::ChildOptions;
using testing_support::Fd3;
using testing_support::run_in_child;

namespace {

constexpr time_t CLOCK_START = 1'700'000'000;

// Waits (in real time; the fake clock does not move) until the fake has
// decoded `count` exposures.
bool wait_for_exposures(const ccdsim::FakeCamera& fake, std::size_t count) {
  for (int i = 0; i < 5000; ++i) {
    if (fake.exposures().size() >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Runs expose_with_countdown in a child on the fake camera and reports on
// standard output what the request and the camera saw.
testing_support::ChildResult countdown(uint32_t exposure_ms, time_t step = 1, time_t calendar_step = 1) {
  return run_in_child(
      [exposure_ms, step, calendar_step] {
        ccdsim::ModelConfig config;
        config.pattern = ccdsim::Pattern::Ramp;
        config.sensor.width = 8;
        config.sensor.height = 4;
        ccdsim::FakeCamera fake(config);
        CameraInfo camera = make_camera_info();
        if (camera_query(camera, fake.fd()) != 1) return 10;
        ExposureRequest request = make_exposure_request(&camera);
        request.width = 8;
        request.height = 4;
        request.x_bin = 1;
        request.y_bin = 1;
        request.depth = 16;
        request.rows_read = 7;
        request.exposure_ms = exposure_ms;
        fake_clock::reset(CLOCK_START, step, calendar_step);
        expose_with_countdown(request);
        if (!wait_for_exposures(fake, 1)) return 11;
        std::printf("start %+lld sleeps %u slept %lu sent %zu ms %u rows_read %d row_bytes %d\n",
                    static_cast<long long>(request.start_time - CLOCK_START), fake_clock::sleep_calls(),
                    fake_clock::slept_seconds(), fake.exposures().size(), fake.exposures()[0].exposure_ms,
                    request.rows_read, request.row_bytes);
        return 0;
      },
      ChildOptions{.fd3 = Fd3::File});
}

// "\r" then the number right-aligned in `width` columns, then a blank.
std::string tick(int remaining, std::size_t width) {
  const std::string digits = std::to_string(remaining);
  return "\r" + std::string(width - digits.size(), ' ') + digits + " ";
}

}  // namespace

TEST(CountdownTest, TextsAndSleepsByExposureTime) {
  std::string hundred = "100 seconds remaining";
  for (int r = 99; r >= 2; --r) hundred += tick(r, 3);
  hundred += "\r";

  struct Case {
    uint32_t exposure_ms;
    std::string progress;
    unsigned sleeps;
  };
  const Case cases[] = {
      {0, "", 0},
      {999, "", 0},
      {1999, "", 0},  // one whole second: sent and timed, nothing shown
      {2000, "2 seconds remaining\r", 1},
      {2999, "2 seconds remaining\r", 1},
      {5000, "5 seconds remaining\r4 \r3 \r2 \r", 4},
      {5999, "5 seconds remaining\r4 \r3 \r2 \r", 4},
      {10000, "10 seconds remaining\r 9 \r 8 \r 7 \r 6 \r 5 \r 4 \r 3 \r 2 \r", 9},
      {100000, hundred, 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exposure_ms);
    const auto result = countdown(c.exposure_ms);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.fd3, c.progress);
    char line[200];
    std::snprintf(line, sizeof line, "start +0 sleeps %u slept %u sent 1 ms %u rows_read 0 row_bytes 16\n", c.sleeps,
                  c.sleeps, c.exposure_ms);
    EXPECT_EQ(result.out, line);
    EXPECT_EQ(result.err, "");
  }
}

TEST(CountdownTest, HundredSecondsKeepTheFirstMessagesWidth) {
  const auto result = countdown(100000);
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string head = "100 seconds remaining\r 99 \r 98 ";
  EXPECT_EQ(result.fd3.substr(0, head.size()), head);
  const std::string tail = "\r 10 \r  9 \r  8 \r  7 \r  6 \r  5 \r  4 \r  3 \r  2 \r";
  ASSERT_GE(result.fd3.size(), tail.size());
  EXPECT_EQ(result.fd3.substr(result.fd3.size() - tail.size()), tail);
}

TEST(CountdownTest, RemainingTimeComesFromTheClockNotFromTheSleeps) {
  // A clock that runs two seconds per second slept (a loaded machine): the
  // countdown shows what is really left and ends on time.
  const auto result = countdown(5000, 2, 2);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.fd3, "5 seconds remaining\r3 \r");
  EXPECT_EQ(result.out, "start +0 sleeps 2 slept 2 sent 1 ms 5000 rows_read 0 row_bytes 16\n");

  const auto slower = countdown(10000, 3, 3);
  ASSERT_EQ(slower.status, 0) << slower.err;
  EXPECT_EQ(slower.fd3, "10 seconds remaining\r 7 \r 4 \r");
  EXPECT_EQ(slower.out, "start +0 sleeps 3 slept 3 sent 1 ms 10000 rows_read 0 row_bytes 16\n");
}

TEST(CountdownTest, CalendarSetDuringTheWaitChangesNothing) {
  // A clock set from the network or a GPS mid-exposure: back an hour, or
  // forward an hour, with every second waited. The countdown and its end
  // follow the time that really passed; start_time is the calendar's at the start.
  for (const time_t calendar_step : {-3600, 3600, 0}) {
    SCOPED_TRACE(calendar_step);
    const auto result = countdown(5000, 1, calendar_step);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.fd3, "5 seconds remaining\r4 \r3 \r2 \r");
    EXPECT_EQ(result.out, "start +0 sleeps 4 slept 4 sent 1 ms 5000 rows_read 0 row_bytes 16\n");
  }
}
