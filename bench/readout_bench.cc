// Throughput of the in-process readout pipeline: read_image with each row
// sink (FITS writer, TIFF writer, TIFF writer with deflate, discard_row),
// reading the ramp or the sky pattern from the in-process fake camera with no
// exposure wait and writing to a file in a tmpfs, against the raw copy of the
// same bytes: the same exact-size reads from the same fake and one write of
// each row to a tmpfs file, with no processing. The ramp compresses like no
// sky: the sky (bias, read noise, dark current, stars, hot pixels, exposed
// for 1.9 s) is what deflate is judged on; it is computed once per frame size
// by the fake camera and replayed from memory by a camera of this bench, so
// that the simulator's cost of computing it does not bound the sinks. One more variant writes deflate
// as the TIFF writer did before it handed libtiff whole strips (one
// TIFFWriteScanline a row, libtiff's default level): the speed and the file
// size the new writer is compared with.
//
// Plain harness: every variant of a frame size is run once per round (a slow
// one, such as deflate, in the first few rounds only), the rounds rotate the
// order, and the median of the rounds is reported, so that a disturbance of
// the machine falls on every variant alike.
//
// Output: one tab-separated line per pattern, frame size and variant,
//   readout <pattern> <W>x<H> <variant> <row bytes> <rounds> <median s> <fastest s> <median cpu s> <file bytes>
// where <row bytes> is the image data read from the camera (rows x row_bytes),
// <median cpu s> the reading thread's CPU time and <file bytes> the size of
// the file the last run wrote (0: none).
#include <fcntl.h>
#include <sys/socket.h>
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
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "camera/camera.h"
#include "console/console.h"
#include "options/options.h"
#include "output/output.h"
#include "sim/fake_camera.h"

namespace {

enum class Variant { Raw, ReadOnly, Fits, Tiff, Deflate, DeflateScanlines, Discard, Statistics };

struct VariantInfo {
  Variant variant;
  const char* name;
};

// Raw first: the others are compared with it. ReadOnly (the reads alone)
// and Statistics (scan_row over rows already in memory) show what bounds
// discard_row: the source or the statistics.
constexpr std::array<VariantInfo, 8> VARIANTS = {{
    {Variant::Raw, "raw"},
    {Variant::ReadOnly, "read_only"},
    {Variant::Fits, "fits"},
    {Variant::Tiff, "tiff"},
    {Variant::Deflate, "tiff_deflate"},
    {Variant::DeflateScanlines, "deflate_scanlines"},
    {Variant::Discard, "discard_row"},
    {Variant::Statistics, "statistics"},
}};

struct PatternInfo {
  ccdsim::Pattern pattern;
  const char* name;
  uint32_t exposure_ms;  // the sky of a real exposure; the ramp as before
};
constexpr std::array<PatternInfo, 2> PATTERNS = {{
    {ccdsim::Pattern::Ramp, "ramp", 1},
    {ccdsim::Pattern::Sky, "sky", 1900},
}};

struct Settings {
  std::vector<std::array<uint16_t, 2>> frames = {{1392, 1040}, {4096, 4096}, {16384, 16384}};
  std::vector<PatternInfo> patterns = {PATTERNS.begin(), PATTERNS.end()};
  std::string dir = "/dev/shm";
  double budget_seconds = 4.0;  // time aimed at for the raw copies of one frame size
  int min_rounds = 3;
  int max_rounds = 31;
  std::vector<Variant> only;  // empty: every variant
};

using bench::fail;
using bench::median;
using bench::now_seconds;
using bench::SkyFrame;
using bench::thread_cpu_seconds;

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

int scanline_sink(void* context, ExposureRequest* request, uint16_t* row) {
  return TIFFWriteScanline(static_cast<TIFF*>(context), row, static_cast<uint32_t>(request->rows_read - 1), 0) == 1
             ? 0
             : 1;
}

// Deflate as the TIFF writer wrote it before whole strips: the same tags and
// strips, one TIFFWriteScanline a row, libtiff's default level.
void write_tiff_scanlines(FILE* stream, const char* path, ExposureRequest& request) {
  TIFF* tiff = TIFFFdOpen(fileno(stream), path, "w");
  if (tiff == nullptr) fail("cannot open %s for libtiff", path);
  const uint32_t width = pixels_per_row(request);
  const uint32_t height = image_rows(request);
  const TiffStripLayout layout = tiff_strip_layout(width, height);
  TIFFSetField(tiff, TIFFTAG_MODEL, request.camera->model);
  TIFFSetField(tiff, TIFFTAG_DATETIME, "2024:01:01 00:00:00");
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_DEFLATE);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(layout.rows_per_strip));
  PixelStats stats{};
  if (read_image(request, scanline_sink, tiff, &stats) != 0) fail("scanline readout failed");
  TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, "Exposed 1.9 seconds ");
  if (TIFFFlush(tiff) != 1) fail("cannot finish %s", path);
  TIFFClose(tiff);
}

