// Fuzz target: the TIFF writer under any values of its eight TIFF_*
// environment variables (each set or unset), any binning and exposure time,
// writing a small ramp image from the in-process fake camera.
//
// write_tiff ends the process on failure, as the program does, so each input
// runs in a forked child. No setting may cost the image: a compression or
// predictor that cannot be used is refused as a tag, so the child must
// return (status 0), and a failure through write_failed (status 2) is a
// finding like any other. After a status 0 the file is read back: geometry,
// every pixel, the description and the text tags must be what was asked for,
// so a run that reports success over a file libtiff cannot read is a finding.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "console/console.h"
#include "fuzz/fuzz_support.h"
#include "options/options.h"
#include "output/output.h"
#include "sim/fake_camera.h"

namespace {

// The variables in the order the writer reads them.
constexpr std::array<const char*, 8> NAMES = {"TIFF_ARTIST",      "TIFF_HOST",      "TIFF_SOFTWARE",
                                              "TIFF_MAKE",        "TIFF_COMPRESSION", "TIFF_PREDICTOR",
                                              "TIFF_ORIENTATION", "TIFF_COMMENT"};
enum Variable { ARTIST, HOST, SOFTWARE, MAKE, COMPRESSION, PREDICTOR, ORIENTATION, COMMENT };

struct Case {
  std::array<bool, 8> set{};
  std::array<std::string, 8> value;
  uint16_t width = 0;
  uint16_t height = 0;
  int32_t x_bin = 1;
  int32_t y_bin = 1;
  uint32_t exposure_ms = 0;
  uint8_t debug = 0;
};

// FUZZ_VERBOSE=1 prints each case and its outcome (for reading seeds and findings).
bool verbose = false;
std::string directory;
std::string output_path;
TIFFErrorHandler default_error_handler = nullptr;
TIFFErrorHandler default_warning_handler = nullptr;
int capture = -1;

// The child: writes the file and exits 0, or fails through write_failed.
[[noreturn]] void write_in_child(const Case& c) {
  fuzzing::set_exit_mode(fuzzing::ExitMode::Child);
  dup2(capture, 2);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  progress_fd = null;
  // libtiff's own messages go to standard error, as in the program.
  TIFFSetErrorHandler(default_error_handler);
  TIFFSetWarningHandler(default_warning_handler);
  for (std::size_t i = 0; i < NAMES.size(); ++i) {
    if (c.set[i]) {
      setenv(NAMES[i], c.value[i].c_str(), 1);
    } else {
      unsetenv(NAMES[i]);
    }
  }
  reset_settings();
  output_type = OUTPUT_TIFF;
  debug_level = c.debug;
  ccdsim::ModelConfig config;
  config.pattern = ccdsim::Pattern::Ramp;
  config.sensor.width = c.width;
  config.sensor.height = c.height;
  ccdsim::FakeCamera fake(config);
  CameraInfo camera = make_camera_info();
  if (camera_query(camera, fake.fd()) != 1) _exit(120);
  ExposureRequest request = make_exposure_request(&camera);
  request.width = c.width;
  request.height = c.height;
  request.x_bin = c.x_bin;
  request.y_bin = c.y_bin;
  request.depth = 16;
  request.exposure_ms = c.exposure_ms;
  camera_expose(request);
  FILE* stream = std::fopen(output_path.c_str(), "w");
  if (stream == nullptr) _exit(121);
  write_tiff(stream, output_path.c_str(), request);
  std::fflush(nullptr);
  _exit(0);
}

std::string libtiff_messages;

void record_libtiff_message(const char* module, const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  libtiff_messages += std::string(module != nullptr ? module : "") + ": " + text + "\n";
}

std::string text_tag(TIFF* tiff, ttag_t tag, bool* present) {
  const char* value = nullptr;
  *present = TIFFGetField(tiff, tag, &value) == 1 && value != nullptr;
  return *present ? value : "";
}

// Reads the file back and compares it with what the child was asked for.
void check_file(const Case& c, const std::string& err) {
  const auto refused = [&err](int tag) {
    return err.find("Error while setting TIFF tag #" + std::to_string(tag) + "\n") != std::string::npos;
  };
  libtiff_messages.clear();
  TIFF* tiff = TIFFOpen(output_path.c_str(), "r");
  if (tiff == nullptr) fuzzing::fail("status 0 but the file does not open: %s", libtiff_messages.c_str());
  const uint32_t width = c.width / static_cast<uint32_t>(c.x_bin);
  const uint32_t height = c.height / static_cast<uint32_t>(c.y_bin);
  uint32_t file_width = 0;
  uint32_t file_height = 0;
  uint16_t bits = 0;
  uint16_t samples = 0;
  uint16_t compression = 0;
  uint16_t orientation = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &file_width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &file_height);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
  if (file_width != width || file_height != height || bits != 16 || samples != 1) {
    fuzzing::fail("file of %ux%u, %u bits, %u samples; expected %ux%u 16 bits 1 sample", file_width, file_height, bits,
                  samples, width, height);
  }
  const long number = c.set[COMPRESSION] ? std::strtol(c.value[COMPRESSION].c_str(), nullptr, 10) : 0;
  const uint16_t wanted_compression =
      number == 0 || refused(259) ? COMPRESSION_NONE : static_cast<uint16_t>(static_cast<int>(number));
  if (compression != wanted_compression) fuzzing::fail("compression %u, expected %u", compression, wanted_compression);
  const long turn = c.set[ORIENTATION] ? std::strtol(c.value[ORIENTATION].c_str(), nullptr, 10) : 0;
  const uint16_t wanted_orientation =
      turn == 0 || refused(274) ? ORIENTATION_TOPLEFT : static_cast<uint16_t>(static_cast<int>(turn));
  if (orientation != wanted_orientation) fuzzing::fail("orientation %u, expected %u", orientation, wanted_orientation);

