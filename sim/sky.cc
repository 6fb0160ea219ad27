// The synthetic sky: a fixed field of Gaussian stars and hot pixels for a
// seed, exposed for the frame's time and read out with bias, dark current
// and Gaussian read noise, one row at a time.
#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "sim/sky.h"

namespace ccdsim {
namespace detail {
namespace {

// Inverse of the standard normal distribution function (rational
// approximation, relative error below 1.2e-9).
double normal_quantile(double p) {
  static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                                 1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
  static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                                 6.680131188771972e+01,  -1.328068155288572e+01};
  static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                                 -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
  static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                                 3.754408661907416e+00};
  constexpr double low = 0.02425;
  if (p < low || p > 1.0 - low) {
    const double q = std::sqrt(-2.0 * std::log(p < low ? p : 1.0 - p));
    const double x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
                     ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
    return p < low ? x : -x;
  }
  const double q = p - 0.5;
  const double r = q * q;
  return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
         (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
}

struct QuantileTable {
  std::array<float, 65536> values;
  QuantileTable() {
    for (std::size_t k = 0; k < values.size(); ++k) {
      values[k] = static_cast<float>(normal_quantile((static_cast<double>(k) + 0.5) / 65536.0));
    }
  }
};

// Keys that keep the hashes of different uses apart.
constexpr uint64_t STAR_KEY = 0x5354415253ull;
constexpr uint64_t HOT_KEY = 0x484F5450ull;
constexpr uint64_t NOISE_KEY = 0x4E4F495345ull;

uint64_t draw(uint64_t seed, uint64_t key, uint64_t index, uint64_t part) {
  return mix64(mix64(mix64(seed ^ key) + index) + part);
}

// The light of a Moffat profile of unit total, alpha (ax, ay) pixels, centred
// at (cx, cy), that falls on the pixel whose centre is (px, py): integrated
// on a 5 x 5 grid near the centre, where the profile is steep, sampled at
// the pixel's centre farther out.
double moffat_share(double px, double py, double cx, double cy, double ax, double ay) {
  const double norm = (MOFFAT_BETA - 1.0) / (std::numbers::pi * ax * ay);
  const auto density = [&](double dx, double dy) {
    const double q = 1.0 + (dx * dx) / (ax * ax) + (dy * dy) / (ay * ay);
    return norm / (q * q * std::sqrt(q));  // q^-2.5
  };
  const double dx = px - cx;
  const double dy = py - cy;
  if (std::fabs(dx) > 2.0 + 2.0 * ax || std::fabs(dy) > 2.0 + 2.0 * ay) return density(dx, dy);
  constexpr int N = 5;
  double sum = 0.0;
  for (int i = 0; i < N; ++i) {
    for (int j = 0; j < N; ++j) sum += density(dx + (i + 0.5) / N - 0.5, dy + (j + 0.5) / N - 0.5);
  }
  return sum / (N * N);
}

}  // namespace

float gaussian(uint64_t hash) {
  static const QuantileTable table;
  return table.values[hash >> 48];
}

SkyField make_sky_field(const SensorConfig& sensor, const SkyConfig& sky, uint64_t seed) {
  SkyField field;
  field.stars = sky_stars(sensor, sky, seed);
  field.hot = sky_hot_pixels(sensor, sky, seed);
  std::sort(field.stars.begin(), field.stars.end(), [](const Star& a, const Star& b) { return a.y < b.y; });
  std::sort(field.hot.begin(), field.hot.end(), [](const HotPixel& a, const HotPixel& b) { return a.y < b.y; });
  field.radius = std::ceil(6.0 * std::max(sky.star_sigma, 0.1));
  return field;
}

bool select_real_sky(const SensorConfig& sensor, const RealSky& real, const ExposeMessage& e, SkyField* field,
                     std::string* error) {
  static_assert(MOFFAT_BETA == 2.5, "moffat_share computes q^-2.5");
  const Plate plate = make_plate(real.pointing, sensor);
  // Full width at half maximum to the profile's alpha: FWHM = 2 alpha
  // sqrt(2^(1/beta) - 1).
  const double alpha = real.seeing / 3600.0 * std::numbers::pi / 180.0 /
                       (2.0 * std::sqrt(std::pow(2.0, 1.0 / MOFFAT_BETA) - 1.0));
  field->real = true;
  field->alpha_x = std::max(alpha / plate.x_scale, 0.05);
  field->alpha_y = std::max(alpha / plate.y_scale, 0.05);
  // A star's light is followed out to where a pixel would get a hundredth
  // of a count in this exposure, at most 100 pixels (and the search for
  // the stars touching the window reaches that far).
  constexpr double MAX_RADIUS = 100.0;
  const double t = e.exposure_ms / 1000.0;
  const double alpha_max = std::max(field->alpha_x, field->alpha_y);
  const double norm = (MOFFAT_BETA - 1.0) / (std::numbers::pi * field->alpha_x * field->alpha_y);
  const auto reach = [&](double rate) {
    const double q = std::pow(std::max(rate * t * norm / 0.01, 1.0), 1.0 / MOFFAT_BETA);
    return std::clamp(std::ceil(alpha_max * std::sqrt(q - 1.0)) + 1.0, 2.0, MAX_RADIUS);
  };
  field->radius = MAX_RADIUS;
  const double columns = e.x_bin == 0 ? 0.0 : static_cast<double>(e.width / e.x_bin) * e.x_bin;
  const double rows = static_cast<double>(expose_rows(e)) * e.y_bin;
  std::vector<CatalogStar> found;
  if (!select_stars(*real.catalog, plate, e.x_origin - field->radius, e.x_origin + columns - 1.0 + field->radius,
                    e.y_origin - field->radius, e.y_origin + rows - 1.0 + field->radius, &found, error)) {
    return false;
  }
  field->lit.clear();
  field->radius = 0.0;
  for (const CatalogStar& star : found) {
    const double rate = std::pow(10.0, -0.4 * (star.magnitude - real.zero_point));
    const LitStar lit = {star.x, star.y, rate, reach(rate)};
    // The window was searched out to the largest reach; a fainter star
    // beyond its own reach of the window sends it nothing.
    if (lit.x < e.x_origin - lit.radius || lit.x > e.x_origin + columns - 1.0 + lit.radius ||
        lit.y < e.y_origin - lit.radius || lit.y > e.y_origin + rows - 1.0 + lit.radius) {
      continue;
    }
    field->lit.push_back(lit);
    field->radius = std::max(field->radius, lit.radius);
  }
  std::sort(field->lit.begin(), field->lit.end(), [](const LitStar& a, const LitStar& b) { return a.y < b.y; });
  return true;
}

void render_sky_row(const SkyField& field, const SkyConfig& sky, uint64_t seed, const FrameContext& frame,
                    uint32_t row, std::span<uint32_t> values, std::span<double> charge) {
  const ExposeMessage& e = frame.expose;
  const double t = e.exposure_ms / 1000.0;
  const int64_t xb = e.x_bin;
  const int64_t yb = e.y_bin;
  const int64_t x0 = e.x_origin;
  const int64_t x_end = x0 + static_cast<int64_t>(values.size()) * xb;  // one past the last column
  const int64_t y0 = e.y_origin + static_cast<int64_t>(row) * yb;
  const int64_t y_end = y0 + yb;
  std::fill(charge.begin(), charge.end(), 0.0);

  if ((e.flags & EXPOSE_DARK) == 0 && field.real) {
    auto star = std::lower_bound(field.lit.begin(), field.lit.end(), static_cast<double>(y0) - field.radius,
                                 [](const LitStar& s, double y) { return s.y < y; });
    for (; star != field.lit.end() && star->y <= static_cast<double>(y_end - 1) + field.radius; ++star) {
      const double radius = star->radius;
      if (star->y < static_cast<double>(y0) - radius || star->y > static_cast<double>(y_end - 1) + radius) continue;
      const int64_t first = std::max<int64_t>(x0, static_cast<int64_t>(std::ceil(star->x - radius)));
      const int64_t last = std::min<int64_t>(x_end - 1, static_cast<int64_t>(std::floor(star->x + radius)));
      const double light = star->rate * t;
      for (int64_t sy = y0; sy < y_end; ++sy) {
        if (std::fabs(static_cast<double>(sy) - star->y) > radius) continue;
        for (int64_t sx = first; sx <= last; ++sx) {
          charge[static_cast<std::size_t>((sx - x0) / xb)] +=
              light * moffat_share(static_cast<double>(sx), static_cast<double>(sy), star->x, star->y,
                                   field.alpha_x, field.alpha_y);
        }
      }
    }
  } else if ((e.flags & EXPOSE_DARK) == 0 && !field.stars.empty()) {
    const double sigma = std::max(sky.star_sigma, 0.1);
    const double inv_two_var = 1.0 / (2.0 * sigma * sigma);
    const double radius = field.radius;
    auto star = std::lower_bound(field.stars.begin(), field.stars.end(), static_cast<double>(y0) - radius,
                                 [](const Star& s, double y) { return s.y < y; });
    for (; star != field.stars.end() && star->y <= static_cast<double>(y_end - 1) + radius; ++star) {
      const int64_t first = std::max<int64_t>(x0, static_cast<int64_t>(std::ceil(star->x - radius)));
      const int64_t last = std::min<int64_t>(x_end - 1, static_cast<int64_t>(std::floor(star->x + radius)));
      if (first > last) continue;
      for (int64_t sy = y0; sy < y_end; ++sy) {
        const double dy = static_cast<double>(sy) - star->y;
        if (std::fabs(dy) > radius) continue;
        const double row_peak = star->peak * t * std::exp(-dy * dy * inv_two_var);
        for (int64_t sx = first; sx <= last; ++sx) {
          const double dx = static_cast<double>(sx) - star->x;
          charge[static_cast<std::size_t>((sx - x0) / xb)] += row_peak * std::exp(-dx * dx * inv_two_var);
        }
      }
    }
  }

  const double hot_charge = sky.hot_pixel_level + sky.hot_pixel_rate * t;
  auto hot = std::lower_bound(field.hot.begin(), field.hot.end(), y0,
                              [](const HotPixel& h, int64_t y) { return static_cast<int64_t>(h.y) < y; });
  for (; hot != field.hot.end() && static_cast<int64_t>(hot->y) < y_end; ++hot) {
    const auto hx = static_cast<int64_t>(hot->x);
    if (hx >= x0 && hx < x_end) charge[static_cast<std::size_t>((hx - x0) / xb)] += hot_charge;
  }

  const double pedestal = sky.bias + sky.dark_current * t * static_cast<double>(xb * yb);
  const uint64_t frame_key = mix64(mix64(seed ^ NOISE_KEY) + frame.frame);
  const auto noise_y = static_cast<uint64_t>(y0) << 32;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto sx = static_cast<uint64_t>(x0 + static_cast<int64_t>(i) * xb);
    const double noise = sky.read_noise * gaussian(mix64(frame_key ^ (noise_y | sx)));
    const double v = std::nearbyint(pedestal + charge[i] + noise);
    values[i] = v <= 0.0 ? 0u : v >= 65535.0 ? 65535u : static_cast<uint32_t>(v);
  }
}

}  // namespace detail

