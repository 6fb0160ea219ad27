// Throughput of the in-process readout pipeline: read_image with each row
// sink (FITS writer, TIFF writer, TIFF writer with deflate, discard_row),
// reading the ramp pattern from the in-process fake camera with no exposure
// wait and writing to a file in a tmpfs, against the raw copy of the same
// bytes: the same exact-size reads from the same fake and one write of each
// row to a tmpfs file, with no processing.
//
// Plain harness: every variant of a frame size is run once per round (a slow
// one, such as deflate, in the first few rounds only), the rounds rotate the
// order, and the median of the rounds is reported, so that a disturbance of
// the machine falls on every variant alike.
//
// Output: one tab-separated line per frame size and variant,
//   readout <W>x<H> <variant> <row bytes> <rounds> <median s> <fastest s>
// where <row bytes> is the image data read from the camera (rows x row_bytes).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "camera/camera.h"
#include "console/console.h"
#include "options/options.h"
#include "output/output.h"
#include "sim/fake_camera.h"

namespace {

enum class Variant { Raw, ReadOnly, Fits, Tiff, Deflate, Discard, Statistics };

struct VariantInfo {
  Variant variant;
  const char* name;
};

// Raw first: the others are compared with it. ReadOnly (the reads alone)
// and Statistics (scan_row over rows already in memory) show what bounds
// discard_row: the source or the statistics.
constexpr std::array<VariantInfo, 7> VARIANTS = {{
    {Variant::Raw, "raw"},
    {Variant::ReadOnly, "read_only"},
    {Variant::Fits, "fits"},
    {Variant::Tiff, "tiff"},
    {Variant::Deflate, "tiff_deflate"},
    {Variant::Discard, "discard_row"},
    {Variant::Statistics, "statistics"},
}};

struct Settings {
  std::vector<std::array<uint16_t, 2>> frames = {{1392, 1040}, {4096, 4096}, {16384, 16384}};
  std::string dir = "/dev/shm";
  double budget_seconds = 4.0;  // time aimed at for the raw copies of one frame size
  int min_rounds = 3;
  int max_rounds = 31;
  std::vector<Variant> only;  // empty: every variant
};

// The output file of the run in progress, removed when the harness fails.
std::string current_output;

[[noreturn, gnu::format(printf, 1, 2)]] void fail(const char* format, ...) {
  if (!current_output.empty()) unlink(current_output.c_str());
  va_list args;
  va_start(args, format);
  std::fputs("readout_bench: ", stderr);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::exit(1);
}

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

uint64_t image_bytes(const ExposureRequest& request) {
  return static_cast<uint64_t>(image_rows(request)) * static_cast<uint64_t>(request.row_bytes);
}

uint64_t file_size(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) fail("cannot stat %s: %s", path.c_str(), std::strerror(errno));
  return static_cast<uint64_t>(st.st_size);
}

// Opens the output as the driver does (fopen "w"), outside the timed part.
FILE* create_stream(const std::string& path) {
  FILE* stream = std::fopen(path.c_str(), "w");
  if (stream == nullptr) fail("cannot create %s: %s", path.c_str(), std::strerror(errno));
  return stream;
}

// The writers close the stream's descriptor themselves and never use the
// stream; this frees the FILE record. Its close fails with EBADF, and no other
// descriptor can have taken the number since (the fake opens none).
void release_stream(FILE* stream) { std::fclose(stream); }

// Checks the directory of a written TIFF file: size and compression.
void check_tiff(const std::string& path, const ExposureRequest& request, uint16_t compression) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) fail("cannot read back %s", path.c_str());
  uint32_t width = 0;
  uint32_t length = 0;
  uint16_t stored = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &length);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &stored);
  TIFFClose(tiff);
  if (width != pixels_per_row(request) || length != image_rows(request) || stored != compression) {
    fail("TIFF file of %ux%u, compression %u", width, length, stored);
  }
}

