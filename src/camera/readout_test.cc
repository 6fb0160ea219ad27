// Exposure and readout against the in-process fake camera: statistics, the
// sink, upload progress, every failure of the row reader with its message
// and code, and the row buffer's bounds for cameras of any sample width.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "camera/camera.h"
#include "console/console.h"
#include "settings/settings.h"
#include "sim/fake_camera.h"
#include "tests/support/test_support.h"

using testing_support::ChildOptions;
using testing_support::ChildResult;
using testing_support::Fd3;
using testing_support::run_in_child;

namespace {

using Rows = std::vector<std::vector<uint32_t>>;

// The window to read: unbinned size and binning.
struct Shape {
  int32_t width;
  int32_t height;
  int32_t x_bin = 1;
  int32_t y_bin = 1;
};

ccdsim::ModelConfig custom_config(Rows rows, uint16_t bits_per_pixel = 16) {
  ccdsim::ModelConfig config;
  config.pattern = ccdsim::Pattern::Custom;
  config.sensor.bits_per_pixel = bits_per_pixel;
  config.pixel = [rows = std::move(rows)](const ccdsim::FrameContext&, uint32_t column, uint32_t row) {
    return row < rows.size() && column < rows[row].size() ? rows[row][column] : 0u;
  };
  return config;
}

// The camera opened on a fake and one exposure started on it; lives in the child.
struct Session {
  ccdsim::FakeCamera fake;
  CameraInfo camera = make_camera_info();
  ExposureRequest request{};
  bool opened = false;

  Session(const ccdsim::ModelConfig& config, const Shape& shape) : fake(config) {
    opened = camera_query(camera, fake.fd()) == 1;
    request = make_exposure_request(&camera);
    request.width = shape.width;
    request.height = shape.height;
    request.x_bin = shape.x_bin;
    request.y_bin = shape.y_bin;
    request.depth = 16;
    request.exposure_ms = 1;
    camera_expose(request);
  }
};

// Counts the sink's calls; stops on row `stop_at` (0: never).
struct SinkRecord {
  int calls = 0;
  int stop_at = 0;
  std::string seen;  // "rows_read/row_bytes" of each call
};

int recording_sink(void* context, ExposureRequest* request, uint16_t* /*row*/) {
  auto* record = static_cast<SinkRecord*>(context);
  ++record->calls;
  record->seen += std::to_string(request->rows_read) + "/" + std::to_string(request->row_bytes) + " ";
  return record->calls == record->stop_at ? 1 : 0;
}

std::string stats_line(int result, const PixelStats& s) {
  char line[160];
  std::snprintf(line, sizeof line, "result %d min %u avg %u max %u filtered %u\n", result, s.min, s.avg, s.max,
                s.filtered_max);
  return line;
}

// Reads one image of the fake in a child: standard output holds the
// readout's own lines, then the result and the statistics.
ChildResult readout(ccdsim::ModelConfig config, Shape shape, uint8_t debug = 0, int stop_at = 0) {
  return run_in_child(
      [&] {
        debug_level = debug;
        Session session(config, shape);
        if (!session.opened) return 10;
        SinkRecord record;
        record.stop_at = stop_at;
        PixelStats stats{1, 2, 3, 4};
        const int result = read_image(session.request, recording_sink, &record, &stats);
        std::fflush(stdout);
        std::printf("%ssink %d\n", stats_line(result, stats).c_str(), record.calls);
        return 0;
      },
      ChildOptions{.fd3 = Fd3::File});
}

}  // namespace

