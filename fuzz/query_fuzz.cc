// Fuzz target: the camera query over an already open descriptor, with any
// reply the device end may give: any bytes, any size, no reply at all, or a
// failing read. Checks the outcome against the reply's layout: the return
// value, the exact message, the record (unchanged after a failure) and the
// query message that went out.
//
// Input: byte 0 picks how the device answers (low two bits: 0 or 3 one
// packet of the remaining bytes, 1 end of file, 2 a failing read); the
// remaining bytes are the reply packet.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "fuzz/fuzz_support.h"

namespace {

uint16_t u16_at(const uint8_t* bytes, std::size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

// Micrometres to the nearest tenth, an exact half upward.
float expected_pixel_size(uint16_t raw) {
  const double tenths = static_cast<double>(raw) * 10.0 / 256.0;
  double n = static_cast<double>(static_cast<long>(tenths));
  if (tenths - n >= 0.5) n += 1.0;
  return static_cast<float>(n / 10.0);
}

// The model text: the 32 bytes up to the first NUL, then trailing blanks
// and NULs removed from byte 31 down to byte 1 when byte 31 is one of them.
std::string expected_model(const uint8_t* raw) {
  std::string text;
  for (std::size_t i = 0; i < 32 && raw[i] != 0; ++i) text.push_back(static_cast<char>(raw[i]));
  const bool last_is_fill = text.size() < 32 || text[31] == ' ';
  if (!last_is_fill) return text;
  text.resize(std::min<std::size_t>(text.size(), 31));
  while (text.size() > 1 && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::signal(SIGPIPE, SIG_IGN);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int mode = data[0] & 3;
  const uint8_t* reply = data + 1;
  const std::size_t reply_size = size - 1;

  std::vector<std::vector<uint8_t>> packets;
  long expected_count = 0;
  if (mode == 2) {
    expected_count = -1;
  } else if (mode != 1) {
    packets.emplace_back(reply, reply + reply_size);
    expected_count = static_cast<long>(std::min<std::size_t>(reply_size, MSG_QUERY_REPLY_SIZE));
  }
  fuzzing::PacketFeeder device(packets, mode == 2 ? fuzzing::StreamEnd::Reset : fuzzing::StreamEnd::EndOfFile);
  device.start();

  CameraInfo camera = make_camera_info();
  camera.device_fd = 77;  // a failed query must leave it as it was
  camera.width = -1;
  const CameraInfo before = camera;

  int result = 0;
  std::string err;
  {
    fuzzing::CapturedStdio captured;
    const fuzzing::TimerSignalBlocked no_timer_signal;
    result = camera_query(camera, device.fd());
    err = captured.err();
    if (!captured.out().empty()) fuzzing::fail("camera_query printed on standard output");
  }

  device.finish();
  const std::vector<uint8_t> wanted = {0xDD, 0xCC, 0x08, 0x00, 0x00, 0x00, 0x01, 0x01};
  if (device.first_message() != wanted) {
    fuzzing::fail("the query sent was %zu bytes, not the 8-byte MSG_QUERY", device.first_message().size());
  }

  char message[128];
  if (expected_count != static_cast<long>(MSG_QUERY_REPLY_SIZE)) {
    std::snprintf(message, sizeof message, "CCD message length wrong: %ld\n", expected_count);
  } else if (u16_at(reply, 6) != MSG_QUERY_REPLY) {
    std::snprintf(message, sizeof message, "Wrong message returned from query: 0x%04X", u16_at(reply, 6));
  } else {
    message[0] = '\0';
  }
  if (err != message) fuzzing::fail("message \"%s\", expected \"%s\"", err.c_str(), message);

  if (message[0] != '\0') {
    if (result != 0) fuzzing::fail("a failed query returned %d", result);
    if (std::memcmp(&camera, &before, sizeof camera) != 0) fuzzing::fail("a failed query changed the record");
    return 0;
  }
  if (result != 1) fuzzing::fail("a good reply returned %d", result);
  if (camera.device_fd != device.fd()) fuzzing::fail("device_fd %d, expected %d", camera.device_fd, device.fd());
  if (std::memcmp(camera.device_path, before.device_path, sizeof camera.device_path) != 0) {
    fuzzing::fail("the query changed device_path");
  }
  const struct {
    const char* name;
    int32_t value;
    std::size_t offset;
  } fields[] = {{"width", camera.width, 74},       {"height", camera.height, 76},
                {"aux_1", camera.aux_1, 82},       {"bits_per_pixel", camera.bits_per_pixel, 84},
                {"default_depth", camera.default_depth, 86}, {"aux_2", camera.aux_2, 88}};
  for (const auto& field : fields) {
    if (field.value != u16_at(reply, field.offset)) {
      fuzzing::fail("%s %d, reply holds %u", field.name, field.value, u16_at(reply, field.offset));
    }
  }
  if (camera.pixel_width != expected_pixel_size(u16_at(reply, 78)) ||
      camera.pixel_height != expected_pixel_size(u16_at(reply, 80))) {
    fuzzing::fail("pixel size %g x %g from raw %u x %u", static_cast<double>(camera.pixel_width),
                  static_cast<double>(camera.pixel_height), u16_at(reply, 78), u16_at(reply, 80));
  }
  if (camera.model[32] != '\0') fuzzing::fail("model not terminated");
  const std::string model = expected_model(reply + 8);
  if (std::string(camera.model) != model) fuzzing::fail("model \"%s\", expected \"%s\"", camera.model, model.c_str());
  for (std::size_t i = model.size(); i < sizeof camera.model; ++i) {
    if (camera.model[i] != '\0') fuzzing::fail("model byte %zu behind the text is not NUL", i);
  }
  return 0;
}
