#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "options/options.h"
#include "output/output.h"
#include "tests/support/writer_test_support.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::ChildOptions;
using testing_support::ChildResult;
using testing_support::TempDir;
using writer_test::Shot;
using writer_test::Writer;

constexpr const char* TIFF_FAILED = "\nTIFF image write failed!\n";
// The tags of a file written with no TIFF_* variable: ours and libtiff's own.
constexpr const char* BASE_TAGS = "256,257,258,259,262,270,272,273,277,278,279,284,306";
constexpr const char* LEGACY_DEFLATE_WARNING =
    "TIFFWriteDirectorySec: Warning, Creating TIFF with legacy Deflate codec identifier, "
    "COMPRESSION_ADOBE_DEFLATE is more widely supported.\n";

Shot make_shot(uint16_t width, uint16_t height, int32_t x_bin = 1, int32_t y_bin = 1, uint32_t exposure_ms = 5) {
  Shot shot;
  shot.sensor_width = width;
  shot.sensor_height = height;
  shot.x_bin = x_bin;
  shot.y_bin = y_bin;
  shot.exposure_ms = exposure_ms;
  return shot;
}

// What libtiff reads back from a file.
struct TiffFacts {
  bool opened = false;
  uint32_t width = 0, length = 0, rows_per_strip = 0, strips = 0;
  uint64_t last_strip_bytes = 0;
  std::vector<uint64_t> strip_bytes;
  uint16_t bits = 0, samples = 0, photometric = 0, planar = 0, compression = 0;
  std::optional<uint16_t> predictor, orientation;
  std::map<int, std::string> text;  // the ASCII tags present
  std::vector<uint16_t> pixels;     // every row, as stored
  bool rows_readable = true;
};

TiffFacts read_tiff(const std::string& path) {
  TiffFacts facts;
  // "c": the strips as stored, not cut into smaller ones for reading.
  TIFF* tiff = TIFFOpen(path.c_str(), "rc");
  if (tiff == nullptr) return facts;
  facts.opened = true;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &facts.width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &facts.length);
  TIFFGetField(tiff, TIFFTAG_ROWSPERSTRIP, &facts.rows_per_strip);
  TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &facts.bits);
  TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &facts.samples);
  TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &facts.photometric);
  TIFFGetField(tiff, TIFFTAG_PLANARCONFIG, &facts.planar);
  TIFFGetField(tiff, TIFFTAG_COMPRESSION, &facts.compression);
  uint16_t value = 0;
  if (TIFFGetField(tiff, TIFFTAG_PREDICTOR, &value) == 1) facts.predictor = value;
  if (TIFFGetField(tiff, TIFFTAG_ORIENTATION, &value) == 1) facts.orientation = value;
  facts.strips = TIFFNumberOfStrips(tiff);
  uint64_t* counts = nullptr;
  if (facts.strips > 0 && TIFFGetField(tiff, TIFFTAG_STRIPBYTECOUNTS, &counts) == 1) {
    facts.last_strip_bytes = counts[facts.strips - 1];
    facts.strip_bytes.assign(counts, counts + facts.strips);
  }
  for (int tag : {270, 271, 272, 305, 306, 315, 316}) {
    const char* text = nullptr;
    if (TIFFGetField(tiff, static_cast<uint32_t>(tag), &text) == 1 && text != nullptr) facts.text[tag] = text;
  }
  std::vector<uint16_t> row(facts.width);
  for (uint32_t r = 0; r < facts.length && facts.bits == 16; ++r) {
    if (TIFFReadScanline(tiff, row.data(), r, 0) != 1) {
      facts.rows_readable = false;
      break;
    }
    facts.pixels.insert(facts.pixels.end(), row.begin(), row.end());
  }
  TIFFClose(tiff);
  return facts;
}

// The camera's pixels, rows as read (the TIFF file keeps them so).
std::vector<uint16_t> camera_image(const Shot& shot) {
  std::vector<uint16_t> pixels;
  for (uint32_t row = 0; row < shot.rows(); ++row) {
    for (uint32_t column = 0; column < shot.columns(); ++column) {
      pixels.push_back(writer_test::camera_pixel(shot, column, row));
    }
  }
  return pixels;
}

