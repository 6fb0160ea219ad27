// Exposure control: exposure-time limits and conversions, the exposure
// argument of the command line, and the autoexposure calibration.
#include "exposure/exposure.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "console/console.h"
#include "options/options.h"
#include "settings/settings.h"

namespace {

// Exit status of a failed calibration frame.
constexpr int CALIBRATION_FAILED_STATUS = 6;

}  // namespace

uint32_t to_unsigned_saturating(double value) {
  if (!(value >= 1.0)) return 0;  // NaN, zero and everything below 1
  if (value >= 4294967296.0) return UINT32_MAX;
  return static_cast<uint32_t>(value);
}

uint32_t ms_from_seconds(double seconds) { return to_unsigned_saturating(seconds * 1000.0 + 0.5); }

double seconds_from_ms(uint32_t ms) { return static_cast<double>(ms) / 1000.0; }

int take_exposure_argument(int argc, char** argv, int index) {
  // Autoexposure: the first positional word is the output file.
  if (exposure_seconds != 0.0) return index;
  if (index >= argc || argv[index] == nullptr) usage_error("Missing Exposure Time");
  const char* end = parse_seconds(argv[index], &exposure_seconds);
  if (*end != '\0') usage_error("Junk text after exposure duration");
  if (!(exposure_seconds >= MIN_EXPOSURE_SECONDS)) usage_error("Exposure duration must be >= 0.001 seconds");
  return index + 1;
}

void settle_exposure(ExposureRequest& request) {
  if (exposure_seconds < 0.0) {
    calibrate_exposure(request);
  } else {
    request.exposure_ms = ms_from_seconds(exposure_seconds);
  }
}

void calibrate_exposure(ExposureRequest& request) {
  const bool unbinned = request.x_bin == 1 && request.y_bin == 1;
  if (autoexpose_target == 0) autoexpose_target = static_cast<int32_t>(unbinned ? TARGET_UNBINNED : TARGET_BINNED);
  // A negative target is used as the unsigned count with the same bits.
  const auto target = static_cast<uint32_t>(autoexpose_target);

  const double limit = std::fabs(exposure_seconds);
  if (debug_level != 0) {
    std::printf("Calibrating <= %g second exposure for %d max A/D counts...\n", limit, autoexpose_target);
  }
  const uint32_t limit_ms = ms_from_seconds(limit);
  request.exposure_ms = limit_ms;

  ExposureRequest calibration_request = request;
  calibration_request.exposure_ms = limit_ms / FIRST_FRAME_DIVISOR;
  const bool one_pixel_bins = static_cast<int64_t>(request.x_bin) * request.y_bin == 1;
  const uint32_t saturation = one_pixel_bins ? SATURATION_UNBINNED : SATURATION_BINNED;

  for (;;) {
    if (calibration_request.exposure_ms == 0) calibration_request.exposure_ms = 1;
    expose_with_countdown(calibration_request);
    PixelStats stats{};
    if (read_image(calibration_request, discard_row, nullptr, &stats) != 0) {
      std::fprintf(stderr, "Autoexposure calibration failed!\n");
      std::exit(CALIBRATION_FAILED_STATUS);
    }

    if (stats.filtered_max > saturation) {
      if (calibration_request.exposure_ms > 1) {
        calibration_request.exposure_ms >>= SHORTEN_SHIFT;
        continue;
      }
      std::fprintf(stderr, "WARNING:  Too Bright -- required exposure time < 1ms\n");
      request.exposure_ms = 1;
      return;
    }

    // The signal above the dark level is taken to grow in proportion to the
    // exposure time. A peak at or below the dark level (no pixel qualified
    // for filtered_max) is no signal at all rather than a wrapped difference.
    const uint32_t dark = std::min(stats.min, DARK_LEVEL_CAP);
    const uint32_t signal = stats.filtered_max > dark ? stats.filtered_max - dark : 0;
    // The ratio first, then the product, truncated; no signal gives infinity
    // and so the saturated count.
    const double ratio = static_cast<double>(target) / static_cast<double>(signal);
    uint32_t required = to_unsigned_saturating(static_cast<double>(calibration_request.exposure_ms) * ratio);
    // A frame brighter than the target at 1 ms still gets 1 ms, never 0.
    if (required == 0) required = 1;

    if (required <= limit_ms) {
      request.exposure_ms = required;
    } else {
      std::fprintf(stderr, "WARNING:  Too Dark -- required %gs exposure > %gs time limit\n", seconds_from_ms(required),
                   seconds_from_ms(limit_ms));
    }
    return;
  }
}
