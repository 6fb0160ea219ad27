// The FITS writer: one 2880-byte primary header, then the rows as they are
// read, each mirrored and stored as big-endian 16-bit words, then zero bytes
// up to the next 2880-byte boundary. Everything goes to the output
// descriptor with plain write() calls; the stream's buffer is never used.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "console/console.h"
#include "output/output.h"

namespace {

// Bits of the words actually stored, whatever the exposure's depth.
constexpr int STORED_BITS = 16;

// Writes one card's text at the start of its 80 columns; the rest stays blank.
[[gnu::format(printf, 3, 4)]] void put_card(std::span<char, FITS_BLOCK_SIZE> block, int number,
                                            const char* format, ...) {
  char text[FITS_CARD_SIZE + 1];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length <= 0) return;
  const std::size_t count = std::min(static_cast<std::size_t>(length), FITS_CARD_SIZE);
  std::memcpy(block.data() + FITS_CARD_SIZE * static_cast<std::size_t>(number - 1), text, count);
}

// 2^depth - 1 for depths of 0 to 32; 0 below and all ones above.
uint32_t largest_count(int32_t depth) {
  if (depth <= 0) return 0;
  if (depth >= 32) return UINT32_MAX;
  return (UINT32_C(1) << depth) - 1;
}

// Room for the ISO date and time of any year gmtime_r gives, and its NUL.
constexpr std::size_t DATE_TEXT_SIZE = 32;

// The start time in UTC as FITS dates are written, YYYY-MM-DDThh:mm:ss; a
// DATE-OBS without a time zone is read as UTC. "" if it cannot be told.
std::string_view utc_start_text(time_t start_time, std::span<char, DATE_TEXT_SIZE> text) {
  struct tm broken_down {};
  if (gmtime_r(&start_time, &broken_down) == nullptr) return {};
  return {text.data(), std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &broken_down)};
}

// The hot loop below is written so that the compiler can run it on vectors.
// On x86-64 it also makes a copy for AVX2, which the program picks at start-up
// when the processor has it. GCC vectorises a loop of unknown length only at
// -O3 unless asked to weigh the cost (clang does at -O2).
#if defined(__clang__) && defined(__x86_64__)
#define FITS_VECTOR_LOOP [[gnu::target_clones("avx2", "default")]]
#elif defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define FITS_VECTOR_LOOP [[gnu::target_clones("avx2", "default"), gnu::optimize("vect-cost-model=dynamic")]]
#elif defined(__GNUC__) && !defined(__clang__)
#define FITS_VECTOR_LOOP [[gnu::optimize("vect-cost-model=dynamic")]]
#else
#define FITS_VECTOR_LOOP
#endif

// Mirrors the row's pixels in place and turns each into the stored word: the
// sample minus 32768 (the top bit flipped), most significant byte first.
FITS_VECTOR_LOOP void mirror_to_fits_words(uint16_t* row, std::size_t pixels) {
  const auto stored = [](uint16_t sample) -> uint16_t { return static_cast<uint16_t>(sample ^ FITS_UNSIGNED_OFFSET); };
  if constexpr (std::endian::native == std::endian::little) {
    // The camera's little-endian words are the host's: swap the bytes of
    // each. The loop runs over pixel pairs by count, so that the compiler
    // can run it on vectors; an odd middle pixel is converted once.
    const auto big_endian = [stored](uint16_t sample) -> uint16_t {
      const uint16_t word = stored(sample);
      return static_cast<uint16_t>(word >> 8 | word << 8);
    };
    const std::size_t half = pixels / 2;
    for (std::size_t k = 0; k < half; ++k) {
      const uint16_t left = row[k];
      const uint16_t right = row[pixels - 1 - k];
      row[k] = big_endian(right);
      row[pixels - 1 - k] = big_endian(left);
    }
    if (pixels % 2 == 1) row[half] = big_endian(row[half]);
  } else {
    // Each word is read and stored byte by byte.
    auto* bytes = reinterpret_cast<uint8_t*>(row);
    const auto load = [bytes](std::size_t i) -> uint16_t {
      return static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    };
    const auto store = [bytes, stored](std::size_t i, uint16_t sample) {
      const uint16_t word = stored(sample);
      bytes[2 * i] = static_cast<uint8_t>(word >> 8);
      bytes[2 * i + 1] = static_cast<uint8_t>(word & 0xFF);
    };
    if (pixels > 0) {
      // The two indexes meet in the middle; an odd middle pixel is stored once.
      std::size_t first = 0;
      std::size_t last = pixels - 1;
      while (first <= last) {
        const uint16_t left = load(first);
        const uint16_t right = load(last);
        store(first, right);
        store(last, left);
        if (last == 0) break;
        ++first;
        --last;
      }
    }
  }
}

}  // namespace

