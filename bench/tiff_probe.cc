// What the TIFF writer's trial of its compression and predictor costs before
// the first row: tiff_strip_encodes (one row of the image's width encoded in
// memory) timed for each codec a user may ask for, at three image widths,
// with libtiff's messages of the refused ones silenced. Prints the median and
// the largest time of the calls and the outcome.
//
// Usage: tiff_probe [calls]   (default 201 calls of each)
#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "output/output.h"

namespace {

struct Setting {
  const char* name;
  long compression;
  long predictor;
};

void silent(const char*, const char*, va_list) {}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 201;
  if (calls < 1) {
    std::fprintf(stderr, "usage: tiff_probe [calls]\n");
    return 2;
  }
  TIFFSetErrorHandler(silent);
  TIFFSetWarningHandler(silent);
  const Setting settings[] = {
      {"none", 1, 0},           {"LZW", 5, 0},        {"LZW, predictor 2", 5, 2}, {"Deflate", 32946, 0},
      {"Deflate, predictor 2", 8, 2}, {"PackBits", 32773, 0}, {"LZMA", 34925, 0}, {"ZSTD", 50000, 0},
      {"LERC", 34887, 0},       {"JPEG (refused)", 7, 0}, {"unknown 99 (refused)", 99, 0},
      {"Deflate, predictor 3 (refused)", 8, 3},
  };
  const uint32_t widths[] = {1392, 4096, 16384};
  std::printf("tiff_strip_encodes: one row of 16-bit samples encoded in memory; %d calls of each, median (largest)\n",
              calls);
  std::printf("%-32s", "Setting");
  for (uint32_t width : widths) std::printf("  %-22s", (std::to_string(width) + " samples").c_str());
  std::printf("  Outcome\n");
  for (const Setting& setting : settings) {
    std::printf("%-32s", setting.name);
    bool encodes = false;
    for (uint32_t width : widths) {
      std::vector<double> micros;
      for (int i = 0; i < calls; ++i) {
        const auto start = std::chrono::steady_clock::now();
        encodes = tiff_strip_encodes("probe", width, setting.compression, setting.predictor);
        const auto end = std::chrono::steady_clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
      }
      std::sort(micros.begin(), micros.end());
      char cell[64];
      std::snprintf(cell, sizeof cell, "%.0f us (%.0f us)", micros[micros.size() / 2], micros.back());
      std::printf("  %-22s", cell);
    }
    std::printf("  %s\n", encodes ? "taken" : "refused");
  }
  return 0;
}
