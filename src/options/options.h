// Command-line options: the option pass that fills the run's settings
// (settings/settings.h), the camera's device path and the exposure
// flag bits. Every refusal ends the run through usage_error (status 3).
#pragma once

#include <cstdint>

#include "settings/settings.h"

struct CameraInfo;
struct ExposureRequest;

// Restores every setting of settings/settings.h to its initial value and resets getopt.
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