void format_fits_header(const ExposureRequest& request, std::span<char, FITS_BLOCK_SIZE> block) {
  const CameraInfo& camera = *request.camera;
  const uint32_t width = pixels_per_row(request);
  const uint32_t height = image_rows(request);
  // Binning times pixel size in single precision, widened only to print.
  const double x_size = static_cast<double>(static_cast<float>(request.x_bin) * camera.pixel_width);
  const double y_size = static_cast<double>(static_cast<float>(request.y_bin) * camera.pixel_height);
  std::array<char, DATE_TEXT_SIZE> date_text;
  const std::string_view date = utc_start_text(request.start_time, date_text);

  std::fill(block.begin(), block.end(), ' ');
  put_card(block, 1, "SIMPLE  = %20c", 'T');
  put_card(block, 2, "BITPIX  = %20d", STORED_BITS);
  put_card(block, 3, "NAXIS   = %20d", 2);
  put_card(block, 4, "NAXIS1  = %20d", static_cast<int>(width));
  put_card(block, 5, "NAXIS2  = %20d", static_cast<int>(height));
  put_card(block, 6, "BZERO   = %20f", static_cast<double>(FITS_UNSIGNED_OFFSET));
  put_card(block, 7, "BSCALE  = %20f", 1.0);
  put_card(block, 8, "DATAMIN = %20u", 0u);
  put_card(block, 9, "DATAMAX = %20u", largest_count(request.depth));
  put_card(block, 10, "XPIXSZ  = %20f", x_size);
  put_card(block, 11, "YPIXSZ  = %20f", y_size);
  put_card(block, 12, "DATE-OBS= '%.*s'", static_cast<int>(date.size()), date.data());
  put_card(block, 13, "EXPOSURE= %20f", static_cast<double>(request.exposure_ms) / 1000.0);
  put_card(block, 14, "END");
}

int fits_row_sink(void* context, ExposureRequest* request, uint16_t* row) {
  const int fd = *static_cast<const int*>(context);
  const std::size_t row_bytes = request->row_bytes > 0 ? static_cast<std::size_t>(request->row_bytes) : 0;
  mirror_to_fits_words(row, row_bytes / 2);
  const auto* bytes = reinterpret_cast<const uint8_t*>(row);
  const ssize_t written = write(fd, bytes, row_bytes);
  return written >= 0 && static_cast<std::size_t>(written) == row_bytes ? 0 : 1;
}

void write_fits(FILE* stream, const char* path, ExposureRequest& request) {
  int fd = fileno(stream);
  std::array<char, FITS_BLOCK_SIZE> block;
  format_fits_header(request, block);
  if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) write_failed();

  PixelStats stats{};
  if (read_image(request, fits_row_sink, &fd, &stats) != 0) write_failed();

  const uint32_t data_length = image_rows(request) * static_cast<uint32_t>(request.row_bytes);
  const uint32_t remainder = data_length % FITS_BLOCK_SIZE;
  if (remainder != 0) {
    const std::size_t fill = FITS_BLOCK_SIZE - remainder;
    std::fill_n(block.begin(), fill, '\0');
    if (write(fd, block.data(), fill) != static_cast<ssize_t>(fill)) write_failed();
  }
  // The run reports the image complete only once it is on stable storage,
  // and its name with it: a failure that the storage reports late (on a sync
  // or the close) fails it.
  if (sync_output(fd) != 0) write_failed();
  if (sync_directory_entry(fd, path) != 0) write_failed();
  if (close(fd) != 0) write_failed();
}
