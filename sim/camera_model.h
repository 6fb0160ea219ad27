// The simulated camera: a model of the camera device, independent of any
// transport. Given the bytes the program writes it produces the bytes the
// program reads: the query reply, and after an exposure the image header and
// one row per read, with a synthetic sky or a documented ramp pattern, and
// faults on demand.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "camera/camera.h"

namespace ccdsim {

struct SensorConfig {
  uint16_t width = 1392;
  uint16_t height = 1040;
  uint16_t bits_per_pixel = 16;
  uint16_t default_depth = 16;
  uint16_t pixel_width_raw = 1651;   // 6.45 micrometres in 1/256 micrometre
  uint16_t pixel_height_raw = 1651;
  uint16_t aux_1 = 0;
  uint16_t aux_2 = 0;
  // Model text bytes as sent at reply offset 8: "CCDSIM" then blanks.
  std::array<uint8_t, 32> model = default_model();

  static std::array<uint8_t, 32> default_model();
};

enum class Pattern {
  Sky,     // bias, read noise, dark current, stars, hot pixels
  Ramp,    // every pixel a documented function of position and exposure time
  Custom,  // pixels from ModelConfig::pixel
};

// What a frame is being computed for.
struct FrameContext {
  ExposeMessage expose;  // the exposure as received
  unsigned frame;        // 0 for the first exposure, counting up
};

// Faults; each is off at its default value. Row numbers count from 1.
struct Faults {
  int short_query_reply = 0;        // reply this many bytes short
  bool fail_query_read = false;     // the query reply read fails
  int reply_type = 0;               // nonzero: reply with this type
  int image_type = 0;               // nonzero: image header with this type
  int image_length_offset = 0;      // added to the image header's length
  int short_header = 0;             // image header this many bytes short
  bool fail_header_read = false;    // the image header read fails
  int truncate_row = 0;             // row K delivered truncate_by bytes short
  int truncate_by = 2;              // bytes missing from the truncated row
  int fail_row = 0;                 // the read of row K fails
  int stall_row = 0;                // the device stops answering at row K
};

struct ModelConfig {
  SensorConfig sensor;
  Pattern pattern = Pattern::Sky;
  uint64_t seed = 1;
  Faults faults;
  // Custom pattern: the value of output pixel (column, row) of the binned
  // window, before clipping to 65535.
  std::function<uint32_t(const FrameContext&, uint32_t column, uint32_t row)> pixel;
};

}  // namespace ccdsim