TEST(ReadoutTest, StatisticsOfSmallRows) {
  struct Case {
    const char* name;
    Rows rows;
    const char* expected;
  };
  const Case cases[] = {
      // The 9 is brighter than both neighbours; the 5 has the 9 beside it.
      {"peak alone", {{5, 9, 3}}, "result 0 min 3 avg 5 max 9 filtered 5\n"},
      {"peak of two", {{5, 9, 9, 3}}, "result 0 min 3 avg 6 max 9 filtered 9\n"},
      // Outside the row counts as 0: bright edges never count.
      {"bright left edge", {{9, 5, 6, 2}}, "result 0 min 2 avg 5 max 9 filtered 5\n"},
      {"bright right edge", {{1, 3, 8}}, "result 0 min 1 avg 4 max 8 filtered 3\n"},
      {"equal pair", {{4, 4}}, "result 0 min 4 avg 4 max 4 filtered 4\n"},
      {"single samples", {{7}, {9}, {4}}, "result 0 min 4 avg 6 max 9 filtered 0\n"},
      // Neighbours are taken within the row: the 9s end and begin two rows.
      {"rows do not touch", {{1, 9}, {9, 1}}, "result 0 min 1 avg 5 max 9 filtered 1\n"},
      // Means are integer quotients per row, then over the rows.
      {"integer means", {{1, 2}, {2, 2}, {65535, 65535}}, "result 0 min 1 avg 21846 max 65535 filtered 65535\n"},
      {"zeros", {{0, 0, 0}}, "result 0 min 0 avg 0 max 0 filtered 0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Shape shape{static_cast<int32_t>(c.rows[0].size()), static_cast<int32_t>(c.rows.size())};
    const auto result = readout(custom_config(c.rows), shape);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, std::string(c.expected) + "sink " + std::to_string(c.rows.size()) + "\n");
    EXPECT_EQ(result.err, "");
  }
}

TEST(ReadoutTest, BinnedWindowGivesQuotientRowsAndPixels) {
  // 7 x 5 unbinned at 2 x 2: 3 pixels by 2 rows, the remainders dropped.
  const auto result = readout(custom_config({{5, 9, 3}, {2, 2, 8}}), Shape{7, 5, 2, 2});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "result 0 min 2 avg 4 max 9 filtered 5\nsink 2\n");
}

TEST(ReadoutTest, DebugLineOnlyWithStatsAndDebugLevel) {
  const Rows rows = {{5, 9, 3}};
  const auto quiet = readout(custom_config(rows), Shape{3, 1}, 0);
  EXPECT_EQ(quiet.out, "result 0 min 3 avg 5 max 9 filtered 5\nsink 1\n");

  const auto debug = readout(custom_config(rows), Shape{3, 1}, 1);
  EXPECT_EQ(debug.out,
            "( 3 Min / 5 Avg / 9 Max / 5 FilteredMax ) A/D counts\n"
            "result 0 min 3 avg 5 max 9 filtered 5\nsink 1\n");

  // No PixelStats: nothing is printed, even at a nonzero debug level.
  const auto none = run_in_child(
      [&] {
        debug_level = 1;
        Session session(custom_config(rows), Shape{3, 1});
        const int result = read_image(session.request, discard_row, nullptr, nullptr);
        std::fflush(stdout);
        std::printf("result %d\n", result);
        return 0;
      },
      ChildOptions{.fd3 = Fd3::File});
  EXPECT_EQ(none.status, 0) << none.err;
  EXPECT_EQ(none.out, "result 0\n");
  EXPECT_EQ(none.fd3, "\r  0% Uploaded        \r");
}

TEST(ReadoutTest, SinkStopsOnRowThree) {
  Rows rows;
  for (uint32_t r = 0; r < 10; ++r) rows.push_back({10 * (r + 1), 10 * (r + 1) + 2});
  // Means 11, 21, 31 of the three rows read, over the image's 10 rows.
  const auto result = readout(custom_config(rows), Shape{2, 10}, 0, 3);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "result -1 min 10 avg 6 max 32 filtered 30\nsink 3\n");
  EXPECT_EQ(result.fd3, "\r  0% Uploaded        \r");
  EXPECT_EQ(result.err, "");
}

TEST(ReadoutTest, SinkSeesRowNumberRowBytesAndZeroWordsBesideTheRow) {
  const auto result = run_in_child(
      [] {
        Session session(custom_config({{1, 2, 3}, {4, 5, 6}}), Shape{3, 2});
        struct Check {
          std::string seen;
        } check;
        const RowSink sink = [](void* context, ExposureRequest* request, uint16_t* row) {
          auto* c = static_cast<Check*>(context);
          char text[80];
          std::snprintf(text, sizeof text, "%d/%d [%u] %u %u %u [%u] ", request->rows_read, request->row_bytes,
                        row[-1], row[0], row[1], row[2], row[3]);
          c->seen += text;
          // The row may be rewritten in place.
          row[0] = 60000;
          return 0;
        };
        PixelStats stats{};
        const int result = read_image(session.request, sink, &check, &stats);
        std::printf("%s| %s", check.seen.c_str(), stats_line(result, stats).c_str());
        return 0;
      },
      ChildOptions{.fd3 = Fd3::File});
  ASSERT_EQ(result.status, 0) << result.err;
  // The statistics are taken before the sink rewrites the row.
  EXPECT_EQ(result.out, "1/6 [0] 1 2 3 [0] 2/6 [0] 4 5 6 [0] | result 0 min 1 avg 3 max 6 filtered 5\n");
}

