// Exposure and readout: sending an exposure, counting its seconds down on the
// progress channel, and reading the image back row by row with its pixel
// statistics, each row handed to the caller's sink.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "camera/camera.h"
#include "console/console.h"
#include "settings/settings.h"

namespace {

// Length of " seconds remaining": what the first countdown message adds to
// the digits of its number.
constexpr int COUNTDOWN_SUFFIX_LENGTH = 18;

// Upload progress is shown on the first row and on every 128th row.
constexpr uint32_t PROGRESS_ROW_STEP = 128;

uint32_t bytes_per_sample(const CameraInfo& camera) {
  return (static_cast<uint32_t>(camera.bits_per_pixel) + 7) / 8;
}

struct FreeDeleter {
  void operator()(uint16_t* words) const { std::free(words); }
};

}  // namespace

// The hot loop below is written so that the compiler can run it on vectors.
// On x86-64 it also makes a copy for AVX2, which the program picks at start-up
// when the processor has it. GCC vectorises a loop of unknown length only at
// -O3 unless asked to weigh the cost (clang does at -O2).
#if defined(__clang__) && defined(__x86_64__)
#define READOUT_VECTOR_LOOP [[gnu::target_clones("avx2", "default")]]
#elif defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define READOUT_VECTOR_LOOP [[gnu::target_clones("avx2", "default"), gnu::optimize("vect-cost-model=dynamic")]]
#elif defined(__GNUC__) && !defined(__clang__)
#define READOUT_VECTOR_LOOP [[gnu::optimize("vect-cost-model=dynamic")]]
#else
#define READOUT_VECTOR_LOOP
#endif

std::size_t row_buffer_words(const ExposureRequest& request) {
  const uint64_t pixels = pixels_per_row(request);
  const uint64_t row_bytes = request.row_bytes > 0 ? static_cast<uint64_t>(request.row_bytes) : 0;
  // The statistics look at `pixels` 16-bit samples whatever a sample's width
  // on the wire, and the device writes row_bytes bytes: room for the larger,
  // plus the zero word on either side. Counted in 64 bits: where size_t has
  // 32, a count beyond it is given as SIZE_MAX, which no allocation can
  // satisfy, rather than wrapped round to a small buffer.
  const uint64_t words = std::max(pixels, (row_bytes + 1) / 2) + 2;
  return static_cast<std::size_t>(std::min<uint64_t>(words, SIZE_MAX));
}

namespace {

// scan_row's body: kept apart with internal linkage, since not every compiler
// gives a function with copies for several processors its plain external name.
READOUT_VECTOR_LOOP RowStats scan_row_samples(const uint16_t* row, uint32_t pixels, RowStats stats) {
  if (pixels == 0) {
    stats.row_mean = 0;
    return stats;
  }
  // Samples are little-endian on the wire: a little-endian host takes them
  // as they are, another assembles each from its two bytes.
  const auto sample = [row](uint32_t i) -> uint16_t {
    if constexpr (std::endian::native == std::endian::little) {
      return row[i];
    } else {
      const auto* bytes = reinterpret_cast<const uint8_t*>(row);
      return static_cast<uint16_t>(bytes[2 * static_cast<std::size_t>(i)] |
                                   bytes[2 * static_cast<std::size_t>(i) + 1] << 8);
    }
  };
  // A sample counts toward filtered_max when a horizontal neighbour is at
  // least as large; positions outside the row count as 0, so the first and
  // the last sample are taken apart and the loop between them has both
  // neighbours inside the row. The loop has no branch, so that the compiler
  // can run it on vectors: a sample that does not qualify contributes 0.
  // (Written as a mask: the compiler does not vectorise the conditional.)
  const auto candidate = [](uint16_t s, uint16_t left, uint16_t right) -> uint16_t {
    const auto qualifies = static_cast<uint16_t>(std::max(left, right) >= s);
    return static_cast<uint16_t>(s & -qualifies);
  };
  const uint16_t first = sample(0);
  uint32_t total = first;
  uint16_t low = first;
  uint16_t high = first;
  uint16_t filtered = candidate(first, 0, pixels > 1 ? sample(1) : 0);
  for (uint32_t i = 1; i + 1 < pixels; ++i) {
    const uint16_t s = sample(i);
    total += s;
    low = std::min(low, s);
    high = std::max(high, s);
    filtered = std::max(filtered, candidate(s, sample(i - 1), sample(i + 1)));
  }
  if (pixels > 1) {
    const uint16_t last = sample(pixels - 1);
    total += last;
    low = std::min(low, last);
    high = std::max(high, last);
    filtered = std::max(filtered, candidate(last, sample(pixels - 2), 0));
  }
  stats.min = std::min<uint32_t>(stats.min, low);
  stats.max = std::max<uint32_t>(stats.max, high);
  stats.filtered_max = std::max<uint32_t>(stats.filtered_max, filtered);
  stats.row_mean = total / pixels;
  return stats;
}

}  // namespace

RowStats scan_row(const uint16_t* row, uint32_t pixels, RowStats stats) { return scan_row_samples(row, pixels, stats); }

void camera_expose(ExposureRequest& request) {
  const auto message = encode_expose(request);
  // The device reports a refused exposure through the image read that follows.
  [[maybe_unused]] const ssize_t sent = write(request.camera->device_fd, message.data(), message.size());
  request.rows_read = 0;
  // Computed unsigned and kept within int: a width that no device delivers
  // gives a row size that no image header can match.
  const uint64_t row_bytes = static_cast<uint64_t>(pixels_per_row(request)) * bytes_per_sample(*request.camera);
  request.row_bytes = static_cast<int32_t>(std::min<uint64_t>(row_bytes, INT32_MAX));
}

