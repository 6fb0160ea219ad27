// The simulated camera: a model of the camera device, independent of any
// transport. Given the bytes the program writes it produces the bytes the
// program reads: the query reply, and after an exposure the image header and
// one row per read, with a synthetic sky or a documented ramp pattern, and
// faults on demand. Rows are computed one at a time as they are read; no
// frame is ever held whole.
//
// Device behaviour (what every transport of the model delivers):
// - Writes: each write is one whole message. MSG_QUERY (8 bytes) makes the
//   query reply the next piece to read; MSG_EXPOSE (28 bytes) starts an
//   exposure and makes the image header, then its rows, the next pieces;
//   MSG_TYPE_0301 (8 bytes) and MSG_TYPE_0401 (14 bytes) are counted and
//   answered with nothing. A query or an exposure abandons whatever was
//   still to be read. A write that is not one of these messages exactly
//   (fewer than 8 bytes, magic not 0xCCDD, length field not the write's
//   size, unknown type, wrong size for its type) and an exposure whose
//   binning factor is 0 or above MAX_BIN are refused with EINVAL and change
//   nothing.
// - Reads: each read takes one whole piece (the 92-byte reply, the 8-byte
//   image header, or one row) whatever its size: a larger buffer still gets
//   just that piece, a smaller one gets the piece's first bytes and the rest
//   of the piece is dropped. A read when nothing is pending returns 0 bytes.
// - The image header is ready once the exposure time, multiplied by the time
//   scale, has passed since the exposure was written; the transport waits
//   for ready_at() before it reads it.
// - Samples: each row holds width / x_bin samples of (bits_per_pixel + 7) / 8
//   bytes, little-endian. The patterns give 16-bit values; a 1-byte sample
//   holds the value's high byte, wider samples hold it in their two low
//   bytes. The requested depth is recorded and does not change the values.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "sim/catalog.h"

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

// Model text bytes from a string: its first 32 bytes, blank-padded.
std::array<uint8_t, 32> model_text(const std::string& text);

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
// Each applies to every query or exposure of the session.
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
// A failed read abandons the image (later reads return 0 bytes). Once the
// device has stopped answering, no read of the session is answered again.

// The synthetic sky. Counts are A/D units of one unbinned pixel.
//
// A binned pixel is read out as a CCD does it: the charge of its
// x_bin * y_bin sensor pixels (dark current, light of the stars, hot pixels) is summed,
// then one bias level and one read noise sample are added, and the result is
// rounded and clipped to 0..65535. So binning leaves the pedestal at the bias
// level and multiplies the signal.
//
// - Dark current: dark_current * t per sensor pixel (t the exposure time in
//   seconds), everywhere.
// - Stars: star_count Gaussian spots of standard deviation star_sigma pixels,
//   fixed on the sensor for a seed. A star of peak rate p adds
//   p * t * exp(-r^2 / (2 star_sigma^2)) to the sensor pixel whose centre is
//   r pixels from the star's centre. The brightest star has peak rate
//   star_peak and sits centred between two pixels of one row, in the middle
//   half of the sensor; every other star has a peak rate of at most
//   0.55 * star_peak.
// - Hot pixels: up to hot_pixels single sensor pixels, at least 10 pixels from each
//   other and clear of every star, holding hot_pixel_level + hot_pixel_rate * t
//   of extra charge. They are dark current, so dark frames show them too.
// - Read noise: Gaussian with standard deviation read_noise, one sample per
//   output pixel, from a hash of (seed, frame, position): any row of any
//   frame is computed on its own, and the same seed gives the same frames.
// - EXPOSE_DARK in the exposure's flags: the shutter stays closed, no stars.
struct SkyConfig {
  double bias = 1000.0;             // counts
  double read_noise = 3.0;          // counts rms
  double dark_current = 1.0;        // counts per second per pixel
  unsigned star_count = 50;
  double star_peak = 20000.0;       // peak counts per second of the brightest star
  double star_sigma = 1.2;          // pixels
  unsigned hot_pixels = 6;
  double hot_pixel_level = 3000.0;  // counts, whatever the exposure time
  double hot_pixel_rate = 1000.0;   // counts per second
};

// The real sky: with a catalog, the sky pattern's stars are the catalog's
// stars at the pointing (sim/catalog.h) instead of the synthetic ones; bias,
// read noise, dark current, hot pixels, binning and the seed are as above.
// A star of magnitude m sends 10^(-0.4 (m - zero_point)) counts per second
// in all, spread as a Moffat profile (1 + r^2 / alpha^2)^-2.5 of full width
// at half maximum `seeing` and integrated over each sensor pixel: the core
// of the seeing with the faint wings of real star images, so brighter stars
// show larger discs. The stars whose light touches the
// exposure's window are read from the catalog once per exposure (a failed
// read refuses the exposure with EIO); the rows are then computed as read.
struct RealSky {
  std::shared_ptr<const StarCatalog> catalog;  // null: the synthetic stars
  Pointing pointing;
  double seeing = 3.0;       // arcseconds
  double zero_point = 13.5;  // magnitude of a star giving 1 count per second
};