// The fixed tags and the pixels of every complete file.
void expect_image(const TiffFacts& facts, const Shot& shot) {
  ASSERT_TRUE(facts.opened);
  EXPECT_EQ(facts.width, shot.columns());
  EXPECT_EQ(facts.length, shot.rows());
  EXPECT_EQ(facts.bits, 16);
  EXPECT_EQ(facts.samples, 1);
  EXPECT_EQ(facts.photometric, PHOTOMETRIC_MINISBLACK);
  EXPECT_EQ(facts.planar, PLANARCONFIG_CONTIG);
  ASSERT_EQ(facts.text.count(272), 1u);
  EXPECT_EQ(facts.text.at(272), "CCDSIM");
  EXPECT_TRUE(facts.rows_readable);
  EXPECT_TRUE(facts.pixels == camera_image(shot)) << "the pixels differ from what the camera sent";
}

std::string tiff_readers_missing() {
  return writer_test::checker_missing({"numpy", "PIL.Image"}, {"tiffinfo", "tiffdump"});
}

// tiffdump (the tag set and values), tiffinfo -D and Pillow (pixel for pixel).
void expect_readers_accept(const std::string& path, const Shot& shot, const std::string& tags,
                           const std::vector<std::string>& expect = {}) {
  std::vector<std::string> extra = {"--tags=" + tags};
  for (const auto& e : expect) extra.push_back("--expect=" + e);
  const ChildResult result = writer_test::run_checker("check_tiff.py", path, shot, extra);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(result.out, "ok\n") << result.err;
}

TEST(TiffTest, StripLayoutHoldsAbout64KiB) {
  struct Case {
    uint32_t width, height;
    long strips, rows_per_strip;
  };
  const Case cases[] = {
      {512, 512, 8, 64},   {640, 480, 9, 53}, {100, 100, 1, 100}, {1, 1, 1, 1},
      {8192, 8192, 2048, 4}, {65535, 1, 1, 1},
      // 4 GiB and more: no wrap-around to a single strip of the whole image.
      {65535, 32769, 65536, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const TiffStripLayout layout = tiff_strip_layout(c.width, c.height);
    EXPECT_EQ(layout.strips, c.strips);
    EXPECT_EQ(layout.rows_per_strip, c.rows_per_strip);
  }
}

TEST(TiffTest, DescriptionTellsExposureAndBinning) {
  const std::string long_comment = std::string(1799, 'c') + "XYZ" + std::string(698, 'd');  // 2500
  struct Case {
    const char* name;
    int32_t x_bin, y_bin;
    uint32_t exposure_ms;
    const char* comment;
    std::string expected;
  };
  const Case cases[] = {
      {"2x2", 2, 2, 1500, nullptr, "Exposed 1.5 seconds with 2x2 binning"},
      {"1x2 tells no binning", 1, 2, 1500, nullptr, "Exposed 1.5 seconds "},
      {"2x1", 2, 1, 1500, nullptr, "Exposed 1.5 seconds with 2x1 binning"},
      {"4x3", 4, 3, 5, nullptr, "Exposed 0.005 seconds with 4x3 binning"},
      {"longest exposure", 1, 1, 2147483647u, nullptr, "Exposed 2.14748e+06 seconds "},
      {"largest count", 1, 1, 4294967295u, nullptr, "Exposed 4.29497e+06 seconds "},
      {"empty comment", 1, 1, 1500, "", "\nExposed 1.5 seconds "},
      {"comment", 3, 3, 100, "M42, clear night", "M42, clear night\nExposed 0.1 seconds with 3x3 binning"},
      {"2500-character comment", 1, 1, 1500, long_comment.c_str(),
       std::string(1799, 'c') + "X\nExposed 1.5 seconds "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CameraInfo camera = make_camera_info();
    ExposureRequest request = make_exposure_request(&camera);
    request.x_bin = c.x_bin;
    request.y_bin = c.y_bin;
    request.exposure_ms = c.exposure_ms;
    std::array<char, TIFF_DESCRIPTION_SIZE> text;
    text.fill('#');
    format_tiff_description(text, c.comment, request);
    EXPECT_EQ(std::string(text.data()), c.expected);
  }
}

TEST(TiffTest, StripsOfTheFileAndTheDebugLine) {
  struct Case {
    Shot shot;
    std::string line;
    uint32_t rows_per_strip, strips;
    uint64_t last_strip_bytes;
  };
  const Case cases[] = {
      {make_shot(512, 512), "(512x512) TIFF image in 8 strips with 64 rows/strip\n", 64, 8, 64 * 1024},
      {make_shot(640, 480), "(640x480) TIFF image in 9 strips with 53 rows/strip\n", 53, 10, 3 * 1280},
      {make_shot(100, 100), "(100x100) TIFF image in 1 strips with 100 rows/strip\n", 100, 1, 20000},
  };
  const std::string missing = tiff_readers_missing();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TempDir dir;
    const std::string path = dir.file("image.tif");
    const ChildResult result = writer_test::write_shot(Writer::Tiff, c.shot, path, writer_test::tiff_environment(),
                                                       [] { debug_level = 2; });
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, c.line + writer_test::statistics_line(c.shot));
    const TiffFacts facts = read_tiff(path);
    expect_image(facts, c.shot);
    EXPECT_EQ(facts.rows_per_strip, c.rows_per_strip);
    EXPECT_EQ(facts.strips, c.strips);
    EXPECT_EQ(facts.last_strip_bytes, c.last_strip_bytes);
    if (missing.empty()) expect_readers_accept(path, c.shot, BASE_TAGS, {"278=" + std::to_string(c.rows_per_strip)});
  }
  // Below debug level 2 the strip line is not printed.
  TempDir dir;
  const Shot shot = make_shot(100, 100);
  const ChildResult quiet = writer_test::write_shot(Writer::Tiff, shot, dir.file("q.tif"),
                                                    writer_test::tiff_environment(), [] { debug_level = 1; });
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, writer_test::statistics_line(shot));
  if (!missing.empty()) GTEST_SKIP() << "TIFF readers not available: " << missing;
}

