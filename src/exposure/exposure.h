// Exposure control: the conversions of exposure times (their limits are
// settings, settings/settings.h), reading the exposure time from the command line, and the autoexposure calibration that
// finds the time from short test frames of the very window to be taken.
#pragma once

#include <cstdint>

#include "camera/camera.h"
#include "settings/settings.h"

inline constexpr uint32_t TARGET_UNBINNED = 40000;
inline constexpr uint32_t TARGET_BINNED = 50000;
inline constexpr uint32_t SATURATION_UNBINNED = 60000;
inline constexpr uint32_t SATURATION_BINNED = 65000;
inline constexpr uint32_t DARK_LEVEL_CAP = 1500;
inline constexpr uint32_t FIRST_FRAME_DIVISOR = 151;
inline constexpr unsigned SHORTEN_SHIFT = 7;

// NaN and values below 1 give 0, 2^32 and above give 2^32 - 1, else truncation.
uint32_t to_unsigned_saturating(double value);
// Seconds to the nearest whole millisecond, a half upward, saturating.
uint32_t ms_from_seconds(double seconds);
// Milliseconds to seconds (exact conversion, divided by 1000.0).
double seconds_from_ms(uint32_t ms);

// Reads the exposure time from argv[index] unless autoexposure was chosen;
// returns the index of the next word. Refusals end the run (status 3).
int take_exposure_argument(int argc, char** argv, int index);

// Sets the request's exposure_ms: from exposure_seconds, or by calibration.
void settle_exposure(ExposureRequest& request);

// Finds the exposure time with test frames; a failed frame exits with status 6.
void calibrate_exposure(ExposureRequest& request);
