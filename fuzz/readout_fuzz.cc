// Fuzz target: the image readout with any request and anything the device
// end sends: an image header of any bytes and size, rows of any sizes and
// count, then the end of the data or a failing read. read_image runs with a
// sink that checks each row and may stop the readout, and with or without a
// PixelStats.
//
// Besides memory safety, the outcome is checked against a plain model of
// the device exchange: the result code, the exact message on standard
// error, the rows the sink saw, the statistics, the debug line and the
// upload progress text.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "console/console.h"
#include "fuzz/fuzz_support.h"
#include "options/options.h"

namespace {

// Requests whose row buffer or scan would exceed these are skipped: the
// device never delivers rows this large (its sizes are 16-bit), and a
// negative width wraps to four billion pixels, which costs only time.
constexpr std::size_t MAX_BUFFER_WORDS = 1u << 22;
constexpr uint64_t MAX_SCAN_SAMPLES = 1u << 24;
// Rows are cut at this size so that every packet fits the socket.
constexpr std::size_t MAX_PACKET = 32 * 1024;
constexpr std::size_t MAX_PACKETS = 600;

struct Expected {
  int result = 0;
  std::string err;
  std::string out;
  std::string progress;
  std::vector<std::vector<uint8_t>> rows;  // what the sink must see, in order
  PixelStats stats{0xFFFF, 0, 0, 0};
};

// The device as the program meets it: one packet per read, cut to the read's
// size, then 0 bytes at the end of the data, or one failing read first.
struct DeviceModel {
  const std::vector<std::vector<uint8_t>>& packets;
  bool reset;
  std::size_t next = 0;