// One run of a variant on a freshly exposed frame; checks what it produced.
double run_variant(Variant variant, ExposureRequest& request, const std::string& path, uint64_t& written_bytes,
                   double& cpu_seconds) {
  const uint64_t data = image_bytes(request);
  double elapsed = 0;
  cpu_seconds = 0;
  written_bytes = 0;
  // Runs body with the wall clock and the reading thread's CPU clock on.
  const auto timed = [&](auto&& body) {
    const double start = now_seconds();
    const double cpu_start = thread_cpu_seconds();
    body();
    elapsed = now_seconds() - start;
    cpu_seconds = thread_cpu_seconds() - cpu_start;
  };
  switch (variant) {
    case Variant::Raw: {
      const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0) fail("cannot create %s: %s", path.c_str(), std::strerror(errno));
      uint64_t written = 0;
      timed([&] {
        written = raw_copy(request, out);
        if (close(out) != 0) fail("close failed: %s", std::strerror(errno));
      });
      if (written != data || file_size(path) != data) fail("raw copy wrote %llu bytes", static_cast<unsigned long long>(written));
      break;
    }
    case Variant::ReadOnly:
      timed([&] { raw_copy(request, -1); });
      break;
    case Variant::Fits: {
      output_type = OUTPUT_FITS;  // names the writer in a failure message
      FILE* stream = create_stream(path);
      timed([&] {
        camera_expose(request);
        write_fits(stream, path.c_str(), request);
      });
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
      timed([&] {
        camera_expose(request);
        write_tiff(stream, path.c_str(), request);
      });
      release_stream(stream);
      unsetenv("TIFF_COMPRESSION");
      check_tiff(path, request, variant == Variant::Deflate ? 32946 : COMPRESSION_NONE);
      break;
    }
    case Variant::DeflateScanlines: {
      FILE* stream = create_stream(path);
      timed([&] {
        camera_expose(request);
        write_tiff_scanlines(stream, path.c_str(), request);
      });
      release_stream(stream);
      check_tiff(path, request, COMPRESSION_DEFLATE);
      break;
    }
    case Variant::Discard: {
      PixelStats stats{};
      int result = 0;
      timed([&] {
        camera_expose(request);
        result = read_image(request, discard_row, nullptr, &stats);
      });
      if (result != 0 || stats.max == 0 || static_cast<uint32_t>(request.rows_read) != image_rows(request)) {
        fail("discard readout returned %d", result);
      }
      break;
    }
    case Variant::Statistics:
      break;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) written_bytes = static_cast<uint64_t>(st.st_size);
  unlink(path.c_str());
  return elapsed;
}

// A camera that replays one frame from memory: each exposure message written
// to its socket is answered, from a thread of its own, with the image header
// and the frame's rows, one SOCK_SEQPACKET packet each, as the fake camera
// answers, but with no pixel computed. Every other message is ignored.
class ReplayCamera {
 public:
  ReplayCamera(std::shared_ptr<const SkyFrame> frame, uint32_t rows) : frame_(std::move(frame)), rows_(rows) {
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_) != 0) fail("socketpair: %s", std::strerror(errno));
    thread_ = std::thread([this] { serve(); });
  }
  ~ReplayCamera() {
    shutdown(fds_[0], SHUT_RDWR);
    thread_.join();
    close(fds_[0]);
    close(fds_[1]);
  }
  ReplayCamera(const ReplayCamera&) = delete;
  ReplayCamera& operator=(const ReplayCamera&) = delete;
  int fd() const { return fds_[0]; }

 private:
  void serve() {
    const std::size_t row_bytes = static_cast<std::size_t>(frame_->width) * 2;
    std::array<uint8_t, 64> message{};
    for (;;) {
      const ssize_t got = read(fds_[1], message.data(), message.size());
      if (got <= 0) return;
      if (static_cast<std::size_t>(got) != MSG_EXPOSE_SIZE || get_u16(message, 6) != MSG_EXPOSE) continue;
      const auto header = encode_image_header(static_cast<uint32_t>(rows_ * row_bytes + MSG_HEADER_SIZE));
      if (send(fds_[1], header.data(), header.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(header.size())) return;
      // Samples are stored little-endian, as the camera sends them, on the
      // little-endian hosts this bench runs on.
      const auto* bytes = reinterpret_cast<const uint8_t*>(frame_->pixels.data());
      for (uint32_t r = 0; r < rows_; ++r) {
        if (send(fds_[1], bytes + r * row_bytes, row_bytes, MSG_NOSIGNAL) != static_cast<ssize_t>(row_bytes)) return;
      }
    }
  }

  std::shared_ptr<const SkyFrame> frame_;
  uint32_t rows_;
  int fds_[2] = {-1, -1};
  std::thread thread_;
};

