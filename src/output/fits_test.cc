#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "output/output.h"
#include "tests/support/writer_test_support.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::ChildResult;
using testing_support::read_file;
using testing_support::TempDir;
using writer_test::Shot;
using writer_test::Writer;

constexpr const char* FITS_FAILED = "\nFITS image write failed!\n";

// One header card: the text, blank-filled to 80 columns.
std::string card(const std::string& text) {
  std::string result = text;
  result.resize(FITS_CARD_SIZE, ' ');
  return result;
}

// A value card: keyword in 8 columns, "= ", the value right-justified in 20.
std::string value_card(const std::string& keyword, const std::string& value) {
  std::string text = keyword;
  text.resize(8, ' ');
  text += "= ";
  text += std::string(value.size() < 20 ? 20 - value.size() : 0, ' ') + value;
  return card(text);
}

struct HeaderValues {
  std::string naxis1, naxis2, datamax, xpixsz, ypixsz, date, exposure;
};

// The whole header block the writer should produce, card by card.
std::string expected_header(const HeaderValues& v) {
  std::string block = card("SIMPLE  =                    T");
  block += value_card("BITPIX", "16");
  block += value_card("NAXIS", "2");
  block += value_card("NAXIS1", v.naxis1);
  block += value_card("NAXIS2", v.naxis2);
  block += value_card("BZERO", "32768.000000");
  block += value_card("BSCALE", "1.000000");
  block += value_card("DATAMIN", "0");
  block += value_card("DATAMAX", v.datamax);
  block += value_card("XPIXSZ", v.xpixsz);
  block += value_card("YPIXSZ", v.ypixsz);
  block += card("DATE-OBS= '" + v.date + "'");
  block += value_card("EXPOSURE", v.exposure);
  block += card("END");
  block.resize(FITS_BLOCK_SIZE, ' ');
  return block;
}

// Sets TZ for the life of the object.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

struct HeaderCase {
  const char* name;
  const char* zone;
  int32_t width, height, x_bin, y_bin, depth;
  float pixel_width, pixel_height;
  uint32_t exposure_ms;
  HeaderValues expected;
};

TEST(FitsTest, HeaderBlockIsExactlyTheFourteenCards) {
  const HeaderCase cases[] = {
      {"36x40, 5 ms, UTC", "UTC", 36, 40, 1, 1, 16, 6.45f, 6.45f, 5,
       {"36", "40", "65535", "6.450000", "6.450000", "1993-06-30T21:49:08", "0.005000"}},
      {"width 1001 binned by 2, depth 12, 1500 ms", "UTC", 1001, 100, 2, 1, 12, 6.45f, 6.45f, 1500,
       {"500", "100", "4095", "12.900000", "6.450000", "1993-06-30T21:49:08", "1.500000"}},
      {"depth 8, 4x3 binning, longest count", "UTC", 17, 10, 4, 3, 8, 9.0f, 7.4f, 4294967295u,
       {"4", "3", "255", "36.000000", "22.200001", "1993-06-30T21:49:08", "4294967.295000"}},
      {"UTC nine hours east too", "JST-9", 1, 1, 1, 1, 16, 5.0f, 5.0f, 1000,
       {"1", "1", "65535", "5.000000", "5.000000", "1993-06-30T21:49:08", "1.000000"}},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TimeZone zone(c.zone);
    CameraInfo camera = make_camera_info();
    camera.pixel_width = c.pixel_width;
    camera.pixel_height = c.pixel_height;
    ExposureRequest request = make_exposure_request(&camera);
    request.width = c.width;
    request.height = c.height;
    request.x_bin = c.x_bin;
    request.y_bin = c.y_bin;
    request.depth = c.depth;
    request.exposure_ms = c.exposure_ms;
    request.start_time = 741476948;
    std::array<char, FITS_BLOCK_SIZE> block;
    block.fill('\0');
    format_fits_header(request, block);
    EXPECT_EQ(std::string(block.data(), block.size()), expected_header(c.expected));
  }
}

// A row buffer laid out as the readout lends it: guard words on both sides.
struct RowCase {
  const char* name;
  std::vector<uint8_t> row;       // as the camera link delivers it
  std::vector<uint8_t> expected;  // as it must reach the file
};

std::vector<uint8_t> little_endian(const std::vector<uint16_t>& samples) {
  std::vector<uint8_t> bytes;
  for (uint16_t s : samples) {
    bytes.push_back(static_cast<uint8_t>(s & 0xFF));
    bytes.push_back(static_cast<uint8_t>(s >> 8));
  }
  return bytes;
}