namespace {

// Whole seconds from `from` to `to` on one clock, rounded down.
int64_t whole_seconds_between(const timespec& from, const timespec& to) {
  return static_cast<int64_t>(to.tv_sec) - from.tv_sec - (to.tv_nsec < from.tv_nsec ? 1 : 0);
}

}  // namespace

void expose_with_countdown(ExposureRequest& request) {
  const uint32_t seconds = request.exposure_ms / 1000;
  camera_expose(request);
  // start_time records when the picture was taken, in calendar time. The
  // wait is measured by the monotonic clock, which does not jump when the
  // calendar clock is set (from the network or a GPS, mid-session).
  request.start_time = time(nullptr);
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  if (seconds <= 1) return;
  // The width of the first message's number is kept for the later ones.
  const int width = progress_printf("%d seconds remaining", static_cast<int>(seconds)) - COUNTDOWN_SUFFIX_LENGTH;
  for (;;) {
    // Wakes on the next whole second since the start, so that the time spent
    // printing does not add up over a long exposure.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec wake = start;
    wake.tv_sec += static_cast<time_t>(whole_seconds_between(start, now) + 1);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t remaining = static_cast<int64_t>(seconds) - whole_seconds_between(start, now);
    if (remaining <= 1) break;
    progress_printf("\r%*d ", width, static_cast<int>(remaining));
  }
  progress_printf("\r");
}

int camera_read_row(ExposureRequest& request, uint8_t* row) {
  const int fd = request.camera->device_fd;
  const uint32_t rows = image_rows(request);
  if (request.rows_read == 0) {
    std::array<uint8_t, MSG_HEADER_SIZE> bytes{};
    const ssize_t count = read(fd, bytes.data(), bytes.size());
    if (count != static_cast<ssize_t>(bytes.size())) {
      // A short header is no system error, and errno would still hold
      // whatever an earlier call left there: report it as an I/O error.
      const int error = count < 0 ? errno : EIO;
      std::fprintf(stderr, "Error reading exposure:%s\n", std::strerror(error));
      return -3;
    }
    const MessageHeader header = decode_header(bytes);
    if (header.type != MSG_IMAGE) {
      std::fprintf(stderr, "Invalid (driver) image message!");
      return -2;
    }
    const int64_t expected = static_cast<int64_t>(rows) * request.row_bytes + static_cast<int64_t>(MSG_HEADER_SIZE);
    if (static_cast<int64_t>(header.length) != expected) {
      std::fprintf(stderr, "Image size discrepency! Read %d, expected %d\n", static_cast<int>(header.length),
                   static_cast<int>(expected));
      return -1;
    }
  }
  // Rows are read only while the count lies in 0 .. rows - 1: a count that
  // is negative (no exposure set it) or at the top of int (the row number
  // would overflow) ends the image as a complete one does.
  if (request.rows_read < 0 || static_cast<int64_t>(request.rows_read) >= static_cast<int64_t>(rows) ||
      request.rows_read == INT32_MAX) {
    return 0;
  }
  if (request.row_bytes < 0) {
    // Only a request that skipped camera_expose gets here: nothing to read into.
    std::fprintf(stderr, "Truncated image read!");
    return -1;
  }
  const ssize_t count = read(fd, row, static_cast<std::size_t>(request.row_bytes));
  if (count == static_cast<ssize_t>(request.row_bytes)) return ++request.rows_read;
  if (count < 0) {
    std::fprintf(stderr, "Failure while reading image!");
    return -3;
  }
  std::fprintf(stderr, "Truncated image read!");
  return -1;
}

int read_image(ExposureRequest& request, RowSink sink, void* context, PixelStats* stats) {
  const uint32_t pixels = pixels_per_row(request);
  const uint32_t rows = image_rows(request);

  // calloc: the zero words beside the row, and for cameras of fewer than two
  // bytes per sample the part of the row the device never writes, read as 0.
  const std::unique_ptr<uint16_t, FreeDeleter> buffer(
      static_cast<uint16_t*>(std::calloc(row_buffer_words(request), sizeof(uint16_t))));
  if (!buffer) {
    std::fprintf(stderr, "No memory for row buffer!\n");
    return -2;
  }
  uint16_t* const row = buffer.get() + 1;

  RowStats totals{};
  totals.min = 0xFFFF;
  uint64_t sum_of_means = 0;
  int result = 0;
  for (;;) {
    const int r = camera_read_row(request, reinterpret_cast<uint8_t*>(row));
    if (r <= 0) {
      result = r;
      break;
    }
    const auto number = static_cast<uint32_t>(r);
    if (number == 1) {
      progress_printf("\r  0%% Uploaded        ");
    } else if (number % PROGRESS_ROW_STEP == 0 && rows != 0) {
      progress_printf("\r%3d%%", static_cast<int>(static_cast<uint64_t>(number) * 100 / rows));
    }
    totals = scan_row(row, pixels, totals);
    sum_of_means += totals.row_mean;
    if (sink(context, &request, row) != 0) {
      result = -1;
      break;
    }
  }
  progress_printf("\r");
  const auto avg = static_cast<uint32_t>(rows != 0 ? sum_of_means / rows : 0);

  if (stats != nullptr) {
    *stats = PixelStats{totals.min, totals.max, avg, totals.filtered_max};
    if (debug_level != 0) {
      std::printf("( %u Min / %u Avg / %u Max / %u FilteredMax ) A/D counts\n", stats->min, stats->avg,
                  stats->max, stats->filtered_max);
    }
  }
  return result;
}

int discard_row(void* /*context*/, ExposureRequest* /*request*/, uint16_t* /*row*/) { return 0; }