struct EnvironmentCase {
  const char* name;
  std::vector<std::string> env;
  std::string tags;                   // the tag numbers of the file
  std::vector<std::string> values;    // TAG=VALUE as tiffdump shows them
  uint16_t compression;
  std::map<int, std::string> text;    // the optional text tags present
  std::optional<uint16_t> predictor;
  std::optional<uint16_t> orientation;
  std::string err;                    // with "@" standing for the file name
};

std::string with_path(const std::string& text, const std::string& path) {
  std::string result;
  for (char c : text) {
    if (c == '@') {
      result += path;
    } else {
      result += c;
    }
  }
  return result;
}

TEST(TiffTest, EnvironmentVariablesFillTheirTags) {
  const std::string base = BASE_TAGS;
  const EnvironmentCase cases[] = {
      {"none set", {}, base, {"259=1"}, COMPRESSION_NONE, {}, {}, {}, ""},
      {"compression abc", {"TIFF_COMPRESSION=abc"}, base, {"259=1"}, COMPRESSION_NONE, {}, {}, {}, ""},
      {"compression 0", {"TIFF_COMPRESSION=0"}, base, {"259=1"}, COMPRESSION_NONE, {}, {}, {}, ""},
      {"compression empty", {"TIFF_COMPRESSION="}, base, {"259=1"}, COMPRESSION_NONE, {}, {}, {}, ""},
      {"compression 5x is LZW", {"TIFF_COMPRESSION=5x"}, base, {"259=5"}, COMPRESSION_LZW, {}, {}, {}, ""},
      {"compression 32946 is Deflate", {"TIFF_COMPRESSION=32946"}, base, {"259=32946"}, COMPRESSION_DEFLATE, {}, {},
       {}, LEGACY_DEFLATE_WARNING},
      {"blanks and a sign", {"TIFF_COMPRESSION=  +8"}, base, {"259=8"}, COMPRESSION_ADOBE_DEFLATE, {}, {}, {}, ""},
      {"compression 32773 is PackBits", {"TIFF_COMPRESSION=32773"}, base, {"259=32773"}, COMPRESSION_PACKBITS, {},
       {}, {}, ""},
      {"JBIG refused: it stores one bit a sample", {"TIFF_COMPRESSION=34661"}, base, {"259=1"}, COMPRESSION_NONE, {},
       {}, {}, "Compression 34661 cannot hold 16-bit samples; the image is written uncompressed\n"
               "Error while setting TIFF tag #259\n"},
      {"PixarLog refused, 65536 + 32909 cut to 16 bits", {"TIFF_COMPRESSION=98445"}, base, {"259=1"},
       COMPRESSION_NONE, {}, {}, {}, "Compression 98445 cannot hold 16-bit samples; the image is written uncompressed\n"
                                   "Error while setting TIFF tag #259\n"},
      // Taken as tags by libtiff, then not encodable: refused before the
      // first row, the image written without them.
      {"no codec for 99", {"TIFF_COMPRESSION=99"}, base, {"259=1"}, COMPRESSION_NONE, {}, {}, {},
       "@: Compression scheme 99 strip encoding is not implemented.\nError while setting TIFF tag #259\n"},
      {"JPEG takes no 16-bit samples", {"TIFF_COMPRESSION=7"}, base, {"259=1"}, COMPRESSION_NONE, {}, {}, {},
       "JPEGSetupEncode: BitsPerSample 16 not allowed for JPEG.\nError while setting TIFF tag #259\n"},
      {"NeXT stores nothing", {"TIFF_COMPRESSION=32766"}, base, {"259=1"}, COMPRESSION_NONE, {}, {}, {},
       "@: NeXT strip encoding is not implemented.\nError while setting TIFF tag #259\n"},
      {"floating-point predictor with Deflate", {"TIFF_COMPRESSION=8", "TIFF_PREDICTOR=3"}, base, {"259=8"},
       COMPRESSION_ADOBE_DEFLATE, {}, {}, {},
       "PredictorSetup: Floating point \"Predictor\" not supported with 1 data format.\n"
       "Error while setting TIFF tag #317\n"},
      {"empty make", {"TIFF_MAKE="}, base + ",271", {"271=\\0"}, COMPRESSION_NONE, {{271, ""}}, {}, {}, ""},
      {"text tags",
       {"TIFF_ARTIST=A. Observer", "TIFF_HOST=scope-pc", "TIFF_SOFTWARE=capture 2", "TIFF_MAKE=Acme"},
       base + ",271,305,315,316",
       {"271=Acme\\0", "305=capture 2\\0", "315=A. Observer\\0", "316=scope-pc\\0"},
       COMPRESSION_NONE,
       {{271, "Acme"}, {305, "capture 2"}, {315, "A. Observer"}, {316, "scope-pc"}},
       {},
       {},
       ""},
      {"predictor 2 with LZW", {"TIFF_COMPRESSION=5", "TIFF_PREDICTOR=2"}, base + ",317", {"259=5", "317=2"},
       COMPRESSION_LZW, {}, 2, {}, ""},
      {"predictor 2 with Deflate", {"TIFF_COMPRESSION=32946", "TIFF_PREDICTOR=2"}, base + ",317",
       {"259=32946", "317=2"}, COMPRESSION_DEFLATE, {}, 2, {}, LEGACY_DEFLATE_WARNING},
      {"predictor 2 with Deflate 8", {"TIFF_COMPRESSION=8", "TIFF_PREDICTOR=2"}, base + ",317", {"259=8", "317=2"},
       COMPRESSION_ADOBE_DEFLATE, {}, 2, {}, ""},
      {"predictor 2 with LZMA", {"TIFF_COMPRESSION=34925", "TIFF_PREDICTOR=2"}, base + ",317",
       {"259=34925", "317=2"}, COMPRESSION_LZMA, {}, 2, {}, ""},
      {"predictor refused without compression", {"TIFF_PREDICTOR=2"}, base, {"259=1"}, COMPRESSION_NONE, {}, {}, {},
       "TIFFSetField: @: Unknown tag 317.\nError while setting TIFF tag #317\n"},
      {"orientation 3", {"TIFF_ORIENTATION=3"}, base + ",274", {"274=3"}, COMPRESSION_NONE, {}, {}, 3, ""},
      {"orientation 9 refused", {"TIFF_ORIENTATION=9"}, base, {}, COMPRESSION_NONE, {}, {}, {},
       "_TIFFVSetField: @: Bad value 9 for \"Orientation\" tag.\nError while setting TIFF tag #274\n"},
  };
  // Strips of 125 rows and a last one of a single row, so that the codecs
  // work across strip boundaries and on a short strip.
  const Shot shot = make_shot(300, 251);
  const std::string missing = tiff_readers_missing();
  for (const EnvironmentCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("image.tif");
    const ChildResult result = writer_test::write_shot(Writer::Tiff, shot, path, writer_test::tiff_environment(c.env));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, with_path(c.err, path));
    EXPECT_EQ(result.out, "");
    TiffFacts facts = read_tiff(path);
    expect_image(facts, shot);
    EXPECT_EQ(facts.rows_per_strip, 125u);
    EXPECT_EQ(facts.strips, 3u);
    EXPECT_EQ(facts.compression, c.compression);
    EXPECT_EQ(facts.predictor, c.predictor);
    EXPECT_EQ(facts.orientation, c.orientation);
    for (int tag : {271, 305, 315, 316}) {
      const auto expected = c.text.find(tag);
      if (expected == c.text.end()) {
        EXPECT_EQ(facts.text.count(tag), 0u) << "tag " << tag;
      } else {
        EXPECT_EQ(facts.text[tag], expected->second) << "tag " << tag;
      }
    }
    EXPECT_EQ(facts.text[270], "Exposed 0.005 seconds ");
    if (missing.empty()) expect_readers_accept(path, shot, c.tags, c.values);
  }
  if (!missing.empty()) GTEST_SKIP() << "TIFF readers not available: " << missing;
}