// The raw copy: the reads the readout makes, each row written as it came.
// Returns the bytes written; with out_fd < 0 the rows are only read.
uint64_t raw_copy(ExposureRequest& request, int out_fd) {
  const int fd = request.camera->device_fd;
  const auto message = encode_expose(request);
  if (write(fd, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
    fail("expose write failed: %s", std::strerror(errno));
  }
  const uint32_t rows = image_rows(request);
  const auto row_bytes = static_cast<std::size_t>(pixels_per_row(request)) * 2;
  std::vector<uint8_t> row(row_bytes);
  std::array<uint8_t, MSG_HEADER_SIZE> header{};
  if (read(fd, header.data(), header.size()) != static_cast<ssize_t>(header.size())) fail("header read failed");
  uint64_t written = 0;
  for (uint32_t r = 0; r < rows; ++r) {
    if (read(fd, row.data(), row_bytes) != static_cast<ssize_t>(row_bytes)) fail("row %u read failed", r + 1);
    if (out_fd >= 0) {
      if (write(out_fd, row.data(), row_bytes) != static_cast<ssize_t>(row_bytes)) {
        fail("row write failed: %s", std::strerror(errno));
      }
      written += row_bytes;
    }
  }
  return written;
}

// scan_row over the frame's rows without a source: a few ramp rows are
// built once and scanned in turn, as read_image scans each row it reads.
// Returns the seconds the scans took.
double scan_in_memory(const ExposureRequest& request) {
  constexpr uint32_t distinct_rows = 16;
  const uint32_t pixels = pixels_per_row(request);
  const uint32_t rows = image_rows(request);
  const std::size_t stride = static_cast<std::size_t>(pixels) + 2;
  std::vector<uint16_t> block(stride * distinct_rows, 0);
  for (uint32_t r = 0; r < distinct_rows; ++r) {
    auto* bytes = reinterpret_cast<uint8_t*>(block.data() + stride * r + 1);
    for (uint32_t x = 0; x < pixels; ++x) {
      const uint16_t v = ccdsim::ramp_value(x, r, request.exposure_ms);
      bytes[2 * static_cast<std::size_t>(x)] = static_cast<uint8_t>(v);
      bytes[2 * static_cast<std::size_t>(x) + 1] = static_cast<uint8_t>(v >> 8);
    }
  }
  RowStats stats{};
  stats.min = 0xFFFF;
  uint64_t sum = 0;
  const double start = now_seconds();
  for (uint32_t r = 0; r < rows; ++r) {
    stats = scan_row(block.data() + stride * (r % distinct_rows) + 1, pixels, stats);
    sum += stats.row_mean;
  }
  const double elapsed = now_seconds() - start;
  // Uses the results, so the scan cannot be optimised away, and checks that
  // it saw the ramp.
  if (stats.max == 0 || sum == 0) fail("statistics of the ramp came out empty");
  return elapsed;
}

// One run of a variant on a freshly exposed frame; checks what it produced.
double run_variant(Variant variant, ExposureRequest& request, const std::string& path) {
  const uint64_t data = image_bytes(request);
  double start = 0;
  double elapsed = 0;
  switch (variant) {
    case Variant::Raw: {
      const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0) fail("cannot create %s: %s", path.c_str(), std::strerror(errno));
      start = now_seconds();
      const uint64_t written = raw_copy(request, out);
      if (close(out) != 0) fail("close failed: %s", std::strerror(errno));
      elapsed = now_seconds() - start;
      if (written != data || file_size(path) != data) fail("raw copy wrote %llu bytes", static_cast<unsigned long long>(written));
      break;
    }
    case Variant::ReadOnly:
      start = now_seconds();
      raw_copy(request, -1);
      elapsed = now_seconds() - start;
      break;
    case Variant::Fits: {
      output_type = OUTPUT_FITS;  // names the writer in a failure message
      FILE* stream = create_stream(path);
      start = now_seconds();
      camera_expose(request);
      write_fits(stream, request);
      elapsed = now_seconds() - start;
      release_stream(stream);
      const uint64_t expected = FITS_BLOCK_SIZE + (data + FITS_BLOCK_SIZE - 1) / FITS_BLOCK_SIZE * FITS_BLOCK_SIZE;
      if (file_size(path) != expected) fail("FITS file of %llu bytes", static_cast<unsigned long long>(file_size(path)));
      break;
    }
    case Variant::Tiff:
    case Variant::Deflate: {
      if (variant == Variant::Deflate) {
        setenv("TIFF_COMPRESSION", "32946", 1);
      } else {
        unsetenv("TIFF_COMPRESSION");
      }
      output_type = OUTPUT_TIFF;
      FILE* stream = create_stream(path);
      start = now_seconds();
      camera_expose(request);
      write_tiff(stream, path.c_str(), request);
      elapsed = now_seconds() - start;
      release_stream(stream);
      unsetenv("TIFF_COMPRESSION");
      check_tiff(path, request, variant == Variant::Deflate ? 32946 : COMPRESSION_NONE);
      break;
    }
    case Variant::Discard: {
      PixelStats stats{};
      start = now_seconds();
      camera_expose(request);
      const int result = read_image(request, discard_row, nullptr, &stats);
      elapsed = now_seconds() - start;
      if (result != 0 || stats.max == 0 || static_cast<uint32_t>(request.rows_read) != image_rows(request)) {
        fail("discard readout returned %d", result);
      }
      break;
    }
    case Variant::Statistics:
      break;
  }
  unlink(path.c_str());
  return elapsed;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void bench_frame(const Settings& settings, uint16_t width, uint16_t height) {
  ccdsim::ModelConfig config;
  config.sensor.width = width;
  config.sensor.height = height;
  config.pattern = ccdsim::Pattern::Ramp;
  config.time_scale = 0.0;
  ccdsim::FakeCamera fake(config);

  CameraInfo camera = make_camera_info();
  if (camera_query(camera, fake.fd()) != 1) fail("query of the fake camera failed");
  ExposureRequest request = make_exposure_request(&camera);
  request.width = camera.width;
  request.height = camera.height;
  request.x_bin = 1;
  request.y_bin = 1;
  request.depth = camera.default_depth;
  request.exposure_ms = 1;
  // A first readout sets row_bytes and warms up the fake; every exposure is
  // read in full before the next one, as the fake sends rows ahead.
  camera_expose(request);
  if (read_image(request, discard_row, nullptr, nullptr) != 0) fail("first readout failed");

  std::vector<VariantInfo> variants;
  for (const VariantInfo& v : VARIANTS) {
    if (settings.only.empty() || std::find(settings.only.begin(), settings.only.end(), v.variant) != settings.only.end()) {
      variants.push_back(v);
    }
  }

  // Rounds from a trial raw copy, so that each frame size takes about the budget.
  const std::string path = settings.dir + "/readout-bench-" + std::to_string(getpid()) + ".out";
  current_output = path;
  const double trial = run_variant(Variant::Raw, request, path);
  int rounds = static_cast<int>(settings.budget_seconds / std::max(trial, 1e-6));
  rounds = std::clamp(rounds, settings.min_rounds, settings.max_rounds);
  if (rounds % 2 == 0) ++rounds;

  // Every variant runs in the first round; a variant whose run took longer
  // than the budget allows (deflate) then runs in fewer rounds, at least
  // min_rounds of them.
  std::vector<std::vector<double>> times(variants.size());
  std::vector<int> variant_rounds(variants.size(), rounds);
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < variants.size(); ++k) {
      const std::size_t i = (k + static_cast<std::size_t>(round)) % variants.size();
      if (round >= variant_rounds[i]) continue;
      if (variants[i].variant == Variant::Statistics) {
        times[i].push_back(scan_in_memory(request));
      } else {
        times[i].push_back(run_variant(variants[i].variant, request, path));
      }
    }
    if (round == 0) {
      for (std::size_t i = 0; i < variants.size(); ++i) {
        int n = static_cast<int>(settings.budget_seconds / std::max(times[i][0], 1e-6));
        n = std::clamp(n, std::min(settings.min_rounds, rounds), rounds);
        if (n % 2 == 0) ++n;
        variant_rounds[i] = std::min(n, rounds);
      }
    }
  }
  for (std::size_t i = 0; i < variants.size(); ++i) {
    std::printf("readout\t%ux%u\t%s\t%llu\t%zu\t%.6f\t%.6f\n", width, height, variants[i].name,
                static_cast<unsigned long long>(image_bytes(request)), times[i].size(), median(times[i]),
                *std::min_element(times[i].begin(), times[i].end()));
  }
  std::fflush(stdout);
}