void bench_frame(const Settings& settings, const PatternInfo& pattern, uint16_t width, uint16_t height) {
  ccdsim::ModelConfig config;
  config.sensor.width = width;
  config.sensor.height = height;
  config.pattern = pattern.pattern;
  config.time_scale = 0.0;
  ccdsim::FakeCamera fake(config);
  CameraInfo camera = make_camera_info();
  if (camera_query(camera, fake.fd()) != 1) fail("query of the fake camera failed");
  // The sky is computed once and replayed from memory: computing it (a few
  // ns a pixel, on a thread that shares the machine's two cores with the
  // reader) would otherwise bound every variant and hide what the sinks
  // cost. Every exposure then delivers the same frame.
  std::unique_ptr<ReplayCamera> replay;
  if (pattern.pattern == ccdsim::Pattern::Sky) {
    auto frame = std::make_shared<const SkyFrame>(bench::render_sky(config, pattern.exposure_ms));
    replay = std::make_unique<ReplayCamera>(std::move(frame), height);
    camera.device_fd = replay->fd();
  }
  ExposureRequest request = bench::full_frame_request(camera, pattern.exposure_ms);
  // A first readout sets row_bytes and warms up the fake; every exposure is
  // read in full before the next one, as the fake sends rows ahead.
  camera_expose(request);
  if (read_image(request, discard_row, nullptr, nullptr) != 0) fail("first readout failed");

  // The former deflate writer runs at under 10 MB/s: beyond 64 MiB frames
  // it runs only when asked for by name.
  const bool large = image_bytes(request) > (64u << 20);
  std::vector<VariantInfo> variants;
  for (const VariantInfo& v : VARIANTS) {
    const bool named = std::find(settings.only.begin(), settings.only.end(), v.variant) != settings.only.end();
    if (settings.only.empty() ? !(large && v.variant == Variant::DeflateScanlines) : named) variants.push_back(v);
  }

  // Rounds from a trial raw copy, so that each frame size takes about the budget.
  const std::string path = settings.dir + "/readout-bench-" + std::to_string(getpid()) + ".out";
  bench::output_to_remove = path;
  uint64_t written = 0;
  double cpu = 0;
  const double trial = run_variant(Variant::Raw, request, path, written, cpu);
  int rounds = static_cast<int>(settings.budget_seconds / std::max(trial, 1e-6));
  rounds = std::clamp(rounds, settings.min_rounds, settings.max_rounds);
  if (rounds % 2 == 0) ++rounds;

  // Every variant runs in the first round; a variant whose run took longer
  // than the budget allows (deflate) then runs in fewer rounds, at least
  // min_rounds of them.
  std::vector<std::vector<double>> times(variants.size());
  std::vector<std::vector<double>> cpu_times(variants.size());
  std::vector<uint64_t> file_bytes(variants.size(), 0);
  std::vector<int> variant_rounds(variants.size(), rounds);
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < variants.size(); ++k) {
      const std::size_t i = (k + static_cast<std::size_t>(round)) % variants.size();
      if (round >= variant_rounds[i]) continue;
      if (variants[i].variant == Variant::Statistics) {
        times[i].push_back(scan_in_memory(request));
        cpu_times[i].push_back(times[i].back());
      } else {
        times[i].push_back(run_variant(variants[i].variant, request, path, file_bytes[i], cpu));
        cpu_times[i].push_back(cpu);
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
    std::printf("readout\t%s\t%ux%u\t%s\t%llu\t%zu\t%.6f\t%.6f\t%.6f\t%llu\n", pattern.name, width, height,
                variants[i].name, static_cast<unsigned long long>(image_bytes(request)), times[i].size(),
                median(times[i]), *std::min_element(times[i].begin(), times[i].end()), median(cpu_times[i]),
                static_cast<unsigned long long>(file_bytes[i]));
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
      "Usage: readout_bench [--frames=WxH,...] [--patterns=ramp,sky] [--dir=DIR]\n"
      "                     [--budget=SECONDS] [--min-rounds=N] [--max-rounds=N]\n"
      "                     [--only=VARIANT,...]\n"
      "Variants: raw read_only fits tiff tiff_deflate deflate_scanlines discard_row statistics\n",
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
    } else if (arg.starts_with("--patterns=")) {
      settings.patterns.clear();
      std::string_view list = value("--patterns=");
      while (!list.empty()) {
        const std::size_t comma = list.find(',');
        const std::string_view name = list.substr(0, comma);
        const auto found = std::find_if(PATTERNS.begin(), PATTERNS.end(),
                                        [&](const PatternInfo& p) { return name == p.name; });
        if (found == PATTERNS.end()) usage();
        settings.patterns.push_back(*found);
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
  bench::program = "readout_bench";
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
  std::printf("# kind\tpattern\tframe\tvariant\trow_bytes\trounds\tmedian_s\tfastest_s\tmedian_cpu_s\tfile_bytes\n");
  for (const auto& frame : settings.frames) {
    for (const PatternInfo& pattern : settings.patterns) bench_frame(settings, pattern, frame[0], frame[1]);
  }
  return 0;
}