TEST(ReadoutTest, UploadProgressByRowCount) {
  struct Case {
    int32_t rows;
    const char* progress;
  };
  const Case cases[] = {
      {1, "\r  0% Uploaded        \r"},
      {127, "\r  0% Uploaded        \r"},
      {128, "\r  0% Uploaded        \r100%\r"},
      {256, "\r  0% Uploaded        \r 50%\r100%\r"},
      {300, "\r  0% Uploaded        \r 42%\r 85%\r"},
      {1040, "\r  0% Uploaded        \r 12%\r 24%\r 36%\r 49%\r 61%\r 73%\r 86%\r 98%\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rows);
    ccdsim::ModelConfig config;
    config.pattern = ccdsim::Pattern::Ramp;
    const auto result = readout(config, Shape{2, c.rows});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.fd3, c.progress);
    EXPECT_EQ(result.err, "");
  }
}

TEST(ReadoutTest, RampImageStatistics) {
  // 4 x 3 ramp of a 1 ms exposure: value = x * 37 + y * 101 + 1.
  ccdsim::ModelConfig config;
  config.pattern = ccdsim::Pattern::Ramp;
  const auto result = readout(config, Shape{4, 3});
  ASSERT_EQ(result.status, 0) << result.err;
  // Row means 56, 157, 258. Each row rises to its end, where the last sample
  // has only the outside 0 on its right: the third sample of the last row
  // is the largest that counts.
  EXPECT_EQ(result.out, "result 0 min 1 avg 157 max 314 filtered 277\nsink 3\n");
}

TEST(ReadoutTest, FirstCallReadsHeaderAndRowAndCompleteImageReadsNothing) {
  const auto result = run_in_child(
      [] {
        Session session(custom_config({{1, 2}, {3, 4}}), Shape{2, 2});
        std::vector<uint8_t> row(static_cast<std::size_t>(session.request.row_bytes));
        const int first = camera_read_row(session.request, row.data());
        std::printf("%d: %u %u %u %u\n", first, row[0], row[1], row[2], row[3]);
        const int second = camera_read_row(session.request, row.data());
        std::printf("%d: %u %u %u %u\n", second, row[0], row[1], row[2], row[3]);
        // Complete: no device access (a read would block on the idle fake).
        const int third = camera_read_row(session.request, row.data());
        const int fourth = camera_read_row(session.request, row.data());
        std::printf("%d %d rows_read %d\n", third, fourth, session.request.rows_read);
        return 0;
      },
      ChildOptions{.fd3 = Fd3::File});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "1: 1 0 2 0\n2: 3 0 4 0\n0 0 rows_read 2\n");
  EXPECT_EQ(result.err, "");
}

