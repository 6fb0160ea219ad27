#include "driver/driver.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "camera/camera.h"
#include "console/console.h"
#include "exposure/exposure.h"
#include "options/options.h"
#include "output/output.h"
#include "settings/settings.h"

namespace {

// The file type named by the character after the last full stop of the path
// (directories included); unspecified when there is none or it is unknown.
OutputType type_from_name(const char* path) {
  const char* dot = std::strrchr(path, '.');
  if (dot == nullptr) return OUTPUT_UNSPECIFIED;
  switch (std::toupper(static_cast<unsigned char>(dot[1]))) {
    case 'J':
      return OUTPUT_JPEG;
    case 'F':
      return OUTPUT_FITS;
    case 'T':
      return OUTPUT_TIFF;
    default:
      return OUTPUT_UNSPECIFIED;
  }
}

// One axis of the window: the size defaults to the whole sensor and is cut
// so that the window ends at the sensor's edge. The sum is taken in 64 bits
// so that a huge size with a nonzero origin cannot wrap around.
int32_t clip_window(int32_t size, int32_t origin, int32_t sensor) {
  if (size == 0) size = sensor;
  if (static_cast<int64_t>(origin) + size > sensor) size = sensor - origin;
  return size;
}

// Which other stream of the run the output path names, or nullptr. Writing
// the image there would mix it with text or send it into the camera. A path
// that does not exist yet names no stream; a memory device such as /dev/null
// holds nothing to corrupt.
const char* stream_named_by(const char* path, const CameraInfo& camera) {
  struct stat output {};
  if (stat(path, &output) != 0) return nullptr;
  const auto is_output = [&output](int fd) {
    struct stat stream {};
    return fstat(fd, &stream) == 0 && stream.st_dev == output.st_dev && stream.st_ino == output.st_ino;
  };
  if (is_output(camera.device_fd)) return "camera device";
  if (S_ISCHR(output.st_mode) && major(output.st_rdev) == 1) return nullptr;
  if (is_output(fileno(stdout))) return "standard output";
  if (is_output(fileno(stderr))) return "standard error";
  if (is_output(progress_fd)) return "progress channel";
  return nullptr;
}

}  // namespace

int run_snapshot(int argc, char** argv) {
  // A progress reader that has gone away must cost only the progress text
  // (progress_printf then returns -1), never the image.
  std::signal(SIGPIPE, SIG_IGN);

  CameraInfo camera = make_camera_info();
  ExposureRequest request = make_exposure_request(&camera);
  console_start(argc > 0 ? argv[0] : "ccdshot");

  int index = parse_options(argc, argv, &camera, &request);
  index = take_exposure_argument(argc, argv, index);

  if (camera_open(camera) == 0) {
    std::fprintf(stderr, "Cannot open camera device: %s\n", camera.device_path);
    return 1;
  }
  std::printf("%s: %dx%d pixel %d-bit CCD camera\n", camera.model, camera.width, camera.height,
              camera.bits_per_pixel);

  if (index >= argc) usage_error("Missing output image filename!");
  const char* path = argv[index];
  // Decided before the file is created, so that a refused output is not emptied.
  if (const char* conflict = stream_named_by(path, camera)) {
    usage_error("Output file %s is also the %s!", path, conflict);
  }
  FILE* stream = std::fopen(path, "w");
  if (stream == nullptr) {
    const int error = errno;
    std::perror(path);
    return error;
  }

  if (output_type == OUTPUT_UNSPECIFIED) output_type = type_from_name(path);

  request.width = clip_window(window_width, window_x, camera.width);
  request.x_origin = window_x;
  request.height = clip_window(window_height, window_y, camera.height);
  request.y_origin = window_y;

  request.x_bin = binning_x;
  request.y_bin = binning_y;
  request.depth = camera.default_depth;
  if (request.depth < 8 || request.depth > 16) {
    usage_error("Pixel depth of %d bits is not currently supported!\n", request.depth);
  }
  // The readout and both writers take every sample as 16 bits, which holds
  // only for cameras that deliver 9 to 16 bits a pixel.
  if (camera.bits_per_pixel < 9 || camera.bits_per_pixel > 16) {
    usage_error("Camera pixel size of %d bits is not currently supported!\n", camera.bits_per_pixel);
  }
  // The readout and the writers need at least one binned pixel per row and one row.
  if (request.width < request.x_bin || request.height < request.y_bin) {
    usage_error("Image window is empty!");
  }

  settle_exposure(request);

  std::printf("Exposing %dx%d pixel %d-bit image for %g seconds\n",
              static_cast<int>(pixels_per_row(request)), static_cast<int>(image_rows(request)),
              request.depth, seconds_from_ms(request.exposure_ms));

  expose_with_countdown(request);

  switch (output_type) {
    case OUTPUT_UNSPECIFIED:
      output_type = OUTPUT_TIFF;
      write_tiff(stream, path, request);
      break;
    case OUTPUT_TIFF:
      write_tiff(stream, path, request);
      break;
    case OUTPUT_FITS:
      write_fits(stream, path, request);
      break;
    default:
      usage_error("Unsupported image file type:  %s", output_type_name(output_type));
  }

  std::printf("%s: %s Upload Complete\n", path, output_type_name(output_type));
  return 0;
}