TEST(TiffTest, DeflateOptionCompressesEveryRow) {
  const Shot shot = make_shot(512, 512);
  TempDir dir;
  const std::string path = dir.file("deflate.tif");
  const ChildResult result =
      writer_test::write_shot(Writer::Tiff, shot, path, writer_test::tiff_environment(), [path] {
        // The option pass as the driver runs it; it exports TIFF_COMPRESSION.
        std::vector<std::string> words = {"ccdshot", "-tiff=deflate", "1", path};
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        CameraInfo camera = make_camera_info();
        ExposureRequest request = make_exposure_request(&camera);
        reset_settings();
        parse_options(static_cast<int>(words.size()), argv.data(), &camera, &request);
      });
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, LEGACY_DEFLATE_WARNING);
  const TiffFacts facts = read_tiff(path);
  expect_image(facts, shot);
  EXPECT_EQ(facts.compression, COMPRESSION_DEFLATE);
  EXPECT_EQ(facts.strips, 8u);
  const std::string missing = tiff_readers_missing();
  if (!missing.empty()) GTEST_SKIP() << "TIFF readers not available: " << missing;
  expect_readers_accept(path, shot, BASE_TAGS, {"259=32946", "278=64"});
}

TEST(TiffTest, DescriptionIsSetAfterTheRows) {
  const std::string long_comment(2500, 'x');
  struct Case {
    const char* name;
    Shot shot;
    std::vector<std::string> env;
    std::string expected;
  };
  const Case cases[] = {
      {"2x2 binning", make_shot(40, 30, 2, 2, 1500), {}, "Exposed 1.5 seconds with 2x2 binning"},
      {"1x2 binning", make_shot(40, 30, 1, 2, 1500), {}, "Exposed 1.5 seconds "},
      {"2x1 binning", make_shot(40, 30, 2, 1, 1500), {}, "Exposed 1.5 seconds with 2x1 binning"},
      {"longest exposure", make_shot(40, 30, 1, 1, 2147483647u), {}, "Exposed 2.14748e+06 seconds "},
      {"empty comment", make_shot(40, 30), {"TIFF_COMMENT="}, "\nExposed 0.005 seconds "},
      {"2500-character comment", make_shot(40, 30), {"TIFF_COMMENT=" + long_comment},
       std::string(1800, 'x') + "\nExposed 0.005 seconds "},
  };
  const std::string missing = tiff_readers_missing();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("image.tif");
    const ChildResult result = writer_test::write_shot(Writer::Tiff, c.shot, path, writer_test::tiff_environment(c.env));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    TiffFacts facts = read_tiff(path);
    expect_image(facts, c.shot);
    EXPECT_EQ(facts.text[270], c.expected);
    if (missing.empty()) expect_readers_accept(path, c.shot, BASE_TAGS);
  }
  if (!missing.empty()) GTEST_SKIP() << "TIFF readers not available: " << missing;
}

