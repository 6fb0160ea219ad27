// What the simulator's tests share: raw device I/O of one message or one
// read, and the pieces the model itself would hand out, to compare against.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "sim/camera_model.h"

namespace ccdsim::test {

using Bytes = std::vector<uint8_t>;

template <std::size_t N>
Bytes to_bytes(const std::array<uint8_t, N>& array) {
  return {array.begin(), array.end()};
}

// MSG_EXPOSE of a depth-16 exposure with square binning.
inline Bytes expose_bytes(uint16_t width, uint16_t height, uint16_t bin, uint32_t ms, uint16_t x = 0,
                          uint16_t y = 0, uint16_t flags = 0) {
  ExposureRequest request{};
  request.x_origin = x;
  request.y_origin = y;
  request.width = width;
  request.height = height;
  request.x_bin = bin;
  request.y_bin = bin;
  request.depth = 16;
  request.flags = flags;
  request.exposure_ms = ms;
  return to_bytes(encode_expose(request));
}

// What one read() of `size` bytes returned: the count, the error, the bytes.
struct Read {
  ssize_t count;
  int error;
  Bytes bytes;
};

inline Read read_once(int fd, std::size_t size) {
  Read r{0, 0, Bytes(size)};
  r.count = read(fd, r.bytes.data(), size);
  r.error = r.count < 0 ? errno : 0;
  r.bytes.resize(r.count > 0 ? static_cast<std::size_t>(r.count) : 0);
  return r;
}

// Writes one whole message; the test fails when the write is refused or short.
inline void send_message(int fd, const Bytes& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// The next piece a model hands out to a read of `size` bytes.
inline Bytes model_piece(CameraModel& model, std::size_t size) {
  Bytes buffer(size);
  buffer.resize(model.read(buffer).count);
  return buffer;
}

}  // namespace ccdsim::test
