// Exposure and readout: sending an exposure, counting its seconds down on the
// progress channel, and reading the image back row by row with its pixel
// statistics, each row handed to the caller's sink.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "camera/camera.h"
#include "console/console.h"
#include "options/options.h"

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

std::size_t row_buffer_words(const ExposureRequest& request) {
  const std::size_t pixels = pixels_per_row(request);
  const std::size_t row_bytes = request.row_bytes > 0 ? static_cast<std::size_t>(request.row_bytes) : 0;
  // The statistics look at `pixels` 16-bit samples whatever a sample's width
  // on the wire, and the device writes row_bytes bytes: room for the larger,
  // plus the zero word on either side.
  return std::max(pixels, (row_bytes + 1) / 2) + 2;
}

RowStats scan_row(const uint16_t* row, uint32_t pixels, RowStats stats) {
  // Samples are little-endian on the wire; read them byte by byte so the
  // result does not depend on the host's byte order.
  const auto* bytes = reinterpret_cast<const uint8_t*>(row);
  const auto sample = [bytes](uint32_t i) -> uint32_t {
    return static_cast<uint32_t>(bytes[2 * static_cast<std::size_t>(i)]) |
           static_cast<uint32_t>(bytes[2 * static_cast<std::size_t>(i) + 1]) << 8;
  };
  uint32_t total = 0;
  for (uint32_t i = 0; i < pixels; ++i) {
    const uint32_t s = sample(i);
    total += s;
    if (s < stats.min) stats.min = s;
    // filtered_max never exceeds max, so only a sample above it can raise
    // either; positions outside the row count as 0.
    if (s > stats.filtered_max) {
      if (s > stats.max) stats.max = s;
      const uint32_t left = i > 0 ? sample(i - 1) : 0;
      const uint32_t right = i + 1 < pixels ? sample(i + 1) : 0;
      if (left >= s || right >= s) stats.filtered_max = s;
    }
  }
  stats.row_mean = pixels != 0 ? total / pixels : 0;
  return stats;
}

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

void expose_with_countdown(ExposureRequest& request) {
  const uint32_t seconds = request.exposure_ms / 1000;
  camera_expose(request);
  request.start_time = time(nullptr);
  const time_t deadline = request.start_time + static_cast<time_t>(seconds);
  if (seconds <= 1) return;
  // The width of the first message's number is kept for the later ones.
  const int width = progress_printf("%d seconds remaining", static_cast<int>(seconds)) - COUNTDOWN_SUFFIX_LENGTH;
  for (;;) {
    sleep(1);
    const time_t remaining = deadline - time(nullptr);
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
