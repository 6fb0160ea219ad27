// Camera link: the records that describe the camera and one exposure, the
// fixed-layout little-endian messages of the camera device, opening and
// querying the device, and the exposure, countdown and row-by-row readout
// with its pixel statistics.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

// The opened camera. A fresh record holds device_path "/dev/ccda" and zeros.
struct CameraInfo {
  char device_path[64];
  int32_t device_fd;
  int32_t width;
  int32_t height;
  int32_t bits_per_pixel;
  int32_t aux_1;
  int32_t default_depth;
  int32_t aux_2;
  float pixel_width;   // micrometres, to the nearest tenth
  float pixel_height;  // micrometres, to the nearest tenth
  char model[33];
};

// One exposure: parameters and the readout state of the exposure last started.
struct ExposureRequest {
  CameraInfo* camera;
  int32_t x_origin;
  int32_t y_origin;
  int32_t width;   // unbinned pixels
  int32_t height;  // unbinned pixels
  int32_t x_bin;
  int32_t y_bin;
  int32_t depth;
  int32_t flags;
  uint32_t exposure_ms;
  time_t start_time;
  int32_t rows_read;
  int32_t row_bytes;
};

// A fresh camera record: "/dev/ccda", every other byte zero.
CameraInfo make_camera_info();
// A fresh request: every field zero except camera.
ExposureRequest make_exposure_request(CameraInfo* camera);

// Pixels per row (width / x_bin) and rows (height / y_bin), unsigned quotients;
// a zero binning factor gives 0.
uint32_t pixels_per_row(const ExposureRequest& request);
uint32_t image_rows(const ExposureRequest& request);

// Exposure flag bits, passed to the driver unchanged.
inline constexpr int32_t EXPOSE_NOACCUMULATION = 0x04;
inline constexpr int32_t EXPOSE_NOWIPE = 0x08;
inline constexpr int32_t EXPOSE_DARK = 0x10;
inline constexpr int32_t EXPOSE_TDI = 0x20;
inline constexpr int32_t EXPOSE_NOCLEAR = 0x40;

// Message framing.
inline constexpr uint16_t MSG_MAGIC = 0xCCDD;
inline constexpr uint16_t MSG_QUERY = 0x0101;
inline constexpr uint16_t MSG_QUERY_REPLY = 0x1001;
inline constexpr uint16_t MSG_EXPOSE = 0x0201;
inline constexpr uint16_t MSG_IMAGE = 0x2001;
inline constexpr uint16_t MSG_TYPE_0301 = 0x0301;
inline constexpr uint16_t MSG_TYPE_0401 = 0x0401;

inline constexpr std::size_t MSG_HEADER_SIZE = 8;
inline constexpr std::size_t MSG_QUERY_SIZE = 8;
inline constexpr std::size_t MSG_QUERY_REPLY_SIZE = 92;
inline constexpr std::size_t MSG_EXPOSE_SIZE = 28;
inline constexpr std::size_t MSG_TYPE_0301_SIZE = 8;
inline constexpr std::size_t MSG_TYPE_0401_SIZE = 14;

// The 8-byte header of every message: magic, 32-bit total length (sent as
// two 16-bit halves, low first), type.
struct MessageHeader {
  uint16_t magic;
  uint32_t length;
  uint16_t type;
};

// Little-endian 16-bit access at a byte offset.
void put_u16(std::span<uint8_t> bytes, std::size_t offset, uint16_t value);
uint16_t get_u16(std::span<const uint8_t> bytes, std::size_t offset);

void encode_header(const MessageHeader& header, std::span<uint8_t> bytes);
MessageHeader decode_header(std::span<const uint8_t> bytes);

// Contents of MSG_QUERY_REPLY, as raw 16-bit values.
struct QueryReply {
  MessageHeader header;
  std::array<uint8_t, 32> model;  // blank- or NUL-filled, maybe unterminated
  uint16_t width;
  uint16_t height;
  uint16_t pixel_width;   // 1/256 micrometre
  uint16_t pixel_height;  // 1/256 micrometre
  uint16_t aux_1;
  uint16_t bits_per_pixel;
  uint16_t default_depth;
  uint16_t aux_2;
};

// Contents of MSG_EXPOSE: the low 16 bits of each request field.
struct ExposeMessage {
  uint16_t width;
  uint16_t height;
  uint16_t x_origin;
  uint16_t y_origin;
  uint16_t x_bin;
  uint16_t y_bin;
  uint16_t depth;
  uint16_t flags;
  uint32_t exposure_ms;
};

