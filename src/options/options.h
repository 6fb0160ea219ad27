// Command-line options: the run's process-wide settings, the output type and
// the option pass that fills them, the camera's device path and the exposure
// flag bits. Every refusal ends the run through usage_error (status 3).
#pragma once

#include <cstdint>

struct CameraInfo;
struct ExposureRequest;

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

// Restores every setting above to its initial value and resets getopt.
void reset_settings();

// Integer rule: strtol base 0 within the signed 32-bit range; returns the
// position just past the number. Never returns on failure.
const char* parse_int(const char* text, int32_t* value);

// Pair rule x{,y} on the value of the option being processed (optarg).
const char* parse_pair(int32_t* first, int32_t* second);

// Seconds rule: strtod, stored, then refused above MAX_EXPOSURE_SECONDS.
const char* parse_seconds(const char* text, double* value);

// Sets output_type once; a second type is "Redundant ouput file type specification!".
void set_output_type(OutputType type);

// Runs the whole option pass over argv; returns the index of the first
// positional word. -help prints the help text and exits 0.
int parse_options(int argc, char** argv, CameraInfo* camera, ExposureRequest* request);

// Prints the version line and the usage text on standard output.
void print_help();