TEST(FitsTest, RowSinkMirrorsOffsetsAndStoresBigEndian) {
  const RowCase cases[] = {
      {"1, 2, 3", little_endian({1, 2, 3}), {0x80, 0x03, 0x80, 0x02, 0x80, 0x01}},
      {"even count", little_endian({1, 2}), {0x80, 0x02, 0x80, 0x01}},
      {"single pixel", little_endian({0x1234}), {0x92, 0x34}},
      {"five pixels keep the middle one", little_endian({10, 20, 0x0A0B, 40, 50}),
       {0x80, 0x32, 0x80, 0x28, 0x8A, 0x0B, 0x80, 0x14, 0x80, 0x0A}},
      {"extremes", little_endian({0, 65535, 32768, 0x00FF}), {0x80, 0xFF, 0x00, 0x00, 0x7F, 0xFF, 0x80, 0x00}},
      {"odd byte count leaves the last byte", {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0xAB},
       {0x80, 0x03, 0x80, 0x02, 0x80, 0x01, 0xAB}},
      {"a lone byte", {0xAB}, {0xAB}},
  };
  for (const RowCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    int fd = open(dir.file("row").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    // Two guard words (0xEEEE) on either side of the row.
    std::vector<uint16_t> words(2 + (c.row.size() + 1) / 2 + 2, 0xEEEE);
    auto* bytes = reinterpret_cast<uint8_t*>(words.data() + 2);
    std::copy(c.row.begin(), c.row.end(), bytes);
    const std::size_t row_end = 4 + c.row.size();  // byte offset just past the row
    const std::vector<uint8_t> after(reinterpret_cast<uint8_t*>(words.data()) + row_end,
                                     reinterpret_cast<uint8_t*>(words.data() + words.size()));
    ExposureRequest request{};
    request.row_bytes = static_cast<int32_t>(c.row.size());
    EXPECT_EQ(fits_row_sink(&fd, &request, words.data() + 2), 0);
    close(fd);
    const std::string file = read_file(dir.file("row"));
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.end()), c.expected);
    EXPECT_EQ(words[0], 0xEEEE);
    EXPECT_EQ(words[1], 0xEEEE);
    EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(words.data()) + row_end,
                                   reinterpret_cast<uint8_t*>(words.data() + words.size())),
              after);
  }
}

TEST(FitsTest, RowSinkMirrorsLongRowsWhole) {
  // Lengths around the blocks the conversion works in, and a sensor row:
  // every pixel lands mirrored, offset and big-endian, none twice.
  for (std::size_t n : {7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 1392u}) {
    SCOPED_TRACE("pixels " + std::to_string(n));
    std::vector<uint16_t> samples(n);
    for (std::size_t i = 0; i < n; ++i) samples[i] = static_cast<uint16_t>(i * 40503u + 0x0102u);
    std::vector<uint8_t> expected;
    for (std::size_t i = n; i-- > 0;) {
      const auto word = static_cast<uint16_t>(samples[i] ^ 0x8000u);
      expected.push_back(static_cast<uint8_t>(word >> 8));
      expected.push_back(static_cast<uint8_t>(word & 0xFF));
    }
    const std::vector<uint8_t> row = little_endian(samples);
    std::vector<uint16_t> words(1 + n + 1, 0xEEEE);
    std::copy(row.begin(), row.end(), reinterpret_cast<uint8_t*>(words.data() + 1));
    TempDir dir;
    int fd = open(dir.file("row").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ExposureRequest request{};
    request.row_bytes = static_cast<int32_t>(row.size());
    EXPECT_EQ(fits_row_sink(&fd, &request, words.data() + 1), 0);
    close(fd);
    const std::string file = read_file(dir.file("row"));
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.end()), expected);
    EXPECT_EQ(words.front(), 0xEEEE);
    EXPECT_EQ(words.back(), 0xEEEE);
  }
}

TEST(FitsTest, RowSinkReportsAFailedWrite) {
  ExposureRequest request{};
  request.row_bytes = 4;
  std::array<uint16_t, 2> row{1, 2};
  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  EXPECT_EQ(fits_row_sink(&full, &request, row.data()), 1);
  close(full);
  TempDir dir;
  testing_support::write_file(dir.file("ro"), "");
  int read_only = open(dir.file("ro").c_str(), O_RDONLY);
  ASSERT_GE(read_only, 0);
  EXPECT_EQ(fits_row_sink(&read_only, &request, row.data()), 1);
  close(read_only);
}