std::array<uint8_t, MSG_QUERY_SIZE> encode_query();
// Uninterpreted bytes are zero; the header is magic, length 92, type 0x1001.
std::array<uint8_t, MSG_QUERY_REPLY_SIZE> encode_query_reply(const QueryReply& reply);
QueryReply decode_query_reply(std::span<const uint8_t, MSG_QUERY_REPLY_SIZE> bytes);
std::array<uint8_t, MSG_EXPOSE_SIZE> encode_expose(const ExposureRequest& request);
ExposeMessage decode_expose(std::span<const uint8_t, MSG_EXPOSE_SIZE> bytes);
std::array<uint8_t, MSG_HEADER_SIZE> encode_image_header(uint32_t length);
std::array<uint8_t, MSG_TYPE_0301_SIZE> encode_0301();
std::array<uint8_t, MSG_TYPE_0401_SIZE> encode_0401(uint32_t first, uint32_t second);

// Micrometres to the nearest tenth from a raw 8.8 fixed-point size (half up).
float pixel_size_from_raw(uint16_t raw);

// Copies the reply's 32 model bytes into model (strncpy semantics, NUL at
// byte 32) and trims trailing blanks and NULs from byte 31 down to byte 1.
void copy_model_text(const std::array<uint8_t, 32>& raw, char (&model)[33]);

// Opens device_path O_RDWR, takes an exclusive lock on it (flock, held until
// the process ends) and queries it; 1 on success, 0 on failure. A missing path
// gives 0 silently. Only a character device that is neither a terminal nor a
// memory device (major 1), or an empty regular file on a FUSE file system, is
// opened (O_NOCTTY) and spoken to; anything else gives 0 with "<path>: <what
// it is>, not a camera" on standard error before anything is written. A
// camera that another process holds locked gives 0 with "<path>: camera in
// use by another process" on standard error, before anything is sent to it.
int camera_open(CameraInfo& camera);
// Queries the camera over an already open descriptor and fills the record on
// success (device_fd becomes fd); 1 on success, 0 on failure with its message.
int camera_query(CameraInfo& camera, int fd);
// Closes an open camera; 0 without a system call when device_fd is 0.
int camera_close(CameraInfo& camera);
// Writes MSG_TYPE_0301 to the request's camera; returns what write() returned.
int camera_send_0301(const ExposureRequest& request);
// Writes MSG_TYPE_0401 with the two values; returns what write() returned.
int camera_send_0401(const CameraInfo& camera, uint32_t first, uint32_t second);

// Statistics of one readout.
struct PixelStats {
  uint32_t min;
  uint32_t max;
  uint32_t avg;
  uint32_t filtered_max;
};

// Per-row callback of read_image: returns 0 to go on, nonzero to stop. It may
// rewrite the row's row_bytes bytes in place, never the words beside them.
using RowSink = int (*)(void* context, ExposureRequest* request, uint16_t* row);

// Sends MSG_EXPOSE; resets rows_read and sets row_bytes.
void camera_expose(ExposureRequest& request);
// camera_expose, then counts the whole seconds down on the progress channel.
void expose_with_countdown(ExposureRequest& request);
// Reads the image header (first call) and one row into row; returns the
// row's 1-based number, 0 when complete, or -1, -2, -3 on failure.
int camera_read_row(ExposureRequest& request, uint8_t* row);
// Reads every row, keeping statistics and handing each row to sink; returns
// 0, -1 (sink stopped, size mismatch, short row) or the negative error code.
int read_image(ExposureRequest& request, RowSink sink, void* context, PixelStats* stats);
// RowSink that keeps nothing: returns 0.
int discard_row(void* context, ExposureRequest* request, uint16_t* row);

// Running statistics of a readout as read_image keeps them row by row.
struct RowStats {
  uint32_t min;
  uint32_t max;
  uint32_t filtered_max;
  uint32_t row_mean;  // mean of the row scanned last (unsigned quotient; 0 for no pixels)
};
// Takes the row's `pixels` little-endian 16-bit samples into stats; samples
// outside the row count as 0 for the neighbour test of filtered_max.
RowStats scan_row(const uint16_t* row, uint32_t pixels, RowStats stats);
// Size in 16-bit words of read_image's row buffer for the request: room for
// the larger of pixels-per-row samples and row_bytes bytes, plus a zero word
// on either side.
std::size_t row_buffer_words(const ExposureRequest& request);