TEST(ReadoutTest, ExposeSendsTheRequestAndSetsReadoutState) {
  struct Case {
    uint16_t bits_per_pixel;
    Shape shape;
    int32_t row_bytes;
  };
  const Case cases[] = {
      {16, {500, 300, 2, 1}, 500}, {12, {500, 300, 1, 1}, 1000}, {8, {500, 300, 1, 1}, 500},
      {24, {500, 300, 3, 1}, 498}, {9, {7, 3, 2, 3}, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits_per_pixel);
    const auto result = run_in_child([&] {
      ccdsim::ModelConfig config;
      config.pattern = ccdsim::Pattern::Ramp;
      config.sensor.bits_per_pixel = c.bits_per_pixel;
      config.sensor.width = 1000;
      config.sensor.height = 1000;
      ccdsim::FakeCamera fake(config);
      CameraInfo camera = make_camera_info();
      if (camera_query(camera, fake.fd()) != 1) return 10;
      ExposureRequest request = make_exposure_request(&camera);
      request.width = c.shape.width;
      request.height = c.shape.height;
      request.x_origin = 20;
      request.y_origin = 10;
      request.x_bin = c.shape.x_bin;
      request.y_bin = c.shape.y_bin;
      request.depth = 16;
      request.flags = EXPOSE_DARK;
      request.exposure_ms = 70000;
      request.rows_read = 5;
      camera_expose(request);
      // The query, then the exposure; read the image to be sure the fake saw it.
      const int result = read_image(request, discard_row, nullptr, nullptr);
      const auto sent = fake.messages();
      if (sent.size() != 2) return 11;
      const auto& m = sent[1];
      std::printf("result %d row_bytes %d |", result, request.row_bytes);
      for (std::size_t i = 0; i < m.size(); i += 2) std::printf(" %u", get_u16(m, i));
      std::printf("\n");
      return 0;
    }, ChildOptions{.fd3 = Fd3::File});
    ASSERT_EQ(result.status, 0) << result.err;
    char expected[200];
    std::snprintf(expected, sizeof expected,
                  "result 0 row_bytes %d | 52445 28 0 513 %d %d 20 10 %d %d 16 16 4464 1\n", c.row_bytes,
                  c.shape.width, c.shape.height, c.shape.x_bin, c.shape.y_bin);
    EXPECT_EQ(result.out, expected);
  }
}

TEST(ReadoutTest, RowSizeOfAnImpossibleWidthStaysWithinInt) {
  CameraInfo camera = make_camera_info();
  camera.device_fd = open("/dev/null", O_WRONLY);
  ASSERT_GE(camera.device_fd, 0);
  camera.bits_per_pixel = 16;
  ExposureRequest request = make_exposure_request(&camera);
  request.x_bin = 1;
  request.y_bin = 1;
  struct Case {
    int32_t width;
    int32_t row_bytes;
  };
  // Widths are taken unsigned: -2 is 4294967294 pixels of 2 bytes each.
  const Case cases[] = {{-2, INT32_MAX}, {INT32_MAX, INT32_MAX}, {1 << 30, INT32_MAX}, {(1 << 30) - 1, 2147483646}};
  for (const Case& c : cases) {
    request.width = c.width;
    camera_expose(request);
    EXPECT_EQ(request.row_bytes, c.row_bytes) << c.width;
  }
  close(camera.device_fd);
}

TEST(ReadoutTest, RowBufferHoldsSamplesRowBytesAndBothZeroWords) {
  CameraInfo camera = make_camera_info();
  ExposureRequest request = make_exposure_request(&camera);
  struct Case {
    int32_t width;
    int32_t x_bin;
    int32_t row_bytes;
    uint64_t words;  // counted beyond size_t; a 32-bit host gets SIZE_MAX
  };
  const Case cases[] = {
      {10, 1, 20, 12},  // 16 bits: the row and the two zero words
      {10, 1, 10, 12},  // 8 bits: the statistics still look at 10 samples
      {10, 1, 30, 17},  // 24 bits: the device writes 15 words
      {10, 1, 31, 18},  // an odd byte count rounds up
      {10, 0, 0, 2},    // no binning factor: no pixels
      {1, 2, 0, 2},     // narrower than the binning factor
      {10, 1, -8, 12},  // a negative row size gives no room of its own
      {-1, 1, 0, 4294967297},
  };
  for (const Case& c : cases) {
    request.width = c.width;
    request.x_bin = c.x_bin;
    request.row_bytes = c.row_bytes;
    EXPECT_EQ(row_buffer_words(request), std::min<uint64_t>(c.words, SIZE_MAX)) << c.width << " " << c.row_bytes;
  }
}

