#include "sim/catalog.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "sim/camera_model.h"
#include "sim/sim_test_support.h"
#include "tests/support/test_support.h"

namespace ccdsim {
namespace {

using testing_support::TempDir;
using testing_support::write_file;

constexpr double DEGREE = std::numbers::pi / 180.0;

// A 1001 x 801 sensor of 10 micrometre pixels: behind 1000 mm, 1e-5 radians
// of the tangent plane per pixel, the centre at (500, 400).
SensorConfig test_sensor() {
  SensorConfig sensor;
  sensor.width = 1001;
  sensor.height = 801;
  sensor.pixel_width_raw = 2560;
  sensor.pixel_height_raw = 2560;
  return sensor;
}

double deg_atan(double t) { return std::atan(t) / DEGREE; }

TEST(ProjectionTest, HandComputedStars) {
  const double third = 100000.0 / std::sqrt(3.0);  // tan 30 degrees / 1e-5
  struct Case {
    const char* what;
    double ra0, dec0, rotation, ra, dec;
    double x, y;
  } cases[] = {
      {"centre", 0, 0, 0, 0, 0, 500, 400},
      {"north is up", 0, 0, 0, 0, deg_atan(100e-5), 500, 300},
      {"east is left", 0, 0, 0, deg_atan(50e-5), 0, 450, 400},
      {"east is left at RA 90", 90, 0, 0, 90 + deg_atan(50e-5), 0, 450, 400},
      {"turned 90: north is right", 0, 0, 90, 0, deg_atan(100e-5), 600, 400},
      {"turned 90: east is up", 0, 0, 90, deg_atan(50e-5), 0, 500, 350},
      {"turned 30: north", 0, 0, 30, 0, deg_atan(100e-5), 550, 400 - 50 * std::sqrt(3.0)},
      // From (0, 60): the pole is 30 degrees north; (90, 60) has standard
      // coordinates (2/3, 1/sqrt 3) (its vector (0, 1/2, sqrt 3/2), d = 3/4).
      {"pole from Dec 60", 0, 60, 0, 0, 90, 500, 400 - third},
      {"RA 90 from Dec 60", 0, 60, 0, 90, 60, 500 - 200000.0 / 3.0, 400 - third},
  };
  for (const Case& c : cases) {
    const Plate plate = make_plate({c.ra0, c.dec0, 1000.0, c.rotation}, test_sensor());
    double x = 0, y = 0;
    ASSERT_TRUE(project(plate, unit_vector(c.ra, c.dec), &x, &y)) << c.what;
    EXPECT_NEAR(x, c.x, 1e-6) << c.what;
    EXPECT_NEAR(y, c.y, 1e-6) << c.what;
  }
  double x = 1, y = 2;
  EXPECT_FALSE(project(make_plate({0, 0, 1000.0, 0}, test_sensor()), unit_vector(180, 0), &x, &y));
  EXPECT_EQ(x, 1);
  EXPECT_EQ(y, 2);
}

// --- A small catalog file in either byte order ---

std::string card(const std::string& text) { return text + std::string(80 - text.size(), ' '); }

std::string header(std::vector<std::string> cards) {
  std::string h;
  for (const std::string& c : cards) h += card(c);
  h += card("END");
  h.resize((h.size() + 2879) / 2880 * 2880, ' ');
  return h;
}

std::string table(const std::string& column, const std::string& form, std::size_t row_bytes, std::size_t rows,
                  std::string data, const std::string& extra = "") {
  std::vector<std::string> cards = {"XTENSION= 'BINTABLE'", "BITPIX  =                    8",
                                    "NAXIS   =                    2", "NAXIS1  = " + std::to_string(row_bytes),
                                    "NAXIS2  = " + std::to_string(rows), "PCOUNT  =                    0",
                                    "GCOUNT  =                    1", "TFIELDS =                    1",
                                    "TFORM1  = '" + form + "'", "TTYPE1  = '" + column + "'"};
  if (!extra.empty()) cards.push_back(extra);
  data.resize((data.size() + 2879) / 2880 * 2880, '\0');
  return header(cards) + data;
}

void put(std::string& out, uint64_t value, int bytes, bool little) {
  for (int i = 0; i < bytes; ++i) {
    const int shift = 8 * (little ? i : bytes - 1 - i);
    out += static_cast<char>((value >> shift) & 0xFF);
  }
}

struct TestStar {
  double ra, dec;
  float magnitude;
};

std::string catalog_file(bool little, const std::vector<TestStar>& stars, bool with_magnitudes = true) {
  const std::string endian = little ? "ENDIAN  = '04:03:02:01'" : "ENDIAN  = '01:02:03:04'";
  std::string range, data, magnitudes;
  const double scale = 2147483648.0;  // n / 2^31 - 1
  for (const double v : {-1.0, -1.0, -1.0, 1.0, 1.0, 1.0, scale}) put(range, std::bit_cast<uint64_t>(v), 8, little);
  for (const TestStar& s : stars) {
    const Vec3 v = unit_vector(s.ra, s.dec);
    for (const double c : {v.x, v.y, v.z}) {
      put(data, static_cast<uint64_t>(std::min(std::llround((c + 1.0) * scale), 4294967295ll)), 4, little);
    }
    put(magnitudes, std::bit_cast<uint32_t>(s.magnitude), 4, false);
  }
  std::string file = header({"SIMPLE  =                    T", "BITPIX  =                    8",
                             "NAXIS   =                    0", "EXTEND  =                    T", endian});
  file += table("kdtree_header_stars", "0A", 0, 0, "", endian);
  file += table("kdtree_range_stars", "8A", 8, 7, range);
  file += table("kdtree_data_stars", "12A", 12, stars.size(), data);
  if (with_magnitudes) file += table("MAG_VT", "1E", 4, stars.size(), magnitudes);
  return file;
}

TEST(CatalogTest, SelectsTheStarsOnTheSensorInEitherByteOrder) {
  const std::vector<TestStar> stars = {
      {0, 0, 7.25f},                      // the centre
      {deg_atan(50e-5), 0, 11.5f},        // 50 pixels east
      {0, deg_atan(-300e-5), 3.0f},       // 300 pixels south
      {0, deg_atan(500e-5), 9.0f},        // beyond the sensor's top
      {180, 0, 1.0f},                     // the other side of the sky
      {10, 5, 2.0f},                      // outside the cone
  };
  for (const bool little : {true, false}) {
    TempDir dir;
    write_file(dir.file("index.fits"), catalog_file(little, stars));
    std::string error;
    const auto catalog = open_catalog(dir.file("index.fits"), &error);
    ASSERT_NE(catalog, nullptr) << error;
    EXPECT_EQ(catalog->stars, 6u);
    std::vector<CatalogStar> found;
    const Plate plate = make_plate({0, 0, 1000.0, 0}, test_sensor());
    ASSERT_TRUE(select_stars(*catalog, plate, -0.5, 1000.5, -0.5, 800.5, &found, &error)) << error;
    ASSERT_EQ(found.size(), 3u) << (little ? "little-endian" : "big-endian");
    const double expected[][3] = {{500, 400, 7.25}, {450, 400, 11.5}, {500, 700, 3.0}};
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_NEAR(found[i].x, expected[i][0], 1e-3) << i;
      EXPECT_NEAR(found[i].y, expected[i][1], 1e-3) << i;
      EXPECT_EQ(found[i].magnitude, expected[i][2]) << i;
    }
  }
}

TEST(CatalogTest, RefusesWhatIsNotACatalog) {
  TempDir dir;
  write_file(dir.file("no-magnitudes.fits"), catalog_file(true, {{0, 0, 5.0f}}, false));
  write_file(dir.file("text.fits"), std::string(5760, 'x'));
  struct Case {
    std::string name;
    std::string error;
  } cases[] = {
      {"absent.fits", ": No such file or directory"},
      {"", ": not a regular file"},  // the directory
      {"no-magnitudes.fits", ": not a star catalog (an astrometry.net index file): no column MAG_VT"},
      {"text.fits", ": not a star catalog (an astrometry.net index file): no table kdtree_data_stars"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(open_catalog(dir.file(c.name), &error), nullptr) << c.name;
    EXPECT_EQ(error, dir.file(c.name) + c.error);
  }
}

// The light a frame holds above the bias, summed over its pixels, with the
// star at the sensor's centre.
double frame_light(const std::shared_ptr<const StarCatalog>& catalog, uint16_t bin, uint16_t flags) {
  ModelConfig config;
  config.sensor = test_sensor();
  config.sky.read_noise = 0.0;
  config.sky.dark_current = 0.0;
  config.sky.hot_pixels = 0;
  config.real_sky.catalog = catalog;
  config.real_sky.pointing = {0, 0, 1000.0, 0};
  CameraModel model(config);
  EXPECT_EQ(model.write(test::expose_bytes(1000, 800, bin, 10000, 0, 0, flags)), 28);
  EXPECT_EQ(test::model_piece(model, 8).size(), 8u);
  double light = 0.0;
  const std::size_t row = 1000u / bin * 2u;
  for (unsigned r = 0; r < 800u / bin; ++r) {
    const test::Bytes bytes = test::model_piece(model, row);
    EXPECT_EQ(bytes.size(), row);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) light += (bytes[i] | bytes[i + 1] << 8) - 1000.0;
  }
  return light;
}

TEST(RealSkyTest, AStarGivesItsMagnitudesLightBinnedOrNot) {
  // Magnitude 5.5 at the zero point 13.5: 10^3.2 counts per second, 10 s.
  TempDir dir;
  write_file(dir.file("index.fits"), catalog_file(true, {{0, 0, 5.5f}}));
  std::string error;
  const auto catalog = open_catalog(dir.file("index.fits"), &error);
  ASSERT_NE(catalog, nullptr) << error;
  const double expected = std::pow(10.0, 3.2) * 10.0;
  // Rounding each pixel to whole counts loses the faintest wings.
  EXPECT_NEAR(frame_light(catalog, 1, 0), expected, expected * 0.005);
  EXPECT_NEAR(frame_light(catalog, 2, 0), expected, expected * 0.005);
  EXPECT_EQ(frame_light(catalog, 1, EXPOSE_DARK), 0.0);
}

// The rows of one exposure of the real sky around (0, 0), as bytes.
std::vector<test::Bytes> real_sky_rows(const std::shared_ptr<const StarCatalog>& catalog, uint16_t x, uint16_t y,
                                       uint16_t width, uint16_t height) {
  ModelConfig config;
  config.sensor = test_sensor();
  config.real_sky.catalog = catalog;
  config.real_sky.pointing = {0, 0, 1000.0, 0};
  CameraModel model(config);
  EXPECT_EQ(model.write(test::expose_bytes(width, height, 1, 10000, x, y)), 28);
  EXPECT_EQ(test::model_piece(model, 8).size(), 8u);
  std::vector<test::Bytes> rows;
  for (unsigned r = 0; r < height; ++r) rows.push_back(test::model_piece(model, width * 2u));
  return rows;
}

TEST(RealSkyTest, AWindowMatchesTheFullFrameWithTheLightOfStarsJustOutside) {
  // Stars 2 pixels left of the window, 3 rows above it, and inside it.
  TempDir dir;
  write_file(dir.file("index.fits"),
             catalog_file(true, {{deg_atan(202e-5), 0, 6.0f}, {0, deg_atan(23e-5), 6.0f}, {0, 0, 7.0f}}));
  std::string error;
  const auto catalog = open_catalog(dir.file("index.fits"), &error);
  ASSERT_NE(catalog, nullptr) << error;
  const auto full = real_sky_rows(catalog, 0, 0, 1000, 800);
  const auto window = real_sky_rows(catalog, 300, 380, 240, 40);
  for (std::size_t y = 0; y < window.size(); ++y) {
    const test::Bytes expected(full[380 + y].begin() + 600, full[380 + y].begin() + 600 + 480);
    ASSERT_EQ(window[y], expected) << "row " << y;
  }
  // The stars outside do reach it: about 150 and 35 counts over the bias.
  EXPECT_GT(window[20][0] | window[20][1] << 8, 1100);
  EXPECT_GT(window[0][2 * 200] | window[0][2 * 200 + 1] << 8, 1020);
}

}  // namespace
}  // namespace ccdsim