struct ModelConfig {
  SensorConfig sensor;
  Pattern pattern = Pattern::Sky;
  uint64_t seed = 1;
  Faults faults;
  // Custom pattern: the value of output pixel (column, row) of the binned
  // window, before clipping to 65535.
  std::function<uint32_t(const FrameContext&, uint32_t column, uint32_t row)> pixel;
  SkyConfig sky;
  RealSky real_sky;
  // The image header is ready exposure_ms * time_scale milliseconds after the
  // exposure was written; 0 (or less) means at once.
  double time_scale = 0.0;
};

// Largest binning factor an exposure may ask for.
inline constexpr uint16_t MAX_BIN = 64;

// The ramp pattern: the unbinned value at sensor column sx, row sy of an
// exposure of exposure_ms milliseconds is
//   (sx * 37 + sy * 101 + exposure_ms) mod 65536,
// and a binned pixel is the sum of its x_bin * y_bin sensor pixels, clipped
// at 65535. It ignores the exposure's flags.
constexpr uint16_t ramp_value(uint32_t sx, uint32_t sy, uint32_t exposure_ms) {
  return static_cast<uint16_t>((sx * 37u + sy * 101u + exposure_ms) & 0xFFFFu);
}
// The ramp value of output pixel (column, row) of the exposure's binned window.
uint16_t ramp_pixel(const ExposeMessage& expose, uint32_t column, uint32_t row);

// A star of the synthetic sky, in sensor coordinates (pixel centres at whole
// numbers); peak in counts per second.
struct Star {
  double x;
  double y;
  double peak;
};
struct HotPixel {
  uint32_t x;
  uint32_t y;
};
// The stars of the sky for this sensor and seed, the brightest first.
std::vector<Star> sky_stars(const SensorConfig& sensor, const SkyConfig& sky, uint64_t seed);
// The hot pixels of the sky for this sensor and seed.
std::vector<HotPixel> sky_hot_pixels(const SensorConfig& sensor, const SkyConfig& sky, uint64_t seed);

// Bytes per sample ((bits_per_pixel + 7) / 8), bytes per row and rows of an
// exposure on this sensor; a zero binning factor gives 0.
std::size_t sample_bytes(const SensorConfig& sensor);
std::size_t expose_row_bytes(const SensorConfig& sensor, const ExposeMessage& expose);
uint32_t expose_rows(const ExposeMessage& expose);

// What a read delivered.
enum class ReadKind {
  Data,     // count bytes (0 when nothing was pending)
  Failed,   // the read fails (the device returns EIO)
  Stalled,  // the device does not answer this read, nor any later one
};
struct ReadResult {
  ReadKind kind;
  std::size_t count;
};

// Messages that need no answer, as received.
struct SideMessages {
  unsigned count_0301 = 0;
  unsigned count_0401 = 0;
  uint16_t last_0401_first = 0;
  uint32_t last_0401_second = 0;
};

// One camera session: the state machine between writes and reads. Not
// thread-safe; a transport serialises its calls.
class CameraModel {
 public:
  explicit CameraModel(const ModelConfig& config = {});
  ~CameraModel();
  CameraModel(const CameraModel&) = delete;
  CameraModel& operator=(const CameraModel&) = delete;

  // Takes the bytes of one write: returns their count, or -EINVAL (refused).
  long write(std::span<const uint8_t> bytes);
  // Delivers the next piece into buffer (see the device behaviour above).
  ReadResult read(std::span<uint8_t> buffer);
  // True while a piece is waiting to be read.
  bool has_pending() const;
  // Size of the next piece as the program should read it (92, 8 or the row
  // size, before faults); 0 when nothing is pending.
  std::size_t pending_size() const;
  // When the next read may be answered: the end of the exposure wait for the
  // image header, a past time otherwise.
  std::chrono::steady_clock::time_point ready_at() const;
  // True once the device has stopped answering.
  bool stalled() const;
  // Counts up whenever a query or an exposure replaces the pending pieces.
  unsigned generation() const;
  // Exposures accepted so far.
  unsigned frames() const;
  const SideMessages& side_messages() const;
  const ModelConfig& config() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The 92-byte query reply the sensor gives (no faults).
std::array<uint8_t, MSG_QUERY_REPLY_SIZE> query_reply_bytes(const SensorConfig& sensor);

}  // namespace ccdsim