bool parse_frame(std::string_view text, std::array<uint16_t, 2>& frame) {
  unsigned w = 0;
  unsigned h = 0;
  char extra = 0;
  const std::string copy(text);
  if (std::sscanf(copy.c_str(), "%ux%u%c", &w, &h, &extra) != 2 || w == 0 || h == 0 || w > 65535 || h > 65535) {
    return false;
  }
  frame = {static_cast<uint16_t>(w), static_cast<uint16_t>(h)};
  return true;
}

void usage() {
  std::fputs(
      "Usage: readout_bench [--frames=WxH,...] [--dir=DIR] [--budget=SECONDS]\n"
      "                     [--min-rounds=N] [--max-rounds=N] [--only=VARIANT,...]\n"
      "Variants: raw read_only fits tiff tiff_deflate discard_row statistics\n",
      stderr);
  std::exit(2);
}

Settings parse_arguments(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    const auto value = [&](std::string_view name) -> std::string_view {
      return arg.substr(name.size());
    };
    if (arg.starts_with("--frames=")) {
      settings.frames.clear();
      std::string_view list = value("--frames=");
      while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::array<uint16_t, 2> frame{};
        if (!parse_frame(list.substr(0, comma), frame)) usage();
        settings.frames.push_back(frame);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
      }
    } else if (arg.starts_with("--dir=")) {
      settings.dir = std::string(value("--dir="));
    } else if (arg.starts_with("--budget=")) {
      settings.budget_seconds = std::atof(std::string(value("--budget=")).c_str());
    } else if (arg.starts_with("--min-rounds=")) {
      settings.min_rounds = std::max(1, std::atoi(std::string(value("--min-rounds=")).c_str()));
    } else if (arg.starts_with("--max-rounds=")) {
      settings.max_rounds = std::max(1, std::atoi(std::string(value("--max-rounds=")).c_str()));
    } else if (arg.starts_with("--only=")) {
      std::string_view list = value("--only=");
      while (!list.empty()) {
        const std::size_t comma = list.find(',');
        const std::string_view name = list.substr(0, comma);
        const auto found = std::find_if(VARIANTS.begin(), VARIANTS.end(),
                                        [&](const VariantInfo& v) { return name == v.name; });
        if (found == VARIANTS.end()) usage();
        settings.only.push_back(found->variant);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
      }
    } else {
      usage();
    }
  }
  settings.max_rounds = std::max(settings.max_rounds, settings.min_rounds);
  return settings;
}

}  // namespace

int main(int argc, char** argv) {
  const Settings settings = parse_arguments(argc, argv);
  console_start(argv[0]);
  // Upload percentages would mix with the figures: send them to /dev/null,
  // which costs what a progress reader costs the real program.
  progress_fd = open("/dev/null", O_WRONLY);
  if (progress_fd < 0) fail("cannot open /dev/null");
  for (const char* name : {"TIFF_ARTIST", "TIFF_HOST", "TIFF_SOFTWARE", "TIFF_MAKE", "TIFF_COMPRESSION",
                           "TIFF_PREDICTOR", "TIFF_ORIENTATION", "TIFF_COMMENT"}) {
    unsetenv(name);
  }
  debug_level = 0;
  // libtiff warns on every deflate file that 32946 is the older code for it.
  TIFFSetWarningHandler(nullptr);
  std::printf("# kind\tframe\tvariant\trow_bytes\trounds\tmedian_s\tfastest_s\n");
  for (const auto& frame : settings.frames) bench_frame(settings, frame[0], frame[1]);
  return 0;
}
