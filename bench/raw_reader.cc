// The raw reader: what a snapshot costs at the least. It makes the device
// calls a whole-sensor snapshot makes (open, query, expose, read the image
// header, read each row with its exact size) and writes each row to the
// output file as it arrives, with no statistics, no conversion and no file
// format. The end-to-end benchmark compares the real program with it.
//
// Usage: raw_reader DEVICE OUTPUT [EXPOSURE_MS]   (default 1 ms)
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "camera/camera.h"

namespace {

[[noreturn, gnu::format(printf, 1, 2)]] void fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("raw_reader: ", stderr);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::exit(1);
}

// Reads exactly count bytes in one call, as the device delivers one piece a read.
void read_piece(int fd, uint8_t* buffer, std::size_t count, const char* what) {
  const ssize_t got = read(fd, buffer, count);
  if (got != static_cast<ssize_t>(count)) {
    fail("%s: read %zd of %zu bytes%s%s", what, got, count, got < 0 ? ": " : "", got < 0 ? std::strerror(errno) : "");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fputs("Usage: raw_reader DEVICE OUTPUT [EXPOSURE_MS]\n", stderr);
    return 2;
  }
  const char* device = argv[1];
  const char* output = argv[2];
  const uint32_t exposure_ms = argc == 4 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)) : 1;

  const int fd = open(device, O_RDWR);
  if (fd < 0) fail("cannot open %s: %s", device, std::strerror(errno));

  const auto query = encode_query();
  if (write(fd, query.data(), query.size()) != static_cast<ssize_t>(query.size())) fail("query write failed");
  std::array<uint8_t, MSG_QUERY_REPLY_SIZE> reply_bytes{};
  read_piece(fd, reply_bytes.data(), reply_bytes.size(), "query reply");
  const QueryReply reply = decode_query_reply(reply_bytes);
  if (reply.header.type != MSG_QUERY_REPLY) fail("query reply of type 0x%04x", reply.header.type);

  CameraInfo camera = make_camera_info();
  camera.device_fd = fd;
  camera.width = reply.width;
  camera.height = reply.height;
  camera.bits_per_pixel = reply.bits_per_pixel;
  ExposureRequest request = make_exposure_request(&camera);
  request.width = camera.width;
  request.height = camera.height;
  request.x_bin = 1;
  request.y_bin = 1;
  request.depth = reply.default_depth;
  request.exposure_ms = exposure_ms;

  const int out = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) fail("cannot create %s: %s", output, std::strerror(errno));

  const auto expose = encode_expose(request);
  if (write(fd, expose.data(), expose.size()) != static_cast<ssize_t>(expose.size())) fail("expose write failed");

  const uint32_t rows = image_rows(request);
  const std::size_t row_bytes = static_cast<std::size_t>(pixels_per_row(request)) * ((camera.bits_per_pixel + 7) / 8);
  std::array<uint8_t, MSG_HEADER_SIZE> header_bytes{};
  read_piece(fd, header_bytes.data(), header_bytes.size(), "image header");
  const MessageHeader header = decode_header(header_bytes);
  if (header.type != MSG_IMAGE || header.length != rows * row_bytes + MSG_HEADER_SIZE) {
    fail("image header of type 0x%04x and length %u", header.type, header.length);
  }

  std::vector<uint8_t> row(row_bytes);
  for (uint32_t r = 1; r <= rows; ++r) {
    read_piece(fd, row.data(), row_bytes, "row");
    if (write(out, row.data(), row_bytes) != static_cast<ssize_t>(row_bytes)) {
      fail("write of row %u failed: %s", r, std::strerror(errno));
    }
  }
  if (close(out) != 0) fail("close of %s failed: %s", output, std::strerror(errno));
  return 0;
}
