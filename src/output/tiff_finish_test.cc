// The end of a TIFF file: the last strip is written when the image's last
// row is in, the directory only when the file is finished, after every row
// has been read. A file that cannot take them must fail the run (status 2),
// never end it as complete with the image cut short or no directory at all.
#include <signal.h>
#include <sys/resource.h>
#include <tiffio.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "output/output.h"
#include "tests/support/writer_test_support.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::ChildResult;
using testing_support::TempDir;
using writer_test::Shot;
using writer_test::Writer;

constexpr uint64_t TIFF_HEADER_BYTES = 8;

Shot make_shot(uint16_t width, uint16_t height) {
  Shot shot;
  shot.sensor_width = width;
  shot.sensor_height = height;
  return shot;
}

// Writes beyond `limit` bytes of any file fail with EFBIG (no SIGXFSZ).
void limit_file_size(rlim_t limit) {
  signal(SIGXFSZ, SIG_IGN);
  const rlimit rl{limit, limit};
  setrlimit(RLIMIT_FSIZE, &rl);
}

TEST(TiffFinishTest, StripsOrDirectoryThatCannotBeWrittenAtTheEndFailTheRun) {
  struct Case {
    const char* name;
    Shot shot;
    rlim_t file_size_limit;
    std::string err;
    uint64_t left_on_disk;
  };
  // libtiff's message names the first row of the strip it could not write.
  const Case cases[] = {
      // 100 x 100 samples make one strip of 20000 bytes, written after the
      // last row: nothing of it fits.
      {"the only strip", make_shot(100, 100), 4096,
       "TIFFAppendToStrip: Write error at scanline 0.\n\nTIFF image write failed!\n", 4096},
      // 200 x 331: strips of 165 rows (66000 bytes), each written when its
      // last row is in, and a last strip of one row: the first two fit, the
      // last does not.
      {"the last of several strips", make_shot(200, 331), TIFF_HEADER_BYTES + 2 * 66000 + 100,
       "TIFFAppendToStrip: Write error at scanline 330.\n\nTIFF image write failed!\n",
       TIFF_HEADER_BYTES + 2 * 66000 + 100},
      // Every row fits, the directory behind them does not.
      {"the directory", make_shot(100, 100), TIFF_HEADER_BYTES + 20000,
       "TIFFWriteDirectoryTagData: IO error writing tag data.\n\nTIFF image write failed!\n",
       TIFF_HEADER_BYTES + 20000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("image.tif");
    const rlim_t limit = c.file_size_limit;
    const ChildResult result = writer_test::write_shot(Writer::Tiff, c.shot, path, writer_test::tiff_environment(),
                                                       [limit] { limit_file_size(limit); });
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err);
    // The file stays as far as it was written, and holds no readable image.
    const std::string file = testing_support::read_file(path);
    EXPECT_EQ(file.size(), c.left_on_disk);
    EXPECT_EQ(file.substr(0, 4), std::string("II*\0", 4));
    const TIFFErrorHandler saved = TIFFSetErrorHandler(nullptr);  // quiet: the file is known bad
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    TIFFSetErrorHandler(saved);
    EXPECT_EQ(tiff, nullptr) << "a file without its directory opened";
    if (tiff != nullptr) TIFFClose(tiff);
  }
}

TEST(TiffFinishTest, AFileThatTakesEverythingEndsWithStatusZero) {
  // The same shots with room for the whole file: the flush before the close
  // changes nothing in a file that can be written.
  for (const Shot& shot : {make_shot(100, 100), make_shot(200, 331)}) {
    TempDir dir;
    const std::string path = dir.file("image.tif");
    const ChildResult result = writer_test::write_shot(Writer::Tiff, shot, path, writer_test::tiff_environment());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    uint32_t length = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &length);
    EXPECT_EQ(length, shot.rows());
    std::vector<uint16_t> row(shot.columns());
    for (uint32_t r = 0; r < shot.rows(); ++r) {
      ASSERT_EQ(TIFFReadScanline(tiff, row.data(), r, 0), 1) << "row " << r;
      for (uint32_t x = 0; x < shot.columns(); ++x) {
        ASSERT_EQ(row[x], writer_test::camera_pixel(shot, x, r)) << "pixel " << x << ", " << r;
      }
    }
    TIFFClose(tiff);
  }
}

}  // namespace