  // Bytes a read of `size` returns (-1: fails with ECONNRESET), and the data.
  long read(std::size_t size, std::vector<uint8_t>* bytes) {
    if (size == 0) return 0;  // a read of nothing touches no packet
    if (next < packets.size()) {
      const auto& packet = packets[next++];
      const std::size_t count = std::min(size, packet.size());
      bytes->assign(packet.begin(), packet.begin() + static_cast<long>(count));
      return static_cast<long>(count);
    }
    if (reset) {
      reset = false;
      return -1;
    }
    return 0;
  }
};

uint32_t sample_at(const std::vector<uint8_t>& row, uint32_t i) {
  // The row buffer beyond the row's bytes holds zeros.
  const std::size_t at = 2 * static_cast<std::size_t>(i);
  const uint32_t low = at < row.size() ? row[at] : 0;
  const uint32_t high = at + 1 < row.size() ? row[at + 1] : 0;
  return low | high << 8;
}

Expected expect(const ExposureRequest& request, const std::vector<std::vector<uint8_t>>& packets, bool reset,
                int stop_at, bool with_stats) {
  Expected e;
  DeviceModel device{packets, reset};
  // Unsigned quotients; a zero binning factor gives nothing to read.
  const auto quotient = [](int32_t size, int32_t bin) {
    return bin == 0 ? 0u : static_cast<uint32_t>(size) / static_cast<uint32_t>(bin);
  };
  const uint32_t pixels = quotient(request.width, request.x_bin);
  const uint32_t rows = quotient(request.height, request.y_bin);
  const auto row_bytes = static_cast<std::size_t>(request.row_bytes);
  uint64_t sum_of_means = 0;
  char text[256];

  std::vector<uint8_t> header;
  const long count = device.read(MSG_HEADER_SIZE, &header);
  e.result = 0;
  if (count != static_cast<long>(MSG_HEADER_SIZE)) {
    std::snprintf(text, sizeof text, "Error reading exposure:%s\n", std::strerror(count < 0 ? ECONNRESET : EIO));
    e.err = text;
    e.result = -3;
  } else if ((header[6] | header[7] << 8) != MSG_IMAGE) {
    e.err = "Invalid (driver) image message!";
    e.result = -2;
  } else {
    const uint32_t length = header[2] | header[3] << 8 | static_cast<uint32_t>(header[4] | header[5] << 8) << 16;
    const int64_t wanted = static_cast<int64_t>(rows) * static_cast<int64_t>(row_bytes) + 8;
    if (static_cast<int64_t>(length) != wanted) {
      std::snprintf(text, sizeof text, "Image size discrepency! Read %d, expected %d\n", static_cast<int>(length),
                    static_cast<int>(wanted));
      e.err = text;
      e.result = -1;
    }
  }
  for (uint32_t number = 1; e.result == 0 && number <= rows; ++number) {
    std::vector<uint8_t> row;
    const long got = device.read(row_bytes, &row);
    if (got < 0) {
      e.err = "Failure while reading image!";
      e.result = -3;
      break;
    }
    if (static_cast<std::size_t>(got) != row_bytes) {
      e.err = "Truncated image read!";
      e.result = -1;
      break;
    }
    if (number == 1) {
      e.progress += "\r  0% Uploaded        ";
    } else if (number % 128 == 0) {
      std::snprintf(text, sizeof text, "\r%3d%%", static_cast<int>(static_cast<uint64_t>(number) * 100 / rows));
      e.progress += text;
    }
    uint32_t total = 0;
    for (uint32_t i = 0; i < pixels; ++i) {
      const uint32_t s = sample_at(row, i);
      total += s;
      e.stats.min = std::min(e.stats.min, s);
      e.stats.max = std::max(e.stats.max, s);
      const uint32_t left = i > 0 ? sample_at(row, i - 1) : 0;
      const uint32_t right = i + 1 < pixels ? sample_at(row, i + 1) : 0;
      if ((left >= s || right >= s) && s > e.stats.filtered_max) e.stats.filtered_max = s;
    }
    sum_of_means += pixels != 0 ? total / pixels : 0;
    e.rows.push_back(row);
    if (static_cast<int>(number) == stop_at) {
      e.result = -1;
      break;
    }
  }
  e.progress += "\r";
  e.stats.avg = static_cast<uint32_t>(rows != 0 ? sum_of_means / rows : 0);
  if (with_stats && debug_level != 0) {
    std::snprintf(text, sizeof text, "( %u Min / %u Avg / %u Max / %u FilteredMax ) A/D counts\n", e.stats.min,
                  e.stats.avg, e.stats.max, e.stats.filtered_max);
    e.out = text;
  }
  return e;
}

struct SinkState {
  const Expected* expected;
  std::size_t calls = 0;
  int stop_at = 0;
  uint32_t pixels = 0;
};

int checking_sink(void* context, ExposureRequest* request, uint16_t* row) {
  auto* state = static_cast<SinkState*>(context);
  const std::size_t index = state->calls++;
  if (index >= state->expected->rows.size()) fuzzing::fail("the sink got row %zu of no more than %zu", index + 1,
                                                           state->expected->rows.size());
  if (request->rows_read != static_cast<int32_t>(index + 1)) {
    fuzzing::fail("rows_read %d in the sink's call %zu", request->rows_read, index + 1);
  }
  const auto& wanted = state->expected->rows[index];
  if (static_cast<std::size_t>(request->row_bytes) != wanted.size() ||
      (!wanted.empty() && std::memcmp(row, wanted.data(), wanted.size()) != 0)) {
    fuzzing::fail("row %zu differs from the bytes the device sent", index + 1);
  }
  uint16_t before = 0;
  std::memcpy(&before, reinterpret_cast<const uint8_t*>(row) - 2, 2);
  if (before != 0) fuzzing::fail("the word before row %zu is %u", index + 1, before);
  if (wanted.size() <= 2 * static_cast<std::size_t>(state->pixels)) {
    uint16_t after = 0;
    std::memcpy(&after, reinterpret_cast<const uint8_t*>(row) + 2 * static_cast<std::size_t>(state->pixels), 2);
    if (after != 0) fuzzing::fail("the word after row %zu is %u", index + 1, after);
  }
  // The sink may rewrite its row (the FITS writer does): the next row's
  // statistics must not see it.
  if (!wanted.empty()) std::memset(row, 0xA5, wanted.size());
  return static_cast<int>(index + 1) == state->stop_at ? 1 : 0;
}

int progress_file = -1;
// FUZZ_VERBOSE=1 prints each case and its outcome (for reading seeds and findings).
bool verbose = false;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::signal(SIGPIPE, SIG_IGN);
  verbose = std::getenv("FUZZ_VERBOSE") != nullptr;
  progress_file = memfd_create("progress", 0);
  if (progress_file < 0) fuzzing::fail("memfd_create: %s", std::strerror(errno));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  CameraInfo camera = make_camera_info();
  ExposureRequest request = make_exposure_request(&camera);
  const bool wide = input.ConsumeBool();
  camera.bits_per_pixel = wide ? input.ConsumeIntegral<uint16_t>() : input.ConsumeIntegralInRange<int32_t>(0, 33);
  request.width = wide ? input.ConsumeIntegral<int32_t>() : input.ConsumeIntegralInRange<int32_t>(-3, 600);
  request.height = wide ? input.ConsumeIntegral<int32_t>() : input.ConsumeIntegralInRange<int32_t>(-3, 600);
  request.x_bin = wide ? input.ConsumeIntegral<int32_t>() : input.ConsumeIntegralInRange<int32_t>(0, 5);
  request.y_bin = wide ? input.ConsumeIntegral<int32_t>() : input.ConsumeIntegralInRange<int32_t>(0, 5);
  request.x_origin = input.ConsumeIntegral<int32_t>();
  request.y_origin = input.ConsumeIntegral<int32_t>();
  request.depth = input.ConsumeIntegral<int32_t>();
  request.flags = input.ConsumeIntegral<int32_t>();
  request.exposure_ms = input.ConsumeIntegral<uint32_t>();
  debug_level = input.ConsumeIntegral<uint8_t>() & 1;
  const bool with_stats = input.ConsumeBool();
  const int stop_at = input.ConsumeIntegralInRange<int>(0, 300);
  const bool reset = input.ConsumeBool();