std::string utc_text(time_t when) {
  struct tm broken_down {};
  gmtime_r(&when, &broken_down);
  char text[20];
  std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &broken_down);
  return text;
}

TEST(TiffTest, DateTimeIsTheTimeOfWritingInUtc) {
  const Shot shot = make_shot(16, 16);
  TempDir dir;
  const std::string path = dir.file("image.tif");
  ChildOptions options = writer_test::tiff_environment();
  options.env.push_back("TZ=JST-9");
  const time_t before = time(nullptr);
  const ChildResult result = writer_test::write_shot(Writer::Tiff, shot, path, options);
  const time_t after = time(nullptr);
  ASSERT_EQ(result.status, 0) << result.err;
  TiffFacts facts = read_tiff(path);
  ASSERT_EQ(facts.text.count(306), 1u);
  const std::string written = facts.text[306];
  bool matched = false;
  for (time_t t = before; t <= after; ++t) matched = matched || written == utc_text(t);
  EXPECT_TRUE(matched) << written << " is not UTC between " << utc_text(before) << " and " << utc_text(after);
  // Not the exposure's start time, which the FITS header reports.
  EXPECT_NE(written, utc_text(shot.start_time));
  expect_image(facts, shot);
  const std::string missing = tiff_readers_missing();
  if (!missing.empty()) GTEST_SKIP() << "TIFF readers not available: " << missing;
  expect_readers_accept(path, shot, BASE_TAGS);
}

