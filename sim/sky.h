// Internals of the synthetic sky and of the counter-based hash it draws its
// randomness from; used by the camera model.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/camera_model.h"

namespace ccdsim::detail {

// splitmix64's finaliser: a bijective mix of 64 bits.
constexpr uint64_t mix64(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// A uniform value in [0, 1) from the top 53 bits of a hash.
inline double unit(uint64_t hash) { return static_cast<double>(hash >> 11) * 0x1.0p-53; }

// A standard normal value from the top 16 bits of a hash (a table of the
// 65536 quantiles at (k + 0.5) / 65536).
float gaussian(uint64_t hash);

// A catalog star: its whole light per second, spread as a Moffat profile,
// and the distance (pixels) beyond which that light is negligible.
struct LitStar {
  double x;
  double y;
  double rate;
  double radius;
};

// Moffat exponent of the catalog stars' profile (1 + r^2 / alpha^2)^-beta:
// a core of the seeing's width with the wings of a real telescope's stars,
// so that brighter stars show larger discs.
inline constexpr double MOFFAT_BETA = 2.5;

// The fixed part of a sky: stars and hot pixels ordered by row.
struct SkyField {
  std::vector<Star> stars;      // ordered by y
  std::vector<HotPixel> hot;    // ordered by y
  double radius = 0.0;          // a star's light ends this far from its centre
  // The real sky: catalog stars instead of `stars`, ordered by y; radius
  // is the largest of theirs. alpha_x and alpha_y are the profile's alpha
  // in pixels along a row and a column.
  bool real = false;
  std::vector<LitStar> lit;
  double alpha_x = 0.0;
  double alpha_y = 0.0;
};

SkyField make_sky_field(const SensorConfig& sensor, const SkyConfig& sky, uint64_t seed);

// Replaces the field's stars with the catalog stars whose light touches the
// exposure's window; false, with a reason in error, when the catalog cannot
// be read.
bool select_real_sky(const SensorConfig& sensor, const RealSky& real, const ExposeMessage& expose,
                     SkyField* field, std::string* error);

// Values (before clipping to 16 bits) of output row `row` of the frame's
// binned window; values and charge hold one entry per output pixel.
void render_sky_row(const SkyField& field, const SkyConfig& sky, uint64_t seed,
                    const FrameContext& frame, uint32_t row, std::span<uint32_t> values,
                    std::span<double> charge);

}  // namespace ccdsim::detail