// The bytes of a complete file from the shot, with the header the test gives.
std::string expected_file(const Shot& shot, const HeaderValues& header) {
  std::string file = expected_header(header);
  for (uint32_t row = 0; row < shot.rows(); ++row) {
    for (uint32_t column = shot.columns(); column-- > 0;) {
      const auto word = static_cast<uint16_t>(writer_test::camera_pixel(shot, column, row) ^ 0x8000);
      file += static_cast<char>(word >> 8);
      file += static_cast<char>(word & 0xFF);
    }
  }
  const std::size_t data = file.size() - FITS_BLOCK_SIZE;
  if (data % FITS_BLOCK_SIZE != 0) file.append(FITS_BLOCK_SIZE - data % FITS_BLOCK_SIZE, '\0');
  return file;
}

// Why astropy and fitsverify cannot check the files ("" when they can).
std::string fits_readers_missing() {
  return writer_test::checker_missing({"numpy", "astropy.io.fits"}, {"fitsverify"});
}

// Opens the file with astropy (pixel for pixel, as unsigned values) and runs
// fitsverify, which must find nothing.
void expect_readers_accept(const std::string& path, const Shot& shot) {
  const ChildResult result = writer_test::run_checker("check_fits.py", path, shot);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(result.out, "ok\n") << result.err;
}

struct FileCase {
  const char* name;
  Shot shot;
  HeaderValues header;
  std::size_t file_size;
};

Shot make_shot(uint16_t sensor_width, uint16_t sensor_height, int32_t width, int32_t height, int32_t x_bin,
               int32_t y_bin, uint32_t exposure_ms, int32_t x_origin = 0, int32_t y_origin = 0, int32_t depth = 16) {
  Shot shot;
  shot.sensor_width = sensor_width;
  shot.sensor_height = sensor_height;
  shot.width = width;
  shot.height = height;
  shot.x_bin = x_bin;
  shot.y_bin = y_bin;
  shot.exposure_ms = exposure_ms;
  shot.x_origin = x_origin;
  shot.y_origin = y_origin;
  shot.depth = depth;
  return shot;
}

TEST(FitsTest, WholeFileFromTheCamera) {
  const FileCase cases[] = {
      {"36x40: data fills its blocks, no fill", make_shot(36, 40, 36, 40, 1, 1, 5),
       {"36", "40", "65535", "6.400000", "6.400000", "1993-06-30T21:49:08", "0.005000"}, 2880 + 2880},
      {"100x100: 160 bytes of fill", make_shot(120, 110, 100, 100, 1, 1, 1500, 7, 3),
       {"100", "100", "65535", "6.400000", "6.400000", "1993-06-30T21:49:08", "1.500000"}, 23040},
      {"width 1001 binned by 2 drops the remainder", make_shot(1100, 8, 1001, 8, 2, 1, 5),
       {"500", "8", "65535", "12.800000", "6.400000", "1993-06-30T21:49:08", "0.005000"}, 2880 * 4},
      {"odd rows, 2x3 binning, depth 12", make_shot(40, 40, 15, 31, 2, 3, 250, 1, 2, 12),
       {"7", "10", "4095", "12.800000", "19.200001", "1993-06-30T21:49:08", "0.250000"}, 2880 * 2},
      {"single-pixel rows", make_shot(10, 10, 1, 5, 1, 1, 2, 9, 0),
       {"1", "5", "65535", "6.400000", "6.400000", "1993-06-30T21:49:08", "0.002000"}, 2880 * 2},
  };
  const std::string readers_missing = fits_readers_missing();
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("image.fits");
    testing_support::ChildOptions options;
    options.env = {"TZ=UTC"};
    const ChildResult result = writer_test::write_shot(Writer::Fits, c.shot, path, options);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
    const std::string file = read_file(path);
    EXPECT_EQ(file.size(), c.file_size);
    const std::string expected = expected_file(c.shot, c.header);
    EXPECT_EQ(file.substr(0, FITS_BLOCK_SIZE), expected.substr(0, FITS_BLOCK_SIZE));
    EXPECT_TRUE(file == expected) << "the data differ from byte "
                                  << std::mismatch(file.begin(), file.end(), expected.begin(), expected.end())
                                             .first -
                                         file.begin();
    EXPECT_EQ(file.substr(0, FITS_BLOCK_SIZE).find('\0'), std::string::npos);
    if (readers_missing.empty()) expect_readers_accept(path, c.shot);
  }
  if (!readers_missing.empty()) GTEST_SKIP() << "FITS readers not available: " << readers_missing;
}

