// Support for the writer tests: one exposure from the in-process fake camera
// written by a writer in a child process, the pixels the camera sent, the
// external checker scripts and a file system whose close() fails.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "sim/camera_model.h"
#include "tests/support/failing_close_fs.h"
#include "tests/support/test_support.h"

namespace writer_test {

// One exposure of the ramp pattern (unless a pixel function is given).
struct Shot {
  uint16_t sensor_width = 64;
  uint16_t sensor_height = 48;
  uint16_t bits_per_pixel = 16;
  uint16_t pixel_raw = 1651;  // 1651/256 micrometres, 6.4 to the nearest tenth
  int32_t x_origin = 0;
  int32_t y_origin = 0;
  int32_t width = 0;   // 0: the whole sensor width
  int32_t height = 0;  // 0: the whole sensor height
  int32_t x_bin = 1;
  int32_t y_bin = 1;
  int32_t depth = 16;
  uint32_t exposure_ms = 5;
  time_t start_time = 741476948;  // Wed Jun 30 21:49:08 1993 UTC
  ccdsim::Faults faults;
  std::function<uint32_t(const ccdsim::FrameContext&, uint32_t, uint32_t)> pixel;

  int32_t window_width() const { return width != 0 ? width : sensor_width; }
  int32_t window_height() const { return height != 0 ? height : sensor_height; }
  uint32_t columns() const { return static_cast<uint32_t>(window_width() / x_bin); }
  uint32_t rows() const { return static_cast<uint32_t>(window_height() / y_bin); }
};

enum class Writer { Fits, Tiff };

// Done in the child before the output file is opened (limits, signals).
using ChildSetup = std::function<void()>;

// Exposes the shot on a fake camera in a child process, opens path with
// fopen(path, "w") and runs the writer; the child returns 0 if the writer returns.
testing_support::ChildResult write_shot(Writer writer, const Shot& shot, const std::string& path,
                                        const testing_support::ChildOptions& options = {},
                                        const ChildSetup& setup = {});

// The value the camera sent for output pixel (column, row) of the shot.
uint16_t camera_pixel(const Shot& shot, uint32_t column, uint32_t row);

// The readout's statistics line for the shot, as debug level 1 prints it.
std::string statistics_line(const Shot& shot);

// Options for a child with none of the TIFF_* variables, plus these assignments.
testing_support::ChildOptions tiff_environment(std::vector<std::string> assignments = {});

// Why the external checkers cannot run ("" when they can): /usr/bin/python3
// with the modules, and each program, must exist.
std::string checker_missing(const std::vector<std::string>& modules, const std::vector<std::string>& programs);

// Runs tests/tools/<script> with /usr/bin/python3 on the file, with the
// shot's geometry and any extra arguments; returns its result.
testing_support::ChildResult run_checker(const std::string& script, const std::string& path, const Shot& shot,
                                         const std::vector<std::string>& extra = {});

}  // namespace writer_test
