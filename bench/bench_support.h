// What the benchmark programs share: the fatal error of a harness, its
// clocks, the median of a run's timings and one sky frame of the in-process
// fake camera held in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "sim/camera_model.h"

namespace bench {

// Printed before every fatal message, e.g. "readout_bench".
extern const char* program;
// A file that a failing harness removes first (empty: none).
extern std::string output_to_remove;

// Prints "<program>: <message>" on standard error and exits with status 1.
[[noreturn, gnu::format(printf, 1, 2)]] void fail(const char* format, ...);

// Seconds of the monotonic clock.
double now_seconds();
// CPU seconds of the calling thread, and of the whole process.
double thread_cpu_seconds();
double process_cpu_seconds();
// The median of the timings (the mean of the middle two for an even count).
double median(std::vector<double> values);

// An exposure of the camera's whole sensor, unbinned, at its default depth.
ExposureRequest full_frame_request(CameraInfo& camera, uint32_t exposure_ms);

// A frame as the camera sends it: width x height little-endian samples.
struct SkyFrame {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint16_t> pixels;
};
// The first frame of a fake camera of that configuration, exposed for
// exposure_ms, read through read_image.
SkyFrame render_sky(const ccdsim::ModelConfig& config, uint32_t exposure_ms);

}  // namespace bench
