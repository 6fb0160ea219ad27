// Test fixture of the calibration: runs calibrate_exposure in a child on the
// fake camera, whose frames are given row by row, and reports the final
// exposure time and the frame lengths the camera was sent.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "camera/camera.h"
#include "exposure/exposure.h"
#include "settings/settings.h"
#include "sim/fake_camera.h"
#include "tests/support/test_support.h"

namespace calibration_fixture {

// One binned row, repeated over every row of a frame.
using FrameRow = std::vector<uint32_t>;

// A frame whose min is `min` and whose filtered_max is `peak`: two equal
// peak samples side by side between dark ones.
inline FrameRow frame(uint32_t peak, uint32_t min) { return {min, peak, peak, min}; }
// A frame brighter than any saturation threshold.
inline FrameRow saturated() { return frame(65535, 1000); }

struct Calibration {
  double limit = 300.0;  // seconds; exposure_seconds is its negation
  int32_t target = 0;
  int32_t x_bin = 1;
  int32_t y_bin = 1;
  uint8_t debug = 0;
  // Frame k shows frames[k]; frames beyond the list repeat the last.
  std::vector<FrameRow> frames;
  ccdsim::Faults faults{};
  testing_support::Fd3 fd3 = testing_support::Fd3::File;
};

inline ccdsim::ModelConfig custom_frames(std::vector<FrameRow> frames) {
  ccdsim::ModelConfig config;
  config.pattern = ccdsim::Pattern::Custom;
  config.pixel = [frames = std::move(frames)](const ccdsim::FrameContext& context, uint32_t column, uint32_t) {
    const FrameRow& row = frames[std::min<std::size_t>(context.frame, frames.size() - 1)];
    return column < row.size() ? row[column] : 0u;
  };
  return config;
}

// Standard output ends with "exposure_ms E frames F1 F2 ... target T\n".
inline testing_support::ChildResult calibrate(const Calibration& c) {
  return testing_support::run_in_child(
      [&c] {
        debug_level = c.debug;
        exposure_seconds = -c.limit;
        autoexpose_target = c.target;
        ccdsim::ModelConfig config = custom_frames(c.frames);
        config.faults = c.faults;
        ccdsim::FakeCamera fake(config);
        CameraInfo camera = make_camera_info();
        if (camera_query(camera, fake.fd()) != 1) return 10;
        ExposureRequest request = make_exposure_request(&camera);
        request.width = static_cast<int32_t>(c.frames.at(0).size()) * c.x_bin;
        request.height = 2 * c.y_bin;
        request.x_bin = c.x_bin;
        request.y_bin = c.y_bin;
        request.depth = 16;
        calibrate_exposure(request);
        std::fflush(stdout);
        std::printf("exposure_ms %u frames", request.exposure_ms);
        for (const ExposeMessage& e : fake.exposures()) std::printf(" %u", e.exposure_ms);
        std::printf(" target %d\n", autoexpose_target);
        return 0;
      },
      testing_support::ChildOptions{.fd3 = c.fd3});
}

}  // namespace calibration_fixture
