// Camera records, message layouts and the device operations that open,
// query and close the camera.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "camera/camera.h"

CameraInfo make_camera_info() {
  CameraInfo camera{};
  std::memcpy(camera.device_path, "/dev/ccda", sizeof "/dev/ccda");
  return camera;
}

ExposureRequest make_exposure_request(CameraInfo* camera) {
  ExposureRequest request{};
  request.camera = camera;
  return request;
}

uint32_t pixels_per_row(const ExposureRequest& request) {
  const auto bin = static_cast<uint32_t>(request.x_bin);
  return bin == 0 ? 0 : static_cast<uint32_t>(request.width) / bin;
}

uint32_t image_rows(const ExposureRequest& request) {
  const auto bin = static_cast<uint32_t>(request.y_bin);
  return bin == 0 ? 0 : static_cast<uint32_t>(request.height) / bin;
}

void put_u16(std::span<uint8_t> bytes, std::size_t offset, uint16_t value) {
  bytes[offset] = static_cast<uint8_t>(value & 0xFF);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

uint16_t get_u16(std::span<const uint8_t> bytes, std::size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

void encode_header(const MessageHeader& header, std::span<uint8_t> bytes) {
  put_u16(bytes, 0, header.magic);
  put_u16(bytes, 2, static_cast<uint16_t>(header.length & 0xFFFF));
  put_u16(bytes, 4, static_cast<uint16_t>(header.length >> 16));
  put_u16(bytes, 6, header.type);
}

MessageHeader decode_header(std::span<const uint8_t> bytes) {
  MessageHeader header{};
  header.magic = get_u16(bytes, 0);
  header.length = get_u16(bytes, 2) + (static_cast<uint32_t>(get_u16(bytes, 4)) << 16);
  header.type = get_u16(bytes, 6);
  return header;
}

std::array<uint8_t, MSG_QUERY_SIZE> encode_query() {
  std::array<uint8_t, MSG_QUERY_SIZE> bytes{};
  encode_header({MSG_MAGIC, MSG_QUERY_SIZE, MSG_QUERY}, bytes);
  return bytes;
}

std::array<uint8_t, MSG_QUERY_REPLY_SIZE> encode_query_reply(const QueryReply& reply) {
  std::array<uint8_t, MSG_QUERY_REPLY_SIZE> bytes{};
  encode_header(reply.header, bytes);
  std::memcpy(bytes.data() + 8, reply.model.data(), reply.model.size());
  put_u16(bytes, 74, reply.width);
  put_u16(bytes, 76, reply.height);
  put_u16(bytes, 78, reply.pixel_width);
  put_u16(bytes, 80, reply.pixel_height);
  put_u16(bytes, 82, reply.aux_1);
  put_u16(bytes, 84, reply.bits_per_pixel);
  put_u16(bytes, 86, reply.default_depth);
  put_u16(bytes, 88, reply.aux_2);
  return bytes;
}

QueryReply decode_query_reply(std::span<const uint8_t, MSG_QUERY_REPLY_SIZE> bytes) {
  QueryReply reply{};
  reply.header = decode_header(bytes);
  std::memcpy(reply.model.data(), bytes.data() + 8, reply.model.size());
  reply.width = get_u16(bytes, 74);
  reply.height = get_u16(bytes, 76);
  reply.pixel_width = get_u16(bytes, 78);
  reply.pixel_height = get_u16(bytes, 80);
  reply.aux_1 = get_u16(bytes, 82);
  reply.bits_per_pixel = get_u16(bytes, 84);
  reply.default_depth = get_u16(bytes, 86);
  reply.aux_2 = get_u16(bytes, 88);
  return reply;
}

namespace {
uint16_t low16(int32_t value) { return static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFF); }
}  // namespace

std::array<uint8_t, MSG_EXPOSE_SIZE> encode_expose(const ExposureRequest& request) {
  std::array<uint8_t, MSG_EXPOSE_SIZE> bytes{};
  encode_header({MSG_MAGIC, MSG_EXPOSE_SIZE, MSG_EXPOSE}, bytes);
  // The size comes before the origin on the wire.
  put_u16(bytes, 8, low16(request.width));
  put_u16(bytes, 10, low16(request.height));
  put_u16(bytes, 12, low16(request.x_origin));
  put_u16(bytes, 14, low16(request.y_origin));
  put_u16(bytes, 16, low16(request.x_bin));
  put_u16(bytes, 18, low16(request.y_bin));
  put_u16(bytes, 20, low16(request.depth));
  put_u16(bytes, 22, low16(request.flags));
  put_u16(bytes, 24, static_cast<uint16_t>(request.exposure_ms & 0xFFFF));
  put_u16(bytes, 26, static_cast<uint16_t>(request.exposure_ms >> 16));
  return bytes;
}

ExposeMessage decode_expose(std::span<const uint8_t, MSG_EXPOSE_SIZE> bytes) {
  ExposeMessage message{};
  message.width = get_u16(bytes, 8);
  message.height = get_u16(bytes, 10);
  message.x_origin = get_u16(bytes, 12);
  message.y_origin = get_u16(bytes, 14);
  message.x_bin = get_u16(bytes, 16);
  message.y_bin = get_u16(bytes, 18);
  message.depth = get_u16(bytes, 20);
  message.flags = get_u16(bytes, 22);
  message.exposure_ms = get_u16(bytes, 24) + (static_cast<uint32_t>(get_u16(bytes, 26)) << 16);
  return message;
}

std::array<uint8_t, MSG_HEADER_SIZE> encode_image_header(uint32_t length) {
  std::array<uint8_t, MSG_HEADER_SIZE> bytes{};
  encode_header({MSG_MAGIC, length, MSG_IMAGE}, bytes);
  return bytes;
}

std::array<uint8_t, MSG_TYPE_0301_SIZE> encode_0301() {
  std::array<uint8_t, MSG_TYPE_0301_SIZE> bytes{};
  encode_header({MSG_MAGIC, MSG_TYPE_0301_SIZE, MSG_TYPE_0301}, bytes);
  return bytes;
}

std::array<uint8_t, MSG_TYPE_0401_SIZE> encode_0401(uint32_t first, uint32_t second) {
  std::array<uint8_t, MSG_TYPE_0401_SIZE> bytes{};
  encode_header({MSG_MAGIC, MSG_TYPE_0401_SIZE, MSG_TYPE_0401}, bytes);
  put_u16(bytes, 8, static_cast<uint16_t>(first & 0xFFFF));
  put_u16(bytes, 10, static_cast<uint16_t>(second & 0xFFFF));
  put_u16(bytes, 12, static_cast<uint16_t>(second >> 16));
  return bytes;
}

float pixel_size_from_raw(uint16_t raw) {
  // raw / 25.6 is the size in tenths of a micrometre; round half up.
  const auto tenths = static_cast<unsigned>(raw / 25.6 + 0.5);
  return static_cast<float>(tenths / 10.0);
}

void copy_model_text(const std::array<uint8_t, 32>& raw, char (&model)[33]) {
  std::size_t i = 0;
  for (; i < raw.size() && raw[i] != 0; ++i) model[i] = static_cast<char>(raw[i]);
  for (; i < 32; ++i) model[i] = '\0';
  model[32] = '\0';
  if (model[31] != ' ' && model[31] != '\0') return;
  model[31] = '\0';
  for (int j = 30; j >= 1 && (model[j] == ' ' || model[j] == '\0'); --j) model[j] = '\0';
}

int camera_query(CameraInfo& camera, int fd) {
  const auto query = encode_query();
  // The query's write result is not examined: the reply's read tells.
  [[maybe_unused]] const ssize_t sent = write(fd, query.data(), query.size());

  std::array<uint8_t, MSG_QUERY_REPLY_SIZE> bytes{};
  const ssize_t count = read(fd, bytes.data(), bytes.size());
  if (count != static_cast<ssize_t>(bytes.size())) {
    std::fprintf(stderr, "CCD message length wrong: %d\n", static_cast<int>(count));
    return 0;
  }
  const QueryReply reply = decode_query_reply(bytes);
  if (reply.header.type != MSG_QUERY_REPLY) {
    std::fprintf(stderr, "Wrong message returned from query: 0x%04X", reply.header.type);
    return 0;
  }
  camera.width = reply.width;
  camera.height = reply.height;
  camera.device_fd = fd;
  camera.pixel_width = pixel_size_from_raw(reply.pixel_width);
  camera.pixel_height = pixel_size_from_raw(reply.pixel_height);
  camera.aux_1 = reply.aux_1;
  camera.bits_per_pixel = reply.bits_per_pixel;
  camera.default_depth = reply.default_depth;
  camera.aux_2 = reply.aux_2;
  copy_model_text(reply.model, camera.model);
  return 1;
}

namespace {

// File system type of FUSE mounts: how a camera served from user space
// (ccdsim) appears.
constexpr long FUSE_SUPER_MAGIC_NUMBER = 0x65735546;
// Character major of the memory devices (/dev/null, /dev/zero, /dev/mem, ...).
constexpr unsigned MEMORY_DEVICE_MAJOR = 1;

// Whether the system's device tree lists the character device as a terminal:
// /sys/dev/char/MAJ:MIN/subsystem then links to the tty class. Serial lines
// are known this way without opening them (an open can reset what is on the
// line); pseudo-terminals are not listed and are caught once open.
bool listed_as_terminal(dev_t device) {
  char link[64];
  std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major(device), minor(device));
  char target[256];
  const ssize_t length = readlink(link, target, sizeof target - 1);
  if (length <= 0) return false;
  target[length] = '\0';
  const char* name = std::strrchr(target, '/');
  return std::strcmp(name != nullptr ? name + 1 : target, "tty") == 0;
}

// Why the node is no camera, or nullptr when it may be one: a character
// device that is neither a terminal nor a memory device, or an empty regular
// file on a FUSE file system.
const char* refusal_of(const char* path, const struct stat& node) {
  if (S_ISCHR(node.st_mode)) {
    if (major(node.st_rdev) == MEMORY_DEVICE_MAJOR) return "a memory device, not a camera";
    if (listed_as_terminal(node.st_rdev)) return "a terminal, not a camera";
    return nullptr;
  }
  if (S_ISREG(node.st_mode)) {
    struct statfs filesystem {};
    if (node.st_size == 0 && statfs(path, &filesystem) == 0 &&
        static_cast<long>(filesystem.f_type) == FUSE_SUPER_MAGIC_NUMBER) {
      return nullptr;
    }
    return "a regular file, not a camera";
  }
  if (S_ISBLK(node.st_mode)) return "a block device, not a camera";
  if (S_ISDIR(node.st_mode)) return "a directory, not a camera";
  if (S_ISFIFO(node.st_mode)) return "a FIFO, not a camera";
  if (S_ISSOCK(node.st_mode)) return "a socket, not a camera";
  return "an unknown kind of file, not a camera";
}

int refuse(const CameraInfo& camera, const char* why) {
  std::fprintf(stderr, "%s: %s\n", camera.device_path, why);
  return 0;
}

}  // namespace