void limit_file_size(rlim_t limit) {
  signal(SIGXFSZ, SIG_IGN);
  const rlimit rl{limit, limit};
  setrlimit(RLIMIT_FSIZE, &rl);
}

TEST(TiffTest, WriteFailuresEndWithStatusTwo) {
  struct Case {
    const char* name;
    Shot shot;
    std::string path;  // "" for a file in a temporary directory
    std::vector<std::string> env;
    rlim_t file_size_limit;
    std::string err;  // "@" stands for the file name
  };
  Shot failing_row = make_shot(100, 100);
  failing_row.faults.fail_row = 3;
  Shot bad_type = make_shot(100, 100);
  bad_type.faults.image_type = 0x2002;
  Shot eight_bit = make_shot(100, 100);
  eight_bit.bits_per_pixel = 8;
  const Case cases[] = {
      {"no handle on a full device", make_shot(10, 10), "/dev/full", {}, 0,
       std::string("/dev/full: Error writing TIFF header.\n") + TIFF_FAILED},
      // libtiff names the first row of the strip it could not write.
      {"a strip that cannot be written", make_shot(512, 512), "", {}, 4096,
       std::string("TIFFAppendToStrip: Write error at scanline 0.\n") + TIFF_FAILED},
      {"a failing row read", failing_row, "", {}, 0, std::string("Failure while reading image!") + TIFF_FAILED},
      {"a wrong image message", bad_type, "", {}, 0, std::string("Invalid (driver) image message!") + TIFF_FAILED},
      {"rows of one byte a sample", eight_bit, "", {}, 0, TIFF_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = c.path.empty() ? dir.file("image.tif") : c.path;
    const rlim_t limit = c.file_size_limit;
    const ChildResult result = writer_test::write_shot(Writer::Tiff, c.shot, path, writer_test::tiff_environment(c.env),
                                                       [limit] {
                                                         if (limit != 0) limit_file_size(limit);
                                                       });
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, with_path(c.err, path));
    EXPECT_EQ(result.out, "");
    if (c.path.empty()) {
      // Left as far as libtiff wrote it: no directory.
      const std::string file = testing_support::read_file(path);
      ASSERT_GE(file.size(), 8u);
      EXPECT_EQ(file.substr(0, 8), std::string("II*\0\0\0\0\0", 8));
    }
  }
}