std::vector<Star> sky_stars(const SensorConfig& sensor, const SkyConfig& sky, uint64_t seed) {
  using detail::draw;
  using detail::unit;
  const double w = sensor.width;
  const double h = sensor.height;
  std::vector<Star> stars;
  stars.reserve(sky.star_count);
  for (unsigned i = 0; i < sky.star_count; ++i) {
    const double u = unit(draw(seed, detail::STAR_KEY, i, 0));
    const double v = unit(draw(seed, detail::STAR_KEY, i, 1));
    const double b = unit(draw(seed, detail::STAR_KEY, i, 2));
    if (i == 0) {
      // Centred between two pixels of one row, in the middle half of the sensor.
      stars.push_back({std::floor(w * 0.25 + u * w * 0.5) + 0.5, std::floor(h * 0.25 + v * h * 0.5), sky.star_peak});
    } else {
      stars.push_back({u * w - 0.5, v * h - 0.5, sky.star_peak * (0.03 + 0.52 * b * b)});
    }
  }
  return stars;
}

std::vector<HotPixel> sky_hot_pixels(const SensorConfig& sensor, const SkyConfig& sky, uint64_t seed) {
  using detail::draw;
  using detail::unit;
  const std::vector<Star> stars = sky_stars(sensor, sky, seed);
  const double clearance = 6.0 * std::max(sky.star_sigma, 0.1) + 3.0;
  std::vector<HotPixel> hot;
  uint64_t attempt = 0;
  for (unsigned i = 0; i < sky.hot_pixels && attempt < 100ull * sky.hot_pixels; ++attempt) {
    const auto x = static_cast<uint32_t>(unit(draw(seed, detail::HOT_KEY, attempt, 0)) * sensor.width);
    const auto y = static_cast<uint32_t>(unit(draw(seed, detail::HOT_KEY, attempt, 1)) * sensor.height);
    const bool near_hot = std::any_of(hot.begin(), hot.end(), [&](const HotPixel& p) {
      return std::max(std::abs(static_cast<int64_t>(p.x) - x), std::abs(static_cast<int64_t>(p.y) - y)) < 10;
    });
    const bool near_star = std::any_of(stars.begin(), stars.end(), [&](const Star& s) {
      return std::hypot(s.x - x, s.y - y) < clearance;
    });
    if (near_hot || near_star) continue;
    hot.push_back({x, y});
    ++i;
  }
  return hot;
}

}  // namespace ccdsim
