#include "tests/support/writer_test_support.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "output/output.h"
#include "settings/settings.h"
#include "sim/fake_camera.h"

namespace writer_test {

using testing_support::ChildOptions;
using testing_support::ChildResult;

namespace {

constexpr const char* TIFF_VARIABLES[] = {"TIFF_ARTIST",      "TIFF_HOST",      "TIFF_SOFTWARE",
                                          "TIFF_MAKE",        "TIFF_COMPRESSION", "TIFF_PREDICTOR",
                                          "TIFF_ORIENTATION", "TIFF_COMMENT"};

ExposeMessage expose_message(const Shot& shot) {
  ExposeMessage expose{};
  expose.width = static_cast<uint16_t>(shot.window_width());
  expose.height = static_cast<uint16_t>(shot.window_height());
  expose.x_origin = static_cast<uint16_t>(shot.x_origin);
  expose.y_origin = static_cast<uint16_t>(shot.y_origin);
  expose.x_bin = static_cast<uint16_t>(shot.x_bin);
  expose.y_bin = static_cast<uint16_t>(shot.y_bin);
  expose.depth = static_cast<uint16_t>(shot.depth);
  expose.exposure_ms = shot.exposure_ms;
  return expose;
}

bool program_found(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  dirs += ":/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

ChildResult write_shot(Writer writer, const Shot& shot, const std::string& path, const ChildOptions& options,
                       const ChildSetup& setup) {
  return testing_support::run_in_child(
      [&]() -> int {
        // As the driver does before a writer runs, so write_failed names the type.
        output_type = writer == Writer::Fits ? OUTPUT_FITS : OUTPUT_TIFF;
        ccdsim::ModelConfig config;
        config.sensor.width = shot.sensor_width;
        config.sensor.height = shot.sensor_height;
        config.sensor.bits_per_pixel = shot.bits_per_pixel;
        config.sensor.pixel_width_raw = shot.pixel_raw;
        config.sensor.pixel_height_raw = shot.pixel_raw;
        config.pattern = shot.pixel ? ccdsim::Pattern::Custom : ccdsim::Pattern::Ramp;
        config.pixel = shot.pixel;
        config.faults = shot.faults;
        ccdsim::FakeCamera fake(config);
        CameraInfo camera = make_camera_info();
        if (camera_query(camera, fake.fd()) != 1) {
          std::fprintf(stderr, "test: camera query failed\n");
          return 90;
        }
        ExposureRequest request = make_exposure_request(&camera);
        request.x_origin = shot.x_origin;
        request.y_origin = shot.y_origin;
        request.width = shot.window_width();
        request.height = shot.window_height();
        request.x_bin = shot.x_bin;
        request.y_bin = shot.y_bin;
        request.depth = shot.depth;
        request.exposure_ms = shot.exposure_ms;
        camera_expose(request);
        request.start_time = shot.start_time;
        if (setup) setup();
        FILE* stream = std::fopen(path.c_str(), "w");
        if (stream == nullptr) {
          std::perror(path.c_str());
          return 91;
        }
        if (writer == Writer::Fits) {
          write_fits(stream, path.c_str(), request);
        } else {
          write_tiff(stream, path.c_str(), request);
        }
        return 0;
      },
      options);
}

uint16_t camera_pixel(const Shot& shot, uint32_t column, uint32_t row) {
  if (shot.pixel) {
    const ccdsim::FrameContext context{expose_message(shot), 0};
    return static_cast<uint16_t>(std::min<uint32_t>(shot.pixel(context, column, row), 65535));
  }
  uint32_t total = 0;
  for (int32_t j = 0; j < shot.y_bin; ++j) {
    for (int32_t i = 0; i < shot.x_bin; ++i) {
      const auto sx = static_cast<uint32_t>(shot.x_origin) + column * static_cast<uint32_t>(shot.x_bin) +
                      static_cast<uint32_t>(i);
      const auto sy = static_cast<uint32_t>(shot.y_origin) + row * static_cast<uint32_t>(shot.y_bin) +
                      static_cast<uint32_t>(j);
      total += ccdsim::ramp_value(sx, sy, shot.exposure_ms);
    }
  }
  return static_cast<uint16_t>(std::min<uint32_t>(total, 65535));
}

std::string statistics_line(const Shot& shot) {
  const uint32_t columns = shot.columns();
  uint32_t min = 0xFFFF, max = 0, filtered_max = 0;
  uint64_t sum_of_means = 0;
  for (uint32_t row = 0; row < shot.rows(); ++row) {
    uint32_t total = 0;
    for (uint32_t column = 0; column < columns; ++column) {
      const uint32_t s = camera_pixel(shot, column, row);
      const uint32_t left = column > 0 ? camera_pixel(shot, column - 1, row) : 0;
      const uint32_t right = column + 1 < columns ? camera_pixel(shot, column + 1, row) : 0;
      total += s;
      min = std::min(min, s);
      max = std::max(max, s);
      if (s > filtered_max && (left >= s || right >= s)) filtered_max = s;
    }
    sum_of_means += total / columns;
  }
  char line[128];
  std::snprintf(line, sizeof line, "( %u Min / %u Avg / %u Max / %u FilteredMax ) A/D counts\n", min,
                static_cast<uint32_t>(sum_of_means / shot.rows()), max, filtered_max);
  return line;
}

ChildOptions tiff_environment(std::vector<std::string> assignments) {
  ChildOptions options;
  for (const char* name : TIFF_VARIABLES) options.unset.emplace_back(name);
  options.env = std::move(assignments);
  return options;
}

std::string checker_missing(const std::vector<std::string>& modules, const std::vector<std::string>& programs) {
  static std::mutex mutex;
  static std::map<std::string, std::string> cache;
  const std::lock_guard<std::mutex> lock(mutex);
  if (access("/usr/bin/python3", X_OK) != 0) return "/usr/bin/python3 is not installed";
  for (const auto& module : modules) {
    auto found = cache.find(module);
    if (found == cache.end()) {
      const ChildResult result = testing_support::run_program({"/usr/bin/python3", "-c", "import " + module});
      found = cache.emplace(module, result.status == 0 ? "" : "python module " + module + " is not installed").first;
    }
    if (!found->second.empty()) return found->second;
  }
  for (const auto& program : programs) {
    if (!program_found(program)) return program + " is not installed";
  }
  return "";
}

ChildResult run_checker(const std::string& script, const std::string& path, const Shot& shot,
                        const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {"/usr/bin/python3",
                                   std::string(CCDSHOT_SOURCE_DIR) + "/tests/tools/" + script,
                                   path,
                                   "--columns=" + std::to_string(shot.columns()),
                                   "--rows=" + std::to_string(shot.rows()),
                                   "--x-origin=" + std::to_string(shot.x_origin),
                                   "--y-origin=" + std::to_string(shot.y_origin),
                                   "--x-bin=" + std::to_string(shot.x_bin),
                                   "--y-bin=" + std::to_string(shot.y_bin),
                                   "--exposure-ms=" + std::to_string(shot.exposure_ms)};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return testing_support::run_program(argv);
}

}  // namespace writer_test
