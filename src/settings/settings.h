// The run's settings: the output type and its display names, and the
// process-wide values that the option pass fills and every module reads.
// Includes no other module.
#pragma once

#include <cstdint>

// File type of the output image.
enum OutputType : int {
  OUTPUT_UNSPECIFIED = 0,
  OUTPUT_TIFF = 1,
  OUTPUT_FITS = 2,
  OUTPUT_JPEG = 3,
};

// Display name of an output type ("unspecified", "TIFF", "FITS", "JPEG").
const char* output_type_name(OutputType type);

extern OutputType output_type;
extern uint8_t debug_level;
extern int32_t window_width;
extern int32_t window_height;
extern int32_t window_x;
extern int32_t window_y;
extern int32_t binning_x;
extern int32_t binning_y;
// 0.0: not given yet; positive: manual seconds; negative: autoexposure limit.
extern double exposure_seconds;
// Autoexposure's A/D count target; 0 lets the calibration choose.
extern int32_t autoexpose_target;

// Limits of the exposure seconds that the command line may give.
inline constexpr double MAX_EXPOSURE_SECONDS = 2147483.647;
inline constexpr double MIN_EXPOSURE_SECONDS = 0.001;
inline constexpr double MIN_AUTOEXPOSE_LIMIT = 0.002;
inline constexpr double DEFAULT_AUTOEXPOSE_LIMIT = 300.0;
