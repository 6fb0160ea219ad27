// Deflate levels on a sky frame: the TIFF writer's libtiff calls (its tags,
// its strip layout, one TIFFWriteEncodedStrip per strip) at every
// TIFFTAG_ZIPQUALITY from 1 to 9 with each of libtiff's Deflate subcodecs
// (libdeflate and zlib), and the writer's former way for reference (one
// TIFFWriteScanline per row at libtiff's default level, which takes zlib at
// level 6). The frame is read once from the in-process fake camera's sky
// (bias, read noise, dark current, stars, hot pixels) and kept in memory, so
// that only the compression and the file writes are timed.
//
// Every configuration runs once a round, the rounds in turn; one whose first
// run took longer than the budget allows runs in fewer rounds (at least one).
// Besides the wall time the process's CPU time of each run is taken, which
// other work on a shared machine disturbs less.
//
// Output: one tab-separated line per subcodec and level,
//   level <W>x<H> <codec> <level> <raw bytes> <rounds> <median s> <fastest s> <median cpu s> <file bytes>
// with <codec> libdeflate, zlib or scanlines (whose level is "default").
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "camera/camera.h"
#include "console/console.h"
#include "options/options.h"
#include "output/output.h"

namespace {

using bench::fail;
using bench::median;
using bench::now_seconds;
using Frame = bench::SkyFrame;

// One sky frame of the fake camera, exposed for exposure_ms.
Frame sky_frame(uint16_t width, uint16_t height, uint32_t exposure_ms) {
  ccdsim::ModelConfig config;
  config.sensor.width = width;
  config.sensor.height = height;
  config.pattern = ccdsim::Pattern::Sky;
  config.time_scale = 0.0;
  return bench::render_sky(config, exposure_ms);
}

enum class Codec { Libdeflate, Zlib, Scanlines };

// Writes the frame as the TIFF writer does, with the given codec and level;
// returns the file's size.
uint64_t write_frame(const Frame& frame, const std::string& path, Codec codec, int level) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  if (tiff == nullptr) fail("cannot create %s", path.c_str());
  const TiffStripLayout layout = tiff_strip_layout(frame.width, frame.height);
  TIFFSetField(tiff, TIFFTAG_MODEL, "CCDSIM");
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_DEFLATE);
  if (codec != Codec::Scanlines) {
    if (TIFFSetField(tiff, TIFFTAG_DEFLATE_SUBCODEC,
                     codec == Codec::Libdeflate ? DEFLATE_SUBCODEC_LIBDEFLATE : DEFLATE_SUBCODEC_ZLIB) != 1 ||
        TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, level) != 1) {
      fail("libtiff refused the subcodec or level %d", level);
    }
  }
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, frame.width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, frame.height);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(layout.rows_per_strip));
  // libtiff may swap the bytes of what it is given in place: hand it a copy.
  std::vector<uint16_t> strip(static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(layout.rows_per_strip));
  const auto rows_per_strip = static_cast<uint32_t>(layout.rows_per_strip);
  for (uint32_t first = 0; first < frame.height; first += rows_per_strip) {
    const uint32_t rows = std::min(rows_per_strip, frame.height - first);
    const uint16_t* source = frame.pixels.data() + static_cast<std::size_t>(first) * frame.width;
    if (codec == Codec::Scanlines) {
      for (uint32_t r = 0; r < rows; ++r) {
        std::memcpy(strip.data(), source + static_cast<std::size_t>(r) * frame.width, frame.width * 2u);
        if (TIFFWriteScanline(tiff, strip.data(), first + r, 0) != 1) fail("scanline %u refused", first + r);
      }
    } else {
      const auto bytes = static_cast<tmsize_t>(static_cast<std::size_t>(rows) * frame.width * 2);
      std::memcpy(strip.data(), source, static_cast<std::size_t>(bytes));
      if (TIFFWriteEncodedStrip(tiff, first / rows_per_strip, strip.data(), bytes) != bytes) {
        fail("strip %u refused", first / rows_per_strip);
      }
    }
  }
  TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, "Exposed 1.9 seconds ");
  if (TIFFFlush(tiff) != 1) fail("cannot finish %s", path.c_str());
  TIFFClose(tiff);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) fail("cannot stat %s: %s", path.c_str(), std::strerror(errno));
  return static_cast<uint64_t>(st.st_size);
}

// Reads the file back and compares every pixel with the frame.
void check_frame(const Frame& frame, const std::string& path) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) fail("cannot read back %s", path.c_str());
  std::vector<uint16_t> row(frame.width);
  for (uint32_t r = 0; r < frame.height; ++r) {
    const uint16_t* expected = frame.pixels.data() + static_cast<std::size_t>(r) * frame.width;
    if (TIFFReadScanline(tiff, row.data(), r, 0) != 1 || std::memcmp(row.data(), expected, frame.width * 2u) != 0) {
      fail("row %u of %s differs", r, path.c_str());
    }
  }
  TIFFClose(tiff);
}