TEST(TiffTest, AReadoutFailureLeavesTheFinishedStripsOnly) {
  // 300 x 251: strips of 125 rows and a last one of a single row. A failure
  // inside strip k leaves the header and the k - 1 strips before it, the
  // bytes that the complete file holds there; the rows of strip k are lost.
  struct Case {
    const char* name;
    std::vector<std::string> env;
    int fail_row, truncate_row;
    std::size_t finished_strips;
    std::string err;
  };
  const Case cases[] = {
      {"uncompressed, row 130 fails", {}, 130, 0, 1, "Failure while reading image!"},
      {"LZW, row 250 fails", {"TIFF_COMPRESSION=5"}, 250, 0, 1, "Failure while reading image!"},
      {"Deflate, the last row truncated", {"TIFF_COMPRESSION=32946"}, 0, 251, 2, "Truncated image read!"},
      {"PackBits, row 2 fails", {"TIFF_COMPRESSION=32773"}, 2, 0, 0, "Failure while reading image!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Shot shot = make_shot(300, 251);
    const ChildResult whole = writer_test::write_shot(Writer::Tiff, shot, dir.file("whole.tif"),
                                                      writer_test::tiff_environment(c.env));
    ASSERT_EQ(whole.status, 0) << whole.err;
    const TiffFacts facts = read_tiff(dir.file("whole.tif"));
    ASSERT_EQ(facts.strip_bytes.size(), 3u);
    uint64_t finished = 0;
    for (std::size_t k = 0; k < c.finished_strips; ++k) finished += facts.strip_bytes[k];

    shot.faults.fail_row = c.fail_row;
    shot.faults.truncate_row = c.truncate_row;
    const ChildResult result = writer_test::write_shot(Writer::Tiff, shot, dir.file("partial.tif"),
                                                       writer_test::tiff_environment(c.env));
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, c.err + TIFF_FAILED);
    const std::string partial = testing_support::read_file(dir.file("partial.tif"));
    const std::string complete = testing_support::read_file(dir.file("whole.tif"));
    ASSERT_EQ(partial.size(), 8 + finished);
    EXPECT_EQ(partial.substr(0, 8), std::string("II*\0\0\0\0\0", 8));
    EXPECT_TRUE(partial.substr(8) == complete.substr(8, finished)) << "the finished strips differ";
  }
}

TEST(TiffTest, ErrorsWhileFinishingTheFileEndWithStatusTwo) {
  // The rows fit, the directory does not: the file is flushed before it is
  // closed, so the failure ends the run instead of a broken file reported complete.
  const Shot shot = make_shot(100, 100);
  TempDir dir;
  const std::string path = dir.file("image.tif");
  const ChildResult result = writer_test::write_shot(Writer::Tiff, shot, path, writer_test::tiff_environment(),
                                                     [] { limit_file_size(8 + 20000); });
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, std::string("TIFFWriteDirectoryTagData: IO error writing tag data.\n") + TIFF_FAILED);
  EXPECT_EQ(testing_support::read_file(path).size(), 8u + 20000u);
}