int camera_open(CameraInfo& camera) {
  // Nothing is opened, let alone written, before the path is known to name
  // something that can be a camera: the query would overwrite a file or a
  // disk's first bytes, and opening a FIFO may block.
  struct stat node {};
  if (stat(camera.device_path, &node) != 0) return 0;
  if (const char* why = refusal_of(camera.device_path, node)) return refuse(camera, why);

  // O_NOCTTY: a terminal that slipped through never becomes the
  // controlling terminal.
  const int fd = open(camera.device_path, O_RDWR | O_NOCTTY);
  if (fd < 0) return 0;
  // The path may have been replaced between the look and the open.
  struct stat opened {};
  const char* why = nullptr;
  if (fstat(fd, &opened) != 0 || opened.st_dev != node.st_dev || opened.st_ino != node.st_ino) {
    why = "replaced while being opened";
  } else if (isatty(fd)) {
    why = "a terminal, not a camera";  // a pseudo-terminal, which the device tree does not list
  }
  if (why != nullptr) {
    close(fd);
    return refuse(camera, why);
  }
  // One run at a time: the messages of two runs on one camera would
  // interleave, whatever the driver allows. The lock lasts as long as the
  // descriptor, that is until the process ends. A device that does not
  // support locks is used without one.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    std::fprintf(stderr, "%s: camera in use by another process\n", camera.device_path);
    return 0;
  }
  // A failed query (or lock) leaves the descriptor open; the process's exit
  // releases it.
  return camera_query(camera, fd);
}

int camera_close(CameraInfo& camera) {
  if (camera.device_fd == 0) return 0;
  const int fd = camera.device_fd;
  camera.device_fd = 0;
  return close(fd);
}

int camera_send_0301(const ExposureRequest& request) {
  const auto bytes = encode_0301();
  return static_cast<int>(write(request.camera->device_fd, bytes.data(), bytes.size()));
}

int camera_send_0401(const CameraInfo& camera, uint32_t first, uint32_t second) {
  const auto bytes = encode_0401(first, second);
  return static_cast<int>(write(camera.device_fd, bytes.data(), bytes.size()));
}