void usage() {
  std::fputs("Usage: deflate_levels [--frame=WxH] [--dir=DIR] [--rounds=N] [--budget=SECONDS]\n"
             "                      [--exposure-ms=N] [--max-level=N]\n", stderr);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  unsigned width = 4096;
  unsigned height = 4096;
  std::string dir = "/dev/shm";
  int rounds = 3;
  unsigned exposure_ms = 1900;
  double budget = 20.0;  // seconds aimed at for the rounds of one configuration
  int max_level = 9;
  for (int i = 1; i < argc; ++i) {
    const std::string arg(argv[i]);
    char extra = 0;
    if (arg.rfind("--frame=", 0) == 0) {
      if (std::sscanf(arg.c_str() + 8, "%ux%u%c", &width, &height, &extra) != 2 || width == 0 || height == 0 ||
          width > 65535 || height > 65535) {
        usage();
      }
    } else if (arg.rfind("--dir=", 0) == 0) {
      dir = arg.substr(6);
    } else if (arg.rfind("--rounds=", 0) == 0) {
      rounds = std::max(1, std::atoi(arg.c_str() + 9));
    } else if (arg.rfind("--budget=", 0) == 0) {
      budget = std::atof(arg.c_str() + 9);
    } else if (arg.rfind("--max-level=", 0) == 0) {
      max_level = std::clamp(std::atoi(arg.c_str() + 12), 1, 9);
    } else if (arg.rfind("--exposure-ms=", 0) == 0) {
      exposure_ms = static_cast<unsigned>(std::strtoul(arg.c_str() + 14, nullptr, 10));
    } else {
      usage();
    }
  }
  bench::program = "deflate_levels";
  console_start(argv[0]);
  progress_fd = open("/dev/null", O_WRONLY);
  if (progress_fd < 0) fail("cannot open /dev/null");
  debug_level = 0;
  // libtiff warns on every file that 32946 is the older code for Deflate.
  TIFFSetWarningHandler(nullptr);

  const Frame frame = sky_frame(static_cast<uint16_t>(width), static_cast<uint16_t>(height), exposure_ms);
  const uint64_t raw = static_cast<uint64_t>(frame.width) * frame.height * 2;
  const std::string path = dir + "/deflate-levels-" + std::to_string(getpid()) + ".tif";

  struct Config {
    Codec codec;
    const char* name;
    int level;
  };
  std::vector<Config> configs = {{Codec::Scanlines, "scanlines", 0}};
  for (Codec codec : {Codec::Libdeflate, Codec::Zlib}) {
    for (int level = 1; level <= max_level; ++level) {
      configs.push_back({codec, codec == Codec::Libdeflate ? "libdeflate" : "zlib", level});
    }
  }
  std::vector<std::vector<double>> times(configs.size());
  std::vector<std::vector<double>> cpu_times(configs.size());
  std::vector<uint64_t> sizes(configs.size(), 0);
  std::vector<int> config_rounds(configs.size(), rounds);
  // Every configuration once a round, the rounds in turn, so that a
  // disturbance of the machine falls on all alike.
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < configs.size(); ++i) {
      if (round >= config_rounds[i]) continue;
      const double start = now_seconds();
      const double cpu_start = bench::process_cpu_seconds();
      const uint64_t size = write_frame(frame, path, configs[i].codec, configs[i].level);
      cpu_times[i].push_back(bench::process_cpu_seconds() - cpu_start);
      times[i].push_back(now_seconds() - start);
      if (round == 0) {
        check_frame(frame, path);
        sizes[i] = size;
        config_rounds[i] = std::clamp(static_cast<int>(budget / std::max(times[i][0], 1e-6)), 1, rounds);
      } else if (size != sizes[i]) {
        fail("%s level %d wrote %llu bytes, then %llu", configs[i].name, configs[i].level,
             static_cast<unsigned long long>(sizes[i]), static_cast<unsigned long long>(size));
      }
      unlink(path.c_str());
    }
  }
  std::printf("# kind\tframe\tcodec\tlevel\traw_bytes\trounds\tmedian_s\tfastest_s\tmedian_cpu_s\tfile_bytes\n");
  for (std::size_t i = 0; i < configs.size(); ++i) {
    const std::string level = configs[i].codec == Codec::Scanlines ? "default" : std::to_string(configs[i].level);
    std::printf("level\t%ux%u\t%s\t%s\t%llu\t%zu\t%.6f\t%.6f\t%.6f\t%llu\n", width, height, configs[i].name,
                level.c_str(), static_cast<unsigned long long>(raw), times[i].size(), median(times[i]),
                *std::min_element(times[i].begin(), times[i].end()), median(cpu_times[i]),
                static_cast<unsigned long long>(sizes[i]));
  }
  return 0;
}