TEST(ReadoutTest, ScanRowTakesNeighboursWithinTheRowOnly) {
  struct Case {
    std::vector<uint16_t> samples;
    uint32_t pixels;
    RowStats expected;
  };
  const RowStats fresh{0xFFFF, 0, 0, 0};
  const Case cases[] = {
      {{5, 9, 3}, 3, {3, 9, 5, 5}},
      {{5, 9, 9, 3}, 4, {3, 9, 9, 6}},
      // Samples after `pixels` are not neighbours even when present.
      {{1, 3, 8, 9}, 3, {1, 8, 3, 4}},
      {{7, 9}, 1, {7, 7, 0, 7}},
      {{}, 0, {0xFFFF, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    std::vector<uint16_t> row = c.samples;
    row.push_back(0);
    const RowStats s = scan_row(row.data(), c.pixels, fresh);
    EXPECT_EQ(s.min, c.expected.min);
    EXPECT_EQ(s.max, c.expected.max);
    EXPECT_EQ(s.filtered_max, c.expected.filtered_max);
    EXPECT_EQ(s.row_mean, c.expected.row_mean);
  }
  // Statistics carry over from row to row; the mean is the row's own.
  const std::vector<uint16_t> first = {100, 200, 200};
  const std::vector<uint16_t> second = {50, 60};
  const RowStats after = scan_row(second.data(), 2, scan_row(first.data(), 3, fresh));
  EXPECT_EQ(after.min, 50u);
  EXPECT_EQ(after.max, 200u);
  EXPECT_EQ(after.filtered_max, 200u);
  EXPECT_EQ(after.row_mean, 55u);
}

// The rule for one row as written down, one sample at a time, for rows long
// enough that scan_row works on them in blocks.
RowStats plain_scan(const std::vector<uint16_t>& row, RowStats stats) {
  uint32_t total = 0;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const uint32_t s = row[i];
    const uint32_t left = i > 0 ? row[i - 1] : 0;
    const uint32_t right = i + 1 < row.size() ? row[i + 1] : 0;
    total += s;
    stats.min = std::min(stats.min, s);
    stats.max = std::max(stats.max, s);
    if (left >= s || right >= s) stats.filtered_max = std::max(stats.filtered_max, s);
  }
  stats.row_mean = row.empty() ? 0 : total / static_cast<uint32_t>(row.size());
  return stats;
}

TEST(ReadoutTest, ScanRowOfLongRowsFollowsTheRule) {
  // A lone peak, a qualifying pair straddling a block boundary, the extremes
  // on the first and the last sample: positions where a block-wise scan
  // would go wrong first.
  std::vector<uint16_t> features(40, 1000);
  features[17] = 9000;                     // brighter than both neighbours
  features[31] = features[32] = 5000;      // each has the other beside it
  features[0] = 7;                         // min on the first sample
  features[39] = 65535;                    // max on the last, outside neighbour 0
  const RowStats fresh{0xFFFF, 0, 0, 0};
  const RowStats s = scan_row(features.data(), 40, fresh);
  EXPECT_EQ(s.min, 7u);
  EXPECT_EQ(s.max, 65535u);
  EXPECT_EQ(s.filtered_max, 5000u);
  EXPECT_EQ(s.row_mean, 2988u);  // (40 x 1000 - 993 + 8000 + 2 x 4000 + 64535) / 40

  // Every length up to a few blocks and a whole sensor row, with samples of
  // every kind, row after row: the same results as the rule taken plainly.
  uint32_t seed = 12345;
  const auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return static_cast<uint16_t>(seed >> 16);
  };
  RowStats carried = fresh;
  RowStats expected = fresh;
  std::vector<std::size_t> lengths;
  for (std::size_t n = 1; n <= 80; ++n) lengths.push_back(n);
  lengths.push_back(1392);
  for (std::size_t n : lengths) {
    for (int kind = 0; kind < 4; ++kind) {
      SCOPED_TRACE("length " + std::to_string(n) + ", kind " + std::to_string(kind));
      std::vector<uint16_t> row(n + 1);
      for (std::size_t i = 0; i < n; ++i) {
        const uint16_t r = next();
        switch (kind) {
          case 0: row[i] = r; break;                                         // anything
          case 1: row[i] = static_cast<uint16_t>(r % 3); break;              // many ties
          case 2: row[i] = static_cast<uint16_t>(65533 + r % 3); break;      // near the top
          default: row[i] = static_cast<uint16_t>(i % 7 == 3 ? 60000 + r % 100 : r % 500);  // lone peaks
        }
      }
      row[n] = 65535;  // beyond the row: never a neighbour
      const RowStats got = scan_row(row.data(), static_cast<uint32_t>(n), fresh);
      const RowStats want = plain_scan(std::vector<uint16_t>(row.begin(), row.end() - 1), fresh);
      EXPECT_EQ(got.min, want.min);
      EXPECT_EQ(got.max, want.max);
      EXPECT_EQ(got.filtered_max, want.filtered_max);
      EXPECT_EQ(got.row_mean, want.row_mean);
      carried = scan_row(row.data(), static_cast<uint32_t>(n), carried);
      expected = plain_scan(std::vector<uint16_t>(row.begin(), row.end() - 1), expected);
      EXPECT_EQ(carried.min, expected.min);
      EXPECT_EQ(carried.max, expected.max);
      EXPECT_EQ(carried.filtered_max, expected.filtered_max);
    }
  }
}