TEST(TiffTest, RowSinkCollectsRowsIntoWholeStrips) {
  TempDir dir;
  const std::string path = dir.file("sink.tif");
  const ChildResult result = testing_support::run_in_child([&]() -> int {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (tiff == nullptr) return 90;
    set_tiff_tag(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    set_tiff_tag(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    set_tiff_tag(tiff, TIFFTAG_BITSPERSAMPLE, 16);
    set_tiff_tag(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    set_tiff_tag(tiff, TIFFTAG_IMAGEWIDTH, 3u);
    set_tiff_tag(tiff, TIFFTAG_IMAGELENGTH, 3u);
    set_tiff_tag(tiff, TIFFTAG_ROWSPERSTRIP, 2u);
    std::array<uint8_t, 12> strip_buffer{};
    TiffStrips strips{tiff, 3, 2, TIFFScanlineSize(tiff), strip_buffer};
    ExposureRequest request{};
    request.row_bytes = 6;
    std::array<uint16_t, 5> buffer{0xEEEE, 1, 2, 3, 0xEEEE};
    // Bytes libtiff holds for a strip: nothing until its last row is in.
    const auto stored = [&](uint32_t strip) { return static_cast<unsigned>(TIFFGetStrileByteCount(tiff, strip)); };
    request.rows_read = 1;
    int status = tiff_row_sink(&strips, &request, buffer.data() + 1);
    std::printf("row 1: %d, strip 0 %u\n", status, stored(0));
    // Only the row expected next is taken.
    std::printf("row 1 again: %d\n", tiff_row_sink(&strips, &request, buffer.data() + 1));
    request.rows_read = 3;
    std::printf("row 3 early: %d\n", tiff_row_sink(&strips, &request, buffer.data() + 1));
    buffer = {0xEEEE, 4, 5, 6, 0xEEEE};
    request.rows_read = 2;
    status = tiff_row_sink(&strips, &request, buffer.data() + 1);
    std::printf("row 2: %d, strip 0 %s\n", status, stored(0) > 0 ? "written" : "empty");
    // Shorter than a scanline of 16-bit samples: refused before it is read.
    request.rows_read = 3;
    request.row_bytes = 5;
    std::printf("short row: %d\n", tiff_row_sink(&strips, &request, buffer.data() + 1));
    // The image's last row ends the short last strip.
    buffer = {0xEEEE, 7, 8, 9, 0xEEEE};
    request.row_bytes = 6;
    status = tiff_row_sink(&strips, &request, buffer.data() + 1);
    std::printf("row 3: %d, strip 1 %s\n", status, stored(1) > 0 ? "written" : "empty");
    request.rows_read = 4;
    std::printf("row 4: %d\n", tiff_row_sink(&strips, &request, buffer.data() + 1));
    std::printf("buffer: %04X %u %u %u %04X\n", buffer[0], buffer[1], buffer[2], buffer[3], buffer[4]);
    TIFFClose(tiff);
    TIFF* back = TIFFOpen(path.c_str(), "r");
    if (back == nullptr) return 91;
    std::array<uint16_t, 3> row{};
    for (uint32_t r = 0; r < 3; ++r) {
      if (TIFFReadScanline(back, row.data(), r, 0) != 1) return 92;
      std::printf("read %u: %u %u %u\n", r, row[0], row[1], row[2]);
    }
    TIFFClose(back);
    // A codec that stores nothing while libtiff reports the strip written.
    TIFF* empty = TIFFOpen(dir.file("empty.tif").c_str(), "w");
    if (empty == nullptr) return 93;
    set_tiff_tag(empty, TIFFTAG_COMPRESSION, 99);
    set_tiff_tag(empty, TIFFTAG_BITSPERSAMPLE, 16);
    set_tiff_tag(empty, TIFFTAG_IMAGEWIDTH, 3u);
    set_tiff_tag(empty, TIFFTAG_ROWSPERSTRIP, 1u);
    TiffStrips nothing{empty, 1, 1, TIFFScanlineSize(empty), strip_buffer};
    request.rows_read = 1;
    std::printf("nothing stored: %d\n", tiff_row_sink(&nothing, &request, buffer.data() + 1));
    TIFFCleanup(empty);
    return 0;
  });
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "row 1: 0, strip 0 0\nrow 1 again: 1\nrow 3 early: 1\nrow 2: 0, strip 0 written\nshort row: 1\n"
            "row 3: 0, strip 1 written\nrow 4: 1\nbuffer: EEEE 7 8 9 EEEE\n"
            "read 0: 1 2 3\nread 1: 4 5 6\nread 2: 7 8 9\nnothing stored: 1\n");
  EXPECT_EQ(result.err, with_path("@: Compression scheme 99 strip encoding is not implemented.\n", dir.file("empty.tif")));
}

TEST(TiffTest, SetTagReportsARefusalAndReturnsLibtiffsResult) {
  TempDir dir;
  const std::string path = dir.file("tags.tif");
  const ChildResult result = testing_support::run_in_child([&]() -> int {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (tiff == nullptr) return 90;
    std::printf("width %d\n", set_tiff_tag(tiff, TIFFTAG_IMAGEWIDTH, 10u));
    std::printf("artist %d\n", set_tiff_tag(tiff, TIFFTAG_ARTIST, "me"));
    std::fflush(stdout);
    std::printf("predictor %d\n", set_tiff_tag(tiff, TIFFTAG_PREDICTOR, 2));
    std::printf("orientation %d\n", set_tiff_tag(tiff, TIFFTAG_ORIENTATION, 0));
    return 0;
  });
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "width 1\nartist 1\npredictor 0\norientation 0\n");
  EXPECT_EQ(result.err, with_path("TIFFSetField: @: Unknown tag 317.\nError while setting TIFF tag #317\n"
                                  "_TIFFVSetField: @: Bad value 0 for \"Orientation\" tag.\n"
                                  "Error while setting TIFF tag #274\n",
                                  path));
}

}  // namespace