TEST(FitsTest, DebugLevelAddsTheStatisticsLine) {
  Shot shot = make_shot(8, 2, 3, 2, 1, 1, 0);
  shot.pixel = [](const ccdsim::FrameContext&, uint32_t column, uint32_t row) -> uint32_t {
    static const uint32_t values[2][3] = {{5, 9, 3}, {7, 7, 1}};
    return values[row][column];
  };
  TempDir dir;
  const ChildResult result =
      writer_test::write_shot(Writer::Fits, shot, dir.file("s.fits"), {}, [] { debug_level = 1; });
  ASSERT_EQ(result.status, 0) << result.err;
  // Means 5 and 5; filtered max 7 (the 9 stands above both neighbours).
  EXPECT_EQ(result.out, "( 1 Min / 5 Avg / 9 Max / 7 FilteredMax ) A/D counts\n");
  const std::string file = read_file(dir.file("s.fits"));
  ASSERT_EQ(file.size(), 2880u * 2);
  EXPECT_EQ(file.substr(2880, 12), std::string("\x80\x03\x80\x09\x80\x05\x80\x01\x80\x07\x80\x07", 12));
  const std::string missing = fits_readers_missing();
  if (!missing.empty()) GTEST_SKIP() << "FITS readers not available: " << missing;
  const ChildResult check =
      writer_test::run_checker("check_fits.py", dir.file("s.fits"), shot, {"--pixels=5,9,3,7,7,1"});
  EXPECT_EQ(check.out, "ok\n") << check.err;
}

// How a failing case arranges its failure, in the child.
struct FailureCase {
  const char* name;
  Shot shot;
  std::string path;  // "" for a file in a temporary directory
  rlim_t file_size_limit;  // 0 for none
  std::string expected_err;
  std::size_t expected_size;  // size of the partial file left behind
};

void limit_file_size(rlim_t limit) {
  signal(SIGXFSZ, SIG_IGN);
  const rlimit rl{limit, limit};
  setrlimit(RLIMIT_FSIZE, &rl);
}

TEST(FitsTest, EveryWriteFailureEndsWithStatusTwo) {
  Shot ten = make_shot(100, 100, 100, 100, 1, 1, 5);
  Shot failing_row = ten;
  failing_row.faults.fail_row = 4;
  Shot short_row = ten;
  short_row.faults.truncate_row = 2;
  Shot bad_header = ten;
  bad_header.faults.image_length_offset = 1;
  const FailureCase cases[] = {
      {"header to a full device", ten, "/dev/full", 0, FITS_FAILED, 0},
      {"header written short", ten, "", 1000, FITS_FAILED, 1000},
      {"a row that cannot be written", ten, "", 2880, FITS_FAILED, 2880},
      {"a row written short", ten, "", 2880 + 150, FITS_FAILED, 2880 + 150},
      {"the fill that cannot be written", ten, "", 2880 + 20000, FITS_FAILED, 2880 + 20000},
      {"a failing row read", failing_row, "", 0, std::string("Failure while reading image!") + FITS_FAILED,
       2880 + 3 * 200},
      {"a truncated row", short_row, "", 0, std::string("Truncated image read!") + FITS_FAILED, 2880 + 200},
      {"an image header of the wrong size", bad_header, "", 0,
       std::string("Image size discrepency! Read 20009, expected 20008\n") + FITS_FAILED, 2880},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = c.path.empty() ? dir.file("image.fits") : c.path;
    const rlim_t limit = c.file_size_limit;
    const ChildResult result = writer_test::write_shot(Writer::Fits, c.shot, path, {}, [limit] {
      if (limit != 0) limit_file_size(limit);
    });
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, c.expected_err);
    EXPECT_EQ(result.out, "");
    if (c.path.empty()) {
      const std::string file = read_file(path);
      EXPECT_EQ(file.size(), c.expected_size);
      EXPECT_EQ(file.substr(0, 30), "SIMPLE  =                    T");
    }
  }
}

TEST(FitsTest, AFailingCloseEndsWithStatusTwo) {
  writer_test::FailingCloseFs fs;
  if (!fs.mounted()) GTEST_SKIP() << "no file system whose close fails: " << fs.reason();
  const Shot shot = make_shot(100, 100, 100, 100, 1, 1, 5);
  const ChildResult result = writer_test::write_shot(Writer::Fits, shot, fs.file("image.fits"));
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, FITS_FAILED);
  // Everything was written before the close failed.
  EXPECT_EQ(fs.bytes_written(), 23040u);
}

}  // namespace