TEST(ReadoutTest, CamerasOfOtherSampleWidthsStayInsideTheBuffer) {
  // Eight-bit samples (the high byte of each value): row_bytes equals the
  // pixel count and the statistics read the bytes in pairs, the rest as 0.
  const auto eight = readout(custom_config({{0x0500, 0x0900, 0x0300, 0x0100}}, 8), Shape{4, 1});
  ASSERT_EQ(eight.status, 0) << eight.err;
  EXPECT_EQ(eight.out, "result 0 min 0 avg 642 max 2309 filtered 259\nsink 1\n");

  // Three-byte samples: the value in the two low bytes, then a zero byte.
  const auto wide = readout(custom_config({{0x0102, 0x0304}}, 24), Shape{2, 1});
  ASSERT_EQ(wide.status, 0) << wide.err;
  EXPECT_EQ(wide.out, "result 0 min 258 avg 641 max 1024 filtered 258\nsink 1\n");

  const auto wider = readout(custom_config({{7, 8, 9}}, 32), Shape{3, 2});
  ASSERT_EQ(wider.status, 0) << wider.err;
  EXPECT_EQ(wider.out, "result 0 min 0 avg 2 max 8 filtered 0\nsink 2\n");
}

TEST(ReadoutTest, EmptyWindowsDivideByNothing) {
  // No pixels per row (narrower than the binning) and no rows at all: the
  // header still matches, and the means are 0 rather than a division by 0.
  const auto narrow = readout(custom_config({{5}}), Shape{1, 2, 2, 1});
  ASSERT_EQ(narrow.status, 0) << narrow.err;
  EXPECT_EQ(narrow.out, "result 0 min 65535 avg 0 max 0 filtered 0\nsink 2\n");
  EXPECT_EQ(narrow.err, "");

  const auto flat = readout(custom_config({{5, 6}}), Shape{2, 1, 1, 2});
  ASSERT_EQ(flat.status, 0) << flat.err;
  EXPECT_EQ(flat.out, "result 0 min 65535 avg 0 max 0 filtered 0\nsink 0\n");
  EXPECT_EQ(flat.fd3, "\r");
}

TEST(ReadoutTest, DeviceFailuresWithMessagesCodesAndStatistics) {
  const Rows rows = {{5, 9, 3}, {4, 4, 8}, {2, 7, 7}, {6, 6, 6}};
  const Shape shape{3, 4};
  const std::string none = "min 65535 avg 0 max 0 filtered 0";
  struct Case {
    const char* name;
    ccdsim::Faults faults;
    std::string err;
    std::string out;
    std::string progress;
  };
  const std::string upload = "\r  0% Uploaded        ";
  const Case cases[] = {
      {"header short", {.short_header = 1}, "Error reading exposure:Input/output error\n",
       "result -3 " + none + "\nsink 0\n", "\r"},
      {"header empty", {.short_header = 8}, "Error reading exposure:Input/output error\n",
       "result -3 " + none + "\nsink 0\n", "\r"},
      {"header read fails", {.fail_header_read = true}, "Error reading exposure:Connection reset by peer\n",
       "result -3 " + none + "\nsink 0\n", "\r"},
      {"wrong type", {.image_type = 0x2002}, "Invalid (driver) image message!", "result -2 " + none + "\nsink 0\n",
       "\r"},
      {"length one too large", {.image_length_offset = 1}, "Image size discrepency! Read 33, expected 32\n",
       "result -1 " + none + "\nsink 0\n", "\r"},
      {"length one too small", {.image_length_offset = -1}, "Image size discrepency! Read 31, expected 32\n",
       "result -1 " + none + "\nsink 0\n", "\r"},
      {"first row truncated", {.truncate_row = 1}, "Truncated image read!", "result -1 " + none + "\nsink 0\n",
       "\r"},
      {"row 3 truncated", {.truncate_row = 3, .truncate_by = 1}, "Truncated image read!",
       "result -1 min 3 avg 2 max 9 filtered 5\nsink 2\n", upload + "\r"},
      {"row 3 fails", {.fail_row = 3}, "Failure while reading image!",
       "result -3 min 3 avg 2 max 9 filtered 5\nsink 2\n", upload + "\r"},
      {"last row fails", {.fail_row = 4}, "Failure while reading image!",
       "result -3 min 2 avg 3 max 9 filtered 7\nsink 3\n", upload + "\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ccdsim::ModelConfig config = custom_config(rows);
    config.faults = c.faults;
    const auto result = readout(config, shape, 1);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.fd3, c.progress);
    // The debug line is printed after a failure as well.
    const std::string fields = c.out.substr(c.out.find("min"));
    unsigned min = 0, avg = 0, max = 0, filtered = 0;
    ASSERT_EQ(std::sscanf(fields.c_str(), "min %u avg %u max %u filtered %u", &min, &avg, &max, &filtered), 4);
    char debug[120];
    std::snprintf(debug, sizeof debug, "( %u Min / %u Avg / %u Max / %u FilteredMax ) A/D counts\n", min, avg, max,
                  filtered);
    EXPECT_EQ(result.out, debug + c.out);
  }
}