  const uint32_t pixels = pixels_per_row(request);
  const uint32_t rows = image_rows(request);
  const uint64_t bytes_per_sample = (static_cast<uint32_t>(camera.bits_per_pixel) + 7) / 8;
  if (static_cast<uint64_t>(pixels) * bytes_per_sample / 2 + 2 > MAX_BUFFER_WORDS || pixels > MAX_BUFFER_WORDS) return 0;
  // Rows of no bytes are read without touching the device: bound the scan.
  if (static_cast<uint64_t>(rows) * std::max<uint32_t>(pixels, 1) > MAX_SCAN_SAMPLES) return 0;

  // The image header: well formed (the size the request asks for, give or
  // take), any bytes of any size, or none.
  std::vector<std::vector<uint8_t>> packets;
  const uint64_t row_size = static_cast<uint64_t>(pixels) * bytes_per_sample;
  if (input.ConsumeBool()) {
    const int64_t delta = input.ConsumeIntegralInRange<int64_t>(-2, 2);
    const auto length = static_cast<uint32_t>(static_cast<int64_t>(rows * row_size + 8) + delta);
    const auto header = encode_image_header(length);
    packets.emplace_back(header.begin(), header.end());
  } else {
    // 13: no header at all, so the first read meets the stream's end.
    const auto length = input.ConsumeIntegralInRange<std::size_t>(0, 13);
    if (length <= 12) packets.push_back(input.ConsumeBytes<uint8_t>(length));
  }
  // Rows: mostly of the request's size, some of any size; the samples come
  // from the input, repeated when it runs short.
  const std::vector<uint8_t> fill = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 256));
  while (input.remaining_bytes() > 0 && packets.size() < MAX_PACKETS) {
    std::size_t length = static_cast<std::size_t>(std::min<uint64_t>(row_size, MAX_PACKET));
    if (input.ConsumeIntegralInRange<int>(0, 7) == 0) length = input.ConsumeIntegralInRange<std::size_t>(0, length + 4);
    std::vector<uint8_t> row(length);
    const uint8_t seed = input.ConsumeIntegral<uint8_t>();
    for (std::size_t i = 0; i < length; ++i) {
      row[i] = fill.empty() ? static_cast<uint8_t>(seed + i * 7) : static_cast<uint8_t>(fill[i % fill.size()] + seed);
    }
    packets.push_back(std::move(row));
  }

  fuzzing::PacketFeeder feeder(packets, reset ? fuzzing::StreamEnd::Reset : fuzzing::StreamEnd::EndOfFile);
  camera.device_fd = feeder.fd();
  camera_expose(request);
  if (static_cast<uint64_t>(request.row_bytes) != std::min<uint64_t>(row_size, INT32_MAX) || request.rows_read != 0) {
    fuzzing::fail("camera_expose set row_bytes %d, rows_read %d for %u pixels of %u bytes", request.row_bytes,
                  request.rows_read, pixels, static_cast<unsigned>(bytes_per_sample));
  }
  const Expected expected = expect(request, packets, reset, stop_at, with_stats);
  feeder.start();

  progress_fd = progress_file;
  ftruncate(progress_file, 0);
  lseek(progress_file, 0, SEEK_SET);
  SinkState sink{&expected, 0, stop_at, pixels};
  PixelStats stats{1, 2, 3, 4};
  int result = 0;
  std::string out;
  std::string err;
  {
    fuzzing::CapturedStdio captured;
    const fuzzing::TimerSignalBlocked no_timer_signal;
    result = read_image(request, checking_sink, &sink, with_stats ? &stats : nullptr);
    out = captured.out();
    err = captured.err();
  }
  feeder.finish();
  const auto expose = encode_expose(request);
  if (feeder.first_message() != std::vector<uint8_t>(expose.begin(), expose.end())) {
    fuzzing::fail("the device got %zu bytes, not the request's MSG_EXPOSE", feeder.first_message().size());
  }
  const std::string progress = fuzzing::read_descriptor(progress_file);
  if (verbose) {
    std::fprintf(stderr, "request %dx%d bin %dx%d, %d bits, %zu packets, %s; stop at %d, stats %d: result %d, %zu rows, \"%s\"\n",
                 request.width, request.height, request.x_bin, request.y_bin, camera.bits_per_pixel, packets.size(),
                 reset ? "reset" : "end of file", stop_at, with_stats, result, sink.calls, err.c_str());
  }

  if (result != expected.result) fuzzing::fail("read_image returned %d, expected %d", result, expected.result);
  if (err != expected.err) fuzzing::fail("message \"%s\", expected \"%s\"", err.c_str(), expected.err.c_str());
  if (out != expected.out) fuzzing::fail("output \"%s\", expected \"%s\"", out.c_str(), expected.out.c_str());
  if (progress != expected.progress) fuzzing::fail("progress text differs (%zu bytes, expected %zu)", progress.size(),
                                                   expected.progress.size());
  if (sink.calls != expected.rows.size()) fuzzing::fail("the sink saw %zu rows, expected %zu", sink.calls,
                                                        expected.rows.size());
  if (with_stats && (stats.min != expected.stats.min || stats.max != expected.stats.max ||
                     stats.avg != expected.stats.avg || stats.filtered_max != expected.stats.filtered_max)) {
    fuzzing::fail("statistics %u/%u/%u/%u, expected %u/%u/%u/%u", stats.min, stats.avg, stats.max, stats.filtered_max,
                  expected.stats.min, expected.stats.avg, expected.stats.max, expected.stats.filtered_max);
  }
  if (!with_stats && (stats.min != 1 || stats.max != 2 || stats.avg != 3 || stats.filtered_max != 4)) {
    fuzzing::fail("statistics written without being asked for");
  }
  return 0;
}
