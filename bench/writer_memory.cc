// Shows that the writers never hold the image whole: each run exposes a frame
// on the in-process fake camera and writes it with the FITS or the TIFF
// writer into a file on /dev/shm (or $TMPDIR), in a child process of its own,
// and prints the child's peak resident memory (ru_maxrss). A readout that
// discards its rows is the baseline: what the camera and the fake take alone.
// When the star catalog is installed, the same runs on the real sky (the
// catalog's stars around the Pleiades) follow, with the time a frame of the
// camera's own size takes.
//
// Usage: writer_memory [large-side]   (default 8192: an 8192 x 8192 frame)
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "camera/camera.h"
#include "options/options.h"
#include "output/output.h"
#include "sim/fake_camera.h"

namespace {

enum class Sink { Discard, Fits, Tiff };

const char* sink_name(Sink sink) {
  switch (sink) {
    case Sink::Discard:
      return "discard";
    case Sink::Fits:
      return "FITS";
    case Sink::Tiff:
      return "TIFF";
  }
  return "?";
}

constexpr const char* CATALOG = "/usr/share/astrometry/index-tycho2-09.littleendian.fits";

// The child's work: one exposure of width x height pixels into path, of the
// ramp or of the real sky.
int run_child(Sink sink, uint16_t width, uint16_t height, bool real_sky, const std::string& path) {
  ccdsim::ModelConfig config;
  config.sensor.width = width;
  config.sensor.height = height;
  config.pattern = ccdsim::Pattern::Ramp;
  if (real_sky) {
    std::string error;
    config.pattern = ccdsim::Pattern::Sky;
    config.real_sky.catalog = ccdsim::open_catalog(CATALOG, &error);
    if (!config.real_sky.catalog) return 13;
    config.real_sky.pointing.ra = 56.75;
    config.real_sky.pointing.dec = 24.12;
  }
  ccdsim::FakeCamera fake(config);
  CameraInfo camera = make_camera_info();
  if (camera_query(camera, fake.fd()) != 1) return 10;
  ExposureRequest request = make_exposure_request(&camera);
  request.width = width;
  request.height = height;
  request.x_bin = 1;
  request.y_bin = 1;
  request.depth = 16;
  request.exposure_ms = real_sky ? 10000 : 5;
  camera_expose(request);
  request.start_time = time(nullptr);
  if (sink == Sink::Discard) return read_image(request, discard_row, nullptr, nullptr) == 0 ? 0 : 11;
  FILE* stream = std::fopen(path.c_str(), "w");
  if (stream == nullptr) return 12;
  if (sink == Sink::Fits) {
    output_type = OUTPUT_FITS;
    write_fits(stream, path.c_str(), request);
  } else {
    output_type = OUTPUT_TIFF;
    unsetenv("TIFF_COMPRESSION");
    write_tiff(stream, path.c_str(), request);
  }
  return 0;
}

std::string output_dir() {
  struct stat st {};
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

bool measure(Sink sink, uint16_t width, uint16_t height, bool real_sky) {
  const std::string path = output_dir() + "/writer_memory_" + std::to_string(getpid()) + "." +
                           (sink == Sink::Tiff ? "tif" : "fits");
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int status = run_child(sink, width, height, real_sky, path);
    std::fflush(stdout);
    _exit(status);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) < 0) return false;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  struct stat st {};
  const long long bytes = stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
  unlink(path.c_str());
  const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  const double image_mib = static_cast<double>(width) * height * 2 / (1024.0 * 1024.0);
  std::printf("%-8s %-5s %5ux%-5u %9.1f MiB %13lld %10ld KiB %8.2f s%s\n", sink_name(sink),
              real_sky ? "real" : "ramp", width, height, image_mib, bytes, usage.ru_maxrss, seconds,
              ok ? "" : "  FAILED");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const long large = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 8192;
  if (large < 1 || large > 65535) {
    std::fprintf(stderr, "usage: %s [large-side, 1..65535]\n", argv[0]);
    return 2;
  }
  std::printf("Peak resident memory of one readout in a child process (files in %s)\n", output_dir().c_str());
  std::printf("%-8s %-5s %11s %13s %13s %14s %10s\n", "sink", "sky", "frame", "image", "file bytes", "peak RSS",
              "time");
  bool ok = true;
  const auto side = static_cast<uint16_t>(large);
  for (const Sink sink : {Sink::Discard, Sink::Fits, Sink::Tiff}) {
    for (const uint16_t s : {uint16_t{512}, side}) ok = measure(sink, s, s, false) && ok;
  }
  if (access(CATALOG, R_OK) != 0) {
    std::printf("real sky: skipped (%s is absent)\n", CATALOG);
    return ok ? 0 : 1;
  }
  // The real sky of 10-second exposures at the Pleiades, 3.33" per pixel: the
  // frames show 0.5, 1.3 and (8192 pixels) 7.6 degrees of sky.
  for (const Sink sink : {Sink::Discard, Sink::Fits}) {
    ok = measure(sink, 512, 512, true) && ok;
    ok = measure(sink, 1392, 1040, true) && ok;
    ok = measure(sink, side, side, true) && ok;
  }
  return ok ? 0 : 1;
}