  const std::array<std::pair<Variable, ttag_t>, 4> texts = {
      {{ARTIST, TIFFTAG_ARTIST}, {HOST, TIFFTAG_HOSTCOMPUTER}, {SOFTWARE, TIFFTAG_SOFTWARE}, {MAKE, TIFFTAG_MAKE}}};
  for (const auto& [variable, tag] : texts) {
    bool present = false;
    const std::string value = text_tag(tiff, tag, &present);
    if (present != c.set[variable] || value != c.value[variable]) {
      fuzzing::fail("tag %u is \"%s\" (%s), %s is \"%s\" (%s)", tag, value.c_str(), present ? "set" : "absent",
                    NAMES[variable], c.value[variable].c_str(), c.set[variable] ? "set" : "unset");
    }
  }
  bool present = false;
  const std::string model = text_tag(tiff, TIFFTAG_MODEL, &present);
  if (model != "CCDSIM") fuzzing::fail("model \"%s\"", model.c_str());
  std::string wanted_description;
  if (c.set[COMMENT]) wanted_description = c.value[COMMENT].substr(0, 1800) + "\n";
  char exposed[128];
  char binning[32] = "";
  if (c.x_bin != 1) std::snprintf(binning, sizeof binning, "with %dx%d binning", c.x_bin, c.y_bin);
  std::snprintf(exposed, sizeof exposed, "Exposed %g seconds %s", c.exposure_ms / 1000.0, binning);
  wanted_description += exposed;
  const std::string description = text_tag(tiff, TIFFTAG_IMAGEDESCRIPTION, &present);
  if (description != wanted_description) {
    fuzzing::fail("description \"%s\", expected \"%s\"", description.c_str(), wanted_description.c_str());
  }