TEST(ReadoutTest, ShortHeaderReportsNoStaleSystemError) {
  // A short count sets no errno: whatever an earlier call left is not shown.
  const auto result = run_in_child(
      [] {
        ccdsim::ModelConfig config = custom_config({{1, 2}});
        config.faults.short_header = 3;
        Session session(config, Shape{2, 1});
        errno = ENOENT;
        const int result = read_image(session.request, discard_row, nullptr, nullptr);
        std::printf("result %d\n", result);
        return 0;
      },
      ChildOptions{.fd3 = Fd3::File});
  ASSERT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "Error reading exposure:Input/output error\n");
  EXPECT_EQ(result.out, "result -3\n");
}

TEST(ReadoutTest, RowReadWithoutAnExposureRefusesNegativeSizesAndCounts) {
  // A request that was never exposed but claims rows already read goes
  // straight to the rows; a negative size is not handed to read().
  const auto result = run_in_child([] {
    CameraInfo camera = make_camera_info();
    camera.device_fd = open("/dev/zero", O_RDONLY);
    ExposureRequest request = make_exposure_request(&camera);
    request.width = 2;
    request.height = 4;
    request.x_bin = 1;
    request.y_bin = 1;
    request.rows_read = 1;
    request.row_bytes = -4;
    PixelStats stats{};
    const int negative = read_image(request, discard_row, nullptr, &stats);
    request.rows_read = 1;
    request.row_bytes = 4;
    const int zeros = read_image(request, discard_row, nullptr, &stats);
    std::printf("%d %d rows_read %d %s", negative, zeros, request.rows_read, stats_line(zeros, stats).c_str());
    // A negative row count is no row number: nothing is read.
    request.rows_read = -3;
    const int before = read_image(request, discard_row, nullptr, &stats);
    std::printf("rows_read %d %s", request.rows_read, stats_line(before, stats).c_str());
    return 0;
  });
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "Truncated image read!");
  EXPECT_EQ(result.out,
            "-1 0 rows_read 4 result 0 min 0 avg 0 max 0 filtered 0\n"
            "rows_read -3 result 0 min 65535 avg 0 max 0 filtered 0\n");
}

TEST(ReadoutTest, TwoSecondCountdownOnTheRealClock) {
  const auto result = run_in_child(
      [] {
        Session session(custom_config({{1}}), Shape{1, 1});
        session.request.exposure_ms = 2000;
        const time_t before = time(nullptr);
        expose_with_countdown(session.request);
        const time_t after = time(nullptr);
        std::printf("%d %d\n", session.request.start_time >= before && session.request.start_time <= after,
                    after - session.request.start_time >= 1);
        return 0;
      },
      ChildOptions{.fd3 = Fd3::File});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.fd3, "2 seconds remaining\r");
  EXPECT_EQ(result.out, "1 1\n");
}
