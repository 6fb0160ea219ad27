// Calibrations whose frames last long enough to be counted down, against
// the fake clock (tests/support/fake_clock.h): frame lengths up to the largest
// limit without waiting for them.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/fake_clock.h"
#include "tests/support/calibration_fixture.h"

using calibration_fixture::Calibration;
using calibration_fixture::calibrate;
using calibration_fixture::frame;
using calibration_fixture::saturated;
using testing_support::Fd3;

TEST(CalibrationClockTest, LargestLimitTakesAtMostFiveFrames) {
  fake_clock::reset();
  // Every frame saturated: 2147483647 / 151, then shifted right by 7 each time.
  const auto result = calibrate({.limit = 2147483.647, .frames = {saturated()}, .fd3 = Fd3::Closed});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "exposure_ms 1 frames 14221746 111107 868 6 1 target 40000\n");
  EXPECT_EQ(result.err, "WARNING:  Too Bright -- required exposure time < 1ms\n");
}

TEST(CalibrationClockTest, RatioIsTakenBeforeTheProduct) {
  // 868 ms with a signal of 1085 and the target 40000: 868 * (40000 / 1085)
  // truncates to 31999, where the exact quotient is 32000.
  fake_clock::reset();
  const auto result =
      calibrate({.limit = 2147483.647, .frames = {saturated(), saturated(), frame(2085, 1000)}, .fd3 = Fd3::Closed});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "exposure_ms 31999 frames 14221746 111107 868 target 40000\n");
  EXPECT_EQ(result.err, "");
}

TEST(CalibrationClockTest, CalibrationFramesAreCountedDown) {
  // A 453 s limit makes a first frame of 3000 ms, a 2 s limit frames of 1 ms.
  const std::string upload = "\r  0% Uploaded        \r";
  fake_clock::reset();
  const auto result = calibrate({.limit = 453, .frames = {saturated(), frame(30000, 900)}});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "exposure_ms 31 frames 3000 23 target 40000\n");
  EXPECT_EQ(result.fd3, "3 seconds remaining\r2 \r" + upload + upload);

  const auto longer = calibrate({.limit = 1510, .frames = {frame(20600, 1100)}});
  ASSERT_EQ(longer.status, 0) << longer.err;
  EXPECT_EQ(longer.out, "exposure_ms 20512 frames 10000 target 40000\n");
  EXPECT_EQ(longer.fd3, "10 seconds remaining\r 9 \r 8 \r 7 \r 6 \r 5 \r 4 \r 3 \r 2 \r" + upload);
}
