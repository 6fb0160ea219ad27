#include "bench/bench_support.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "camera/camera.h"
#include "sim/fake_camera.h"

namespace bench {

const char* program = "bench";
std::string output_to_remove;

void fail(const char* format, ...) {
  if (!output_to_remove.empty()) unlink(output_to_remove.c_str());
  va_list args;
  va_start(args, format);
  std::fprintf(stderr, "%s: ", program);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::exit(1);
}

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {
double clock_seconds(clockid_t clock) {
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) fail("no CPU clock: %s", std::strerror(errno));
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int keep_row(void* context, ExposureRequest* request, uint16_t* row) {
  auto* frame = static_cast<SkyFrame*>(context);
  frame->pixels.insert(frame->pixels.end(), row, row + pixels_per_row(*request));
  return 0;
}
}  // namespace

double thread_cpu_seconds() { return clock_seconds(CLOCK_THREAD_CPUTIME_ID); }
double process_cpu_seconds() { return clock_seconds(CLOCK_PROCESS_CPUTIME_ID); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

ExposureRequest full_frame_request(CameraInfo& camera, uint32_t exposure_ms) {
  ExposureRequest request = make_exposure_request(&camera);
  request.width = camera.width;
  request.height = camera.height;
  request.x_bin = 1;
  request.y_bin = 1;
  request.depth = camera.default_depth;
  request.exposure_ms = exposure_ms;
  return request;
}

SkyFrame render_sky(const ccdsim::ModelConfig& config, uint32_t exposure_ms) {
  ccdsim::FakeCamera fake(config);
  CameraInfo camera = make_camera_info();
  if (camera_query(camera, fake.fd()) != 1) fail("query of the fake camera failed");
  ExposureRequest request = full_frame_request(camera, exposure_ms);
  SkyFrame frame;
  frame.width = static_cast<uint32_t>(camera.width);
  frame.height = static_cast<uint32_t>(camera.height);
  frame.pixels.reserve(static_cast<std::size_t>(frame.width) * frame.height);
  camera_expose(request);
  if (read_image(request, keep_row, &frame, nullptr) != 0) fail("readout of the sky failed");
  return frame;
}

}  // namespace bench