  ExposeMessage expose{};
  expose.width = c.width;
  expose.height = c.height;
  expose.x_bin = static_cast<uint16_t>(c.x_bin);
  expose.y_bin = static_cast<uint16_t>(c.y_bin);
  expose.exposure_ms = c.exposure_ms;
  std::vector<uint16_t> row(static_cast<std::size_t>(TIFFScanlineSize(tiff) / 2 + 1));
  for (uint32_t y = 0; y < height; ++y) {
    if (TIFFReadScanline(tiff, row.data(), y, 0) != 1) {
      fuzzing::fail("status 0 but row %u does not read back: %s", y, libtiff_messages.c_str());
    }
    for (uint32_t x = 0; x < width; ++x) {
      const uint16_t wanted = ccdsim::ramp_pixel(expose, x, y);
      if (row[x] != wanted) fuzzing::fail("pixel (%u, %u) is %u, the camera sent %u", x, y, row[x], wanted);
    }
  }
  TIFFClose(tiff);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::signal(SIGPIPE, SIG_IGN);
  verbose = std::getenv("FUZZ_VERBOSE") != nullptr;
  char pattern[] = "/tmp/ccdshot-fuzz-tiff-XXXXXX";
  if (mkdtemp(pattern) == nullptr) fuzzing::fail("mkdtemp: %s", std::strerror(errno));
  directory = pattern;
  output_path = directory + "/image.tif";
  capture = memfd_create("stderr", 0);
  if (capture < 0) fuzzing::fail("memfd_create: %s", std::strerror(errno));
  // The parent reads files back with its own handlers, so that what libtiff
  // says about a bad file can be shown with the finding.
  default_error_handler = TIFFSetErrorHandler(record_libtiff_message);
  default_warning_handler = TIFFSetWarningHandler(record_libtiff_message);
  std::atexit([] {
    unlink(output_path.c_str());
    rmdir(directory.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Case c;
  const auto mask = input.ConsumeIntegral<uint8_t>();
  c.width = input.ConsumeIntegralInRange<uint16_t>(4, 70);
  c.height = input.ConsumeIntegralInRange<uint16_t>(4, 70);
  c.x_bin = input.ConsumeIntegralInRange<int32_t>(1, 4);
  c.y_bin = input.ConsumeIntegralInRange<int32_t>(1, 4);
  c.exposure_ms = input.ConsumeIntegral<uint32_t>();
  c.debug = input.ConsumeIntegralInRange<uint8_t>(0, 2);
  for (std::size_t i = 0; i < NAMES.size(); ++i) {
    c.set[i] = (mask >> i & 1) != 0;
    std::string value = input.ConsumeRandomLengthString(i == COMMENT ? 2600 : 64);
    // An environment value ends at its first NUL.
    value.resize(std::strlen(value.c_str()));
    if (c.set[i]) c.value[i] = value;
  }

  ftruncate(capture, 0);
  unlink(output_path.c_str());
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) fuzzing::fail("fork: %s", std::strerror(errno));
  if (pid == 0) write_in_child(c);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) fuzzing::fail("waitpid: %s", std::strerror(errno));
  }
  const std::string err = fuzzing::read_descriptor(capture);
  if (verbose) {
    std::fprintf(stderr, "%ux%u bin %dx%d, %u ms:", c.width, c.height, c.x_bin, c.y_bin, c.exposure_ms);
    for (std::size_t i = 0; i < NAMES.size(); ++i) {
      if (c.set[i]) std::fprintf(stderr, " %s=\"%.40s\"", NAMES[i], c.value[i].c_str());
    }
    std::fprintf(stderr, "\n  status %d, standard error:\n%s\n", WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1,
                 err.c_str());
  }
  if (WIFSIGNALED(wstatus)) fuzzing::fail("the writer died by signal %d:\n%s", WTERMSIG(wstatus), err.c_str());
  const int status = WEXITSTATUS(wstatus);
  if (status != 0) fuzzing::fail("the writer ended with status %d:\n%s", status, err.c_str());
  check_file(c, err);
  return 0;
}
