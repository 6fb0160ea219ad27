#include "sim/camera_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace ccdsim {
namespace {

using Bytes = std::vector<uint8_t>;

ExposeMessage expose_of(uint16_t x, uint16_t y, uint16_t width, uint16_t height, uint16_t x_bin,
                        uint16_t y_bin, uint32_t exposure_ms, uint16_t flags = 0) {
  return {width, height, x, y, x_bin, y_bin, 16, flags, exposure_ms};
}

Bytes expose_bytes(const ExposeMessage& e) {
  ExposureRequest request{};
  request.width = e.width;
  request.height = e.height;
  request.x_origin = e.x_origin;
  request.y_origin = e.y_origin;
  request.x_bin = e.x_bin;
  request.y_bin = e.y_bin;
  request.depth = e.depth;
  request.flags = e.flags;
  request.exposure_ms = e.exposure_ms;
  const auto bytes = encode_expose(request);
  return {bytes.begin(), bytes.end()};
}

template <std::size_t N>
Bytes to_bytes(const std::array<uint8_t, N>& array) {
  return {array.begin(), array.end()};
}

// Reads one piece with a buffer of the given size; the bytes delivered.
Bytes read_piece(CameraModel& model, std::size_t size) {
  Bytes buffer(size, 0xEE);
  const ReadResult result = model.read(buffer);
  EXPECT_EQ(result.kind, ReadKind::Data);
  buffer.resize(result.count);
  return buffer;
}

std::vector<uint16_t> samples(const Bytes& row) {
  std::vector<uint16_t> values(row.size() / 2);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<uint16_t>(row[2 * i] | row[2 * i + 1] << 8);
  return values;
}

// Exposes and reads the whole image: header checked, rows as 16-bit samples.
std::vector<std::vector<uint16_t>> take_frame(CameraModel& model, const ExposeMessage& e) {
  EXPECT_EQ(model.write(expose_bytes(e)), 28);
  const std::size_t row_size = expose_row_bytes(model.config().sensor, e);
  EXPECT_EQ(read_piece(model, 8).size(), 8u);
  std::vector<std::vector<uint16_t>> rows;
  for (uint32_t r = 0; r < expose_rows(e); ++r) rows.push_back(samples(read_piece(model, row_size)));
  return rows;
}

ModelConfig ramp_config() {
  ModelConfig config;
  config.pattern = Pattern::Ramp;
  return config;
}

TEST(CameraModelTest, QueryReplyLayoutByteForByte) {
  CameraModel model;
  ASSERT_EQ(model.write(to_bytes(encode_query())), 8);
  Bytes expected(92, 0);
  const uint8_t head[] = {0xDD, 0xCC, 92, 0, 0, 0, 0x01, 0x10, 'C', 'C', 'D', 'S', 'I', 'M'};
  std::memcpy(expected.data(), head, sizeof head);
  std::fill(expected.begin() + 14, expected.begin() + 40, ' ');
  const uint8_t tail[] = {0x70, 0x05, 0x10, 0x04, 0x73, 0x06, 0x73, 0x06, 0, 0, 16, 0, 16, 0, 0, 0};
  std::memcpy(expected.data() + 74, tail, sizeof tail);
  EXPECT_EQ(read_piece(model, 92), expected);
  // The reply is taken once; then nothing is pending.
  EXPECT_EQ(read_piece(model, 92), Bytes{});
}

TEST(CameraModelTest, QueryReplyCarriesTheSensorConfig) {
  ModelConfig config;
  config.sensor.width = 765;
  config.sensor.height = 510;
  config.sensor.bits_per_pixel = 12;
  config.sensor.default_depth = 14;
  config.sensor.pixel_width_raw = 2304;
  config.sensor.pixel_height_raw = 1894;
  config.sensor.aux_1 = 0xA1B2;
  config.sensor.aux_2 = 0x0102;
  config.sensor.model = model_text("ST7 with a name longer than thirty-two bytes");
  CameraModel model(config);
  model.write(to_bytes(encode_query()));
  const Bytes reply = read_piece(model, 92);
  ASSERT_EQ(reply.size(), 92u);
  EXPECT_EQ(std::string(reply.begin() + 8, reply.begin() + 40), "ST7 with a name longer than thir");
  const Bytes fields(reply.begin() + 74, reply.end());
  EXPECT_EQ(fields, (Bytes{0xFD, 0x02, 0xFE, 0x01, 0x00, 0x09, 0x66, 0x07, 0xB2, 0xA1, 12, 0, 14, 0, 0x02, 0x01,
                           0, 0}));
}

TEST(CameraModelTest, ImageHeaderLengthCountsRowsAndHeader) {
  struct Case {
    uint16_t bpp;
    ExposeMessage expose;
    Bytes header;
  };
  const Case cases[] = {
      // 300 rows of 250 two-byte samples: 150008 = 0x000249F8.
      {16, expose_of(20, 10, 500, 300, 2, 1, 70000), {0xDD, 0xCC, 0xF8, 0x49, 0x02, 0x00, 0x01, 0x20}},
      // Remainders dropped: 1392 / 3 = 464 samples, 1040 / 3 = 346 rows:
      // 346 x 928 + 8 = 321096 = 0x0004E648.
      {16, expose_of(0, 0, 1392, 1040, 3, 3, 1), {0xDD, 0xCC, 0x48, 0xE6, 0x04, 0x00, 0x01, 0x20}},
      // One-byte samples at 8 bits per pixel: 10 x 4 + 8 = 48.
      {8, expose_of(0, 0, 10, 4, 1, 1, 1), {0xDD, 0xCC, 48, 0, 0, 0, 0x01, 0x20}},
      // Three-byte samples at 24 bits: 10 x 3 x 4 + 8 = 128.
      {24, expose_of(0, 0, 10, 4, 1, 1, 1), {0xDD, 0xCC, 128, 0, 0, 0, 0x01, 0x20}},
  };
  for (const Case& c : cases) {
    ModelConfig config = ramp_config();
    config.sensor.bits_per_pixel = c.bpp;
    CameraModel model(config);
    ASSERT_EQ(model.write(expose_bytes(c.expose)), 28);
    EXPECT_EQ(model.pending_size(), 8u);
    EXPECT_EQ(read_piece(model, 8), c.header) << "bpp " << c.bpp;
    EXPECT_EQ(model.pending_size(), expose_row_bytes(config.sensor, c.expose));
  }
}

TEST(CameraModelTest, RampRowsHoldTheDocumentedValues) {
  CameraModel model(ramp_config());
  // 1000 * 37 + 200 * 101 + 5000 = 62200, then steps of 37; little-endian.
  auto rows = take_frame(model, expose_of(1000, 200, 4, 2, 1, 1, 5000));
  EXPECT_EQ(rows[0], (std::vector<uint16_t>{62200, 62237, 62274, 62311}));
  EXPECT_EQ(rows[1], (std::vector<uint16_t>{62301, 62338, 62375, 62412}));
  // The value wraps modulo 65536 between column 1771 (65527) and 1772 (28).
  rows = take_frame(model, expose_of(1771, 0, 2, 1, 1, 1, 0));
  EXPECT_EQ(rows[0], (std::vector<uint16_t>{65527, 28}));
  // Byte order on the wire: 62200 = 0xF2F8.
  model.write(expose_bytes(expose_of(1000, 200, 1, 1, 1, 1, 5000)));
  read_piece(model, 8);
  EXPECT_EQ(read_piece(model, 2), (Bytes{0xF8, 0xF2}));
}

TEST(CameraModelTest, RampBinningSumsAndClips) {
  CameraModel model(ramp_config());
  // 2 x 1 from the origin: 0 + 37, 74 + 111, 148 + 185.
  auto rows = take_frame(model, expose_of(0, 0, 6, 1, 2, 1, 0));
  EXPECT_EQ(rows[0], (std::vector<uint16_t>{37, 185, 333}));
  // 1 x 2: (0 + 101), (37 + 138).
  rows = take_frame(model, expose_of(0, 0, 2, 2, 1, 2, 0));
  EXPECT_EQ(rows[0], (std::vector<uint16_t>{101, 175}));
  // 2 x 2 of values above 62000 clips at 65535; a sum that stays below does not.
  rows = take_frame(model, expose_of(1000, 200, 2, 2, 2, 2, 5000));
  EXPECT_EQ(rows[0], (std::vector<uint16_t>{65535}));
  rows = take_frame(model, expose_of(10, 10, 2, 2, 2, 2, 7));
  // 1387 + 1424 + 1488 + 1525
  EXPECT_EQ(rows[0], (std::vector<uint16_t>{5824}));
}

TEST(CameraModelTest, RampMatchesItsFormulaAcrossWindowsAndBinnings) {
  struct Case {
    uint16_t x, y, width, height, x_bin, y_bin;
    uint32_t ms;
  };
  const Case cases[] = {
      {0, 0, 1392, 6, 1, 1, 0},       {700, 900, 37, 41, 1, 1, 123456}, {3, 5, 101, 17, 2, 2, 9000},
      {11, 0, 64, 12, 4, 3, 65535},   {1390, 1030, 9, 9, 3, 4, 1},      {0, 0, 12, 12, 4, 4, 60000},
      {500, 500, 200, 8, 1, 4, 4000},
  };
  for (const Case& c : cases) {
    CameraModel model(ramp_config());
    const ExposeMessage e = expose_of(c.x, c.y, c.width, c.height, c.x_bin, c.y_bin, c.ms);
    const auto rows = take_frame(model, e);
    ASSERT_EQ(rows.size(), c.height / c.y_bin);
    unsigned above_half = 0;
    for (uint32_t r = 0; r < rows.size(); ++r) {
      ASSERT_EQ(rows[r].size(), c.width / c.x_bin);
      for (uint32_t col = 0; col < rows[r].size(); ++col) {
        uint64_t sum = 0;
        for (uint32_t dy = 0; dy < c.y_bin; ++dy) {
          for (uint32_t dx = 0; dx < c.x_bin; ++dx) {
            const uint64_t sx = c.x + col * c.x_bin + dx;
            const uint64_t sy = c.y + r * c.y_bin + dy;
            sum += (sx * 37 + sy * 101 + c.ms) % 65536;
          }
        }
        const auto expected = static_cast<uint16_t>(std::min<uint64_t>(sum, 65535));
        ASSERT_EQ(rows[r][col], expected) << "window " << c.x << "," << c.y << " bin " << c.x_bin << "x"
                                          << c.y_bin << " at " << col << "," << r;
        ASSERT_EQ(ramp_pixel(e, col, r), expected);
        above_half += expected > 32767;
      }
    }
    EXPECT_GT(above_half, 0u) << "window " << c.x << "," << c.y;
  }
}

TEST(CameraModelTest, NarrowSamplesCarryTheValue) {
  struct Case {
    uint16_t bpp;
    Bytes row;  // columns 1771 and 1772 of row 0: values 65527 (0xFFF7) and 28
  };
  const Case cases[] = {
      {8, {0xFF, 0x00}},
      {12, {0xF7, 0xFF, 28, 0}},
      {16, {0xF7, 0xFF, 28, 0}},
      {24, {0xF7, 0xFF, 0, 28, 0, 0}},
  };
  for (const Case& c : cases) {
    ModelConfig config = ramp_config();
    config.sensor.bits_per_pixel = c.bpp;
    CameraModel model(config);
    model.write(expose_bytes(expose_of(1771, 0, 2, 1, 1, 1, 0)));
    read_piece(model, 8);
    EXPECT_EQ(read_piece(model, c.row.size()), c.row) << "bpp " << c.bpp;
  }
}

TEST(CameraModelTest, EachReadTakesOnePieceWhateverItsSize) {
  CameraModel model(ramp_config());
  model.write(to_bytes(encode_query()));
  const Bytes reply = to_bytes(query_reply_bytes(SensorConfig{}));
  // Larger buffer: the 92 bytes only.
  EXPECT_EQ(read_piece(model, 200), reply);
  // Smaller buffer: the first bytes; the rest is dropped.
  model.write(to_bytes(encode_query()));
  EXPECT_EQ(read_piece(model, 10), Bytes(reply.begin(), reply.begin() + 10));
  EXPECT_EQ(read_piece(model, 92), Bytes{});

  model.write(expose_bytes(expose_of(0, 0, 4, 3, 1, 1, 0)));
  EXPECT_EQ(read_piece(model, 100).size(), 8u);
  EXPECT_EQ(samples(read_piece(model, 4)), (std::vector<uint16_t>{0, 37}));      // half of row 1
  EXPECT_EQ(samples(read_piece(model, 100)), (std::vector<uint16_t>{101, 138, 175, 212}));  // row 2 whole
  EXPECT_EQ(samples(read_piece(model, 8)), (std::vector<uint16_t>{202, 239, 276, 313}));
  EXPECT_FALSE(model.has_pending());
  EXPECT_EQ(read_piece(model, 8), Bytes{});
}

TEST(CameraModelTest, RefusesMalformedWritesAndKeepsItsState) {
  CameraModel model(ramp_config());
  model.write(to_bytes(encode_query()));
  Bytes wrong_magic = to_bytes(encode_query());
  wrong_magic[0] = 0xDE;
  Bytes wrong_length = to_bytes(encode_query());
  wrong_length[2] = 9;
  Bytes long_query = to_bytes(encode_query());
  long_query.push_back(0);
  long_query[2] = 9;
  Bytes unknown = to_bytes(encode_query());
  unknown[6] = 0x01;
  unknown[7] = 0x05;
  const Bytes cases[] = {
      {},
      {0xDD, 0xCC, 4, 0},
      wrong_magic,
      wrong_length,
      long_query,
      unknown,
      expose_bytes(expose_of(0, 0, 10, 10, 0, 1, 5)),
      expose_bytes(expose_of(0, 0, 10, 10, 1, 0, 5)),
      expose_bytes(expose_of(0, 0, 100, 100, 65, 1, 5)),
  };
  for (const Bytes& bytes : cases) EXPECT_EQ(model.write(bytes), -EINVAL) << bytes.size() << " bytes";
  EXPECT_EQ(model.frames(), 0u);
  EXPECT_EQ(read_piece(model, 92), to_bytes(query_reply_bytes(SensorConfig{})));
}

TEST(CameraModelTest, SideMessagesAreCountedAndLeaveTheImageAlone) {
  CameraModel model(ramp_config());
  model.write(expose_bytes(expose_of(0, 0, 2, 1, 1, 1, 0)));
  EXPECT_EQ(model.write(to_bytes(encode_0301())), 8);
  EXPECT_EQ(model.write(to_bytes(encode_0401(0x12345, 0xDEADBEEF))), 14);
  EXPECT_EQ(model.write(to_bytes(encode_0401(7, 70000))), 14);
  EXPECT_EQ(model.side_messages().count_0301, 1u);
  EXPECT_EQ(model.side_messages().count_0401, 2u);
  EXPECT_EQ(model.side_messages().last_0401_first, 7u);
  EXPECT_EQ(model.side_messages().last_0401_second, 70000u);
  EXPECT_EQ(read_piece(model, 8).size(), 8u);
  EXPECT_EQ(samples(read_piece(model, 4)), (std::vector<uint16_t>{0, 37}));
}

TEST(CameraModelTest, QueryOrExposureAbandonsTheImage) {
  CameraModel model(ramp_config());
  model.write(expose_bytes(expose_of(0, 0, 2, 5, 1, 1, 0)));
  read_piece(model, 8);
  read_piece(model, 4);
  const unsigned generation = model.generation();
  model.write(to_bytes(encode_query()));
  EXPECT_NE(model.generation(), generation);
  EXPECT_EQ(read_piece(model, 92).size(), 92u);
  EXPECT_EQ(read_piece(model, 4), Bytes{});
  // A new exposure restarts at its header and its first row.
  model.write(expose_bytes(expose_of(0, 0, 2, 5, 1, 1, 0)));
  read_piece(model, 8);
  read_piece(model, 4);
  model.write(expose_bytes(expose_of(0, 1, 2, 5, 1, 1, 0)));
  EXPECT_EQ(model.frames(), 3u);
  EXPECT_EQ(read_piece(model, 8).size(), 8u);
  EXPECT_EQ(samples(read_piece(model, 4)), (std::vector<uint16_t>{101, 138}));
}

TEST(CameraModelTest, ImageHeaderWaitsForTheScaledExposureTime) {
  struct Case {
    double scale;
    uint32_t ms;
    double wait_ms;
  };
  const Case cases[] = {{0.0, 5000, 0.0}, {1.0, 2000, 2000.0}, {0.5, 3000, 1500.0}, {-1.0, 3000, 0.0}};
  for (const Case& c : cases) {
    ModelConfig config = ramp_config();
    config.time_scale = c.scale;
    CameraModel model(config);
    EXPECT_EQ(model.ready_at(), std::chrono::steady_clock::time_point::min());
    const auto before = std::chrono::steady_clock::now();
    model.write(expose_bytes(expose_of(0, 0, 2, 2, 1, 1, c.ms)));
    const auto after = std::chrono::steady_clock::now();
    const auto wait = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(c.wait_ms));
    EXPECT_GE(model.ready_at(), before + wait) << "scale " << c.scale;
    EXPECT_LE(model.ready_at(), after + wait) << "scale " << c.scale;
    // Rows need no wait once the header is read.
    read_piece(model, 8);
    EXPECT_EQ(model.ready_at(), std::chrono::steady_clock::time_point::min());
  }
}

TEST(CameraModelTest, CustomPatternSeesTheFrameAndIsClipped) {
  ModelConfig config;
  config.pattern = Pattern::Custom;
  config.pixel = [](const FrameContext& frame, uint32_t column, uint32_t row) -> uint32_t {
    if (frame.frame == 1) return 70000;
    return frame.frame * 1000 + frame.expose.exposure_ms + row * 10 + column;
  };
  CameraModel model(config);
  auto rows = take_frame(model, expose_of(5, 5, 6, 4, 2, 2, 300));
  EXPECT_EQ(rows, (std::vector<std::vector<uint16_t>>{{300, 301, 302}, {310, 311, 312}}));
  rows = take_frame(model, expose_of(0, 0, 2, 1, 1, 1, 300));
  EXPECT_EQ(rows, (std::vector<std::vector<uint16_t>>{{65535, 65535}}));
  rows = take_frame(model, expose_of(0, 0, 1, 1, 1, 1, 5));
  EXPECT_EQ(rows, (std::vector<std::vector<uint16_t>>{{2005}}));
}

// Faults: each one's exact effect on what the reads deliver.
TEST(CameraModelTest, QueryFaults) {
  const Bytes reply = to_bytes(query_reply_bytes(SensorConfig{}));
  struct Case {
    const char* name;
    Faults faults;
    ReadKind kind;
    Bytes bytes;
  };
  Faults short_reply;
  short_reply.short_query_reply = 1;
  Faults very_short;
  very_short.short_query_reply = 500;
  Faults failing;
  failing.fail_query_read = true;
  Faults wrong_type;
  wrong_type.reply_type = 0x1002;
  Bytes retyped = reply;
  retyped[6] = 0x02;
  const Case cases[] = {
      {"short", short_reply, ReadKind::Data, Bytes(reply.begin(), reply.end() - 1)},
      {"empty", very_short, ReadKind::Data, {}},
      {"failing", failing, ReadKind::Failed, {}},
      {"wrong type", wrong_type, ReadKind::Data, retyped},
  };
  for (const Case& c : cases) {
    ModelConfig config;
    config.faults = c.faults;
    CameraModel model(config);
    for (int query = 0; query < 2; ++query) {  // every query, not just the first
      model.write(to_bytes(encode_query()));
      Bytes buffer(92);
      const ReadResult result = model.read(buffer);
      buffer.resize(result.count);
      EXPECT_EQ(result.kind, c.kind) << c.name;
      EXPECT_EQ(buffer, c.bytes) << c.name;
      EXPECT_EQ(read_piece(model, 92), Bytes{}) << c.name;
    }
  }
}

TEST(CameraModelTest, ImageHeaderFaults) {
  // 3 rows of 2 samples: length 20.
  struct Case {
    const char* name;
    Faults faults;
    ReadKind kind;
    Bytes header;
    bool rows_follow;
  };
  Faults image_type;
  image_type.image_type = 0x2002;
  Faults longer;
  longer.image_length_offset = 1;
  Faults shorter;
  shorter.image_length_offset = -4;
  Faults short_header;
  short_header.short_header = 3;
  Faults failing;
  failing.fail_header_read = true;
  const Case cases[] = {
      {"none", Faults{}, ReadKind::Data, {0xDD, 0xCC, 20, 0, 0, 0, 0x01, 0x20}, true},
      {"type", image_type, ReadKind::Data, {0xDD, 0xCC, 20, 0, 0, 0, 0x02, 0x20}, true},
      {"length +1", longer, ReadKind::Data, {0xDD, 0xCC, 21, 0, 0, 0, 0x01, 0x20}, true},
      {"length -4", shorter, ReadKind::Data, {0xDD, 0xCC, 16, 0, 0, 0, 0x01, 0x20}, true},
      {"short", short_header, ReadKind::Data, {0xDD, 0xCC, 20, 0, 0}, true},
      {"failing", failing, ReadKind::Failed, {}, false},
  };
  for (const Case& c : cases) {
    ModelConfig config = ramp_config();
    config.faults = c.faults;
    CameraModel model(config);
    model.write(expose_bytes(expose_of(0, 0, 2, 3, 1, 1, 0)));
    Bytes buffer(8);
    const ReadResult result = model.read(buffer);
    buffer.resize(result.count);
    EXPECT_EQ(result.kind, c.kind) << c.name;
    EXPECT_EQ(buffer, c.header) << c.name;
    EXPECT_EQ(read_piece(model, 4), c.rows_follow ? (Bytes{0, 0, 37, 0}) : Bytes{}) << c.name;
  }
}

TEST(CameraModelTest, RowFaults) {
  // Rows of the 2 x 4 ramp window, 4 bytes each, with what each read returns.
  const Bytes row1{0, 0, 37, 0}, row2{101, 0, 138, 0}, row3{202, 0, 239, 0}, row4{47, 1, 84, 1};
  struct Step {
    ReadKind kind;
    Bytes bytes;
  };
  struct Case {
    const char* name;
    Faults faults;
    std::vector<Step> steps;  // reads after the header
  };
  Faults truncated;
  truncated.truncate_row = 2;
  Faults truncated3;
  truncated3.truncate_row = 3;
  truncated3.truncate_by = 3;
  Faults emptied;
  emptied.truncate_row = 1;
  emptied.truncate_by = 99;
  Faults failing;
  failing.fail_row = 3;
  Faults stalling;
  stalling.stall_row = 2;
  Faults beyond;
  beyond.fail_row = 5;
  beyond.stall_row = 9;
  const Step end{ReadKind::Data, {}};
  const Case cases[] = {
      {"truncated 2", truncated,
       {{ReadKind::Data, row1}, {ReadKind::Data, {101, 0}}, {ReadKind::Data, row3}, {ReadKind::Data, row4}, end}},
      {"truncated 3 by 3", truncated3,
       {{ReadKind::Data, row1}, {ReadKind::Data, row2}, {ReadKind::Data, {202}}, {ReadKind::Data, row4}, end}},
      {"emptied", emptied, {{ReadKind::Data, {}}, {ReadKind::Data, row2}}},
      {"failing 3", failing, {{ReadKind::Data, row1}, {ReadKind::Data, row2}, {ReadKind::Failed, {}}, end, end}},
      {"stalling 2", stalling, {{ReadKind::Data, row1}, {ReadKind::Stalled, {}}, {ReadKind::Stalled, {}}}},
      {"beyond the image", beyond,
       {{ReadKind::Data, row1}, {ReadKind::Data, row2}, {ReadKind::Data, row3}, {ReadKind::Data, row4}, end}},
  };
  for (const Case& c : cases) {
    ModelConfig config = ramp_config();
    config.faults = c.faults;
    CameraModel model(config);
    for (int frame = 0; frame < 2 && !model.stalled(); ++frame) {  // every exposure, not just the first
      model.write(expose_bytes(expose_of(0, 0, 2, 4, 1, 1, 0)));
      ASSERT_EQ(read_piece(model, 8).size(), 8u);
      for (std::size_t i = 0; i < c.steps.size(); ++i) {
        Bytes buffer(4);
        const ReadResult result = model.read(buffer);
        buffer.resize(result.count);
        EXPECT_EQ(result.kind, c.steps[i].kind) << c.name << " read " << i + 1;
        EXPECT_EQ(buffer, c.steps[i].bytes) << c.name << " read " << i + 1;
      }
    }
  }
}

TEST(CameraModelTest, StalledDeviceAnswersNothingMore) {
  ModelConfig config = ramp_config();
  config.faults.stall_row = 1;
  CameraModel model(config);
  model.write(expose_bytes(expose_of(0, 0, 2, 4, 1, 1, 0)));
  read_piece(model, 8);
  Bytes buffer(92);
  EXPECT_EQ(model.read(buffer).kind, ReadKind::Stalled);
  EXPECT_TRUE(model.stalled());
  EXPECT_EQ(model.write(to_bytes(encode_query())), 8);
  EXPECT_EQ(model.read(buffer).kind, ReadKind::Stalled);
}

// --- The synthetic sky ---

struct Frame {
  std::vector<std::vector<uint16_t>> rows;
  uint16_t at(uint32_t x, uint32_t y) const { return rows[y][x]; }
  uint32_t min() const {
    uint32_t m = 65535;
    for (const auto& row : rows) m = std::min<uint32_t>(m, *std::min_element(row.begin(), row.end()));
    return m;
  }
  // Largest sample with a horizontal neighbour at least as large (outside: 0).
  uint32_t filtered_max() const {
    uint32_t best = 0;
    for (const auto& row : rows) {
      for (std::size_t i = 0; i < row.size(); ++i) {
        const uint32_t left = i > 0 ? row[i - 1] : 0;
        const uint32_t right = i + 1 < row.size() ? row[i + 1] : 0;
        if (row[i] > best && (left >= row[i] || right >= row[i])) best = row[i];
      }
    }
    return best;
  }
};

Frame sky_frame(CameraModel& model, uint32_t ms, uint16_t bin = 1, uint16_t flags = 0) {
  const SensorConfig& s = model.config().sensor;
  return {take_frame(model, expose_of(0, 0, s.width, s.height, bin, bin, ms, flags))};
}

TEST(SkyTest, StarsAndHotPixelsAreWhereTheyAreDocumented) {
  const ModelConfig config;
  const std::vector<Star> stars = sky_stars(config.sensor, config.sky, config.seed);
  ASSERT_EQ(stars.size(), 50u);
  const Star& brightest = stars[0];
  EXPECT_EQ(brightest.peak, 20000.0);
  EXPECT_EQ(brightest.x - std::floor(brightest.x), 0.5);
  EXPECT_EQ(brightest.y, std::floor(brightest.y));
  EXPECT_GE(brightest.x, 1392 * 0.25);
  EXPECT_LE(brightest.x, 1392 * 0.75);
  EXPECT_GE(brightest.y, 1040 * 0.25);
  EXPECT_LE(brightest.y, 1040 * 0.75);
  for (std::size_t i = 1; i < stars.size(); ++i) EXPECT_LE(stars[i].peak, 0.55 * 20000.0);
  const std::vector<HotPixel> hot = sky_hot_pixels(config.sensor, config.sky, config.seed);
  EXPECT_EQ(hot.size(), 6u);
  for (std::size_t i = 0; i < hot.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      EXPECT_GE(std::max(std::abs(int(hot[i].x) - int(hot[j].x)), std::abs(int(hot[i].y) - int(hot[j].y))), 10);
    }
  }
}

TEST(SkyTest, DarkFrameHasBiasDarkCurrentNoiseAndHotPixelsOnly) {
  CameraModel model;
  const Frame dark = sky_frame(model, 4000, 1, EXPOSE_DARK);
  const std::vector<HotPixel> hot = sky_hot_pixels(SensorConfig{}, SkyConfig{}, 1);
  // Pedestal 1000 + 4 s x 1 count/s; the noise table ends at 4.17 sigma (12.5 counts).
  double sum = 0, squares = 0;
  std::size_t count = 0;
  for (uint32_t y = 0; y < 1040; ++y) {
    for (uint32_t x = 0; x < 1392; ++x) {
      const bool is_hot = std::any_of(hot.begin(), hot.end(), [&](const HotPixel& h) { return h.x == x && h.y == y; });
      const double v = dark.at(x, y);
      if (is_hot) {
        // 3000 + 4 s x 1000 counts/s above the pedestal, brighter than both neighbours.
        EXPECT_NEAR(v, 1004 + 7000, 13) << x << "," << y;
        if (x > 0) {
          EXPECT_GT(v, dark.at(x - 1, y));
        }
        if (x + 1 < 1392) {
          EXPECT_GT(v, dark.at(x + 1, y));
        }
        continue;
      }
      ASSERT_NEAR(v, 1004, 13) << x << "," << y;
      sum += v;
      squares += v * v;
      ++count;
    }
  }
  const double mean = sum / count;
  EXPECT_NEAR(mean, 1004, 0.05);
  // Read noise 3 counts plus rounding (1/12 count^2).
  EXPECT_NEAR(std::sqrt(squares / count - mean * mean), std::sqrt(9.0 + 1.0 / 12), 0.05);
  // Hot pixels do not count towards the filtered maximum.
  EXPECT_LE(dark.filtered_max(), 1004 + 13u);
}

TEST(SkyTest, StarsFollowTheirGaussianProfile) {
  ModelConfig config;
  config.sky.read_noise = 0;
  CameraModel model(config);
  const Frame frame = sky_frame(model, 1500);
  const std::vector<Star> stars = sky_stars(config.sensor, config.sky, config.seed);
  const double two_var = 2 * 1.2 * 1.2;
  auto expected = [&](uint32_t x, uint32_t y) {
    double v = 1000 + 1.5;
    for (const Star& s : stars) {
      const double r2 = (x - s.x) * (x - s.x) + (y - s.y) * (y - s.y);
      if (r2 <= 7.2 * 7.2 * 2) v += s.peak * 1.5 * std::exp(-r2 / two_var);
    }
    return std::min(65535.0, std::nearbyint(v));
  };
  const Star& b = stars[0];
  const auto bx = static_cast<uint32_t>(b.x - 0.5);
  const auto by = static_cast<uint32_t>(b.y);
  // Hot pixels keep more than 10 pixels from a star's centre.
  for (uint32_t y = by - 6; y <= by + 6; ++y) {
    for (uint32_t x = bx - 6; x <= bx + 7; ++x) ASSERT_NEAR(frame.at(x, y), expected(x, y), 1.0) << x << "," << y;
  }
  // The two pixels either side of the centre: 30000 x exp(-0.25 / 2.88).
  EXPECT_NEAR(frame.at(bx, by), 1001.5 + 30000 * std::exp(-0.25 / two_var), 1.0);
  EXPECT_EQ(frame.at(bx, by), frame.at(bx + 1, by));
  EXPECT_EQ(frame.filtered_max(), frame.at(bx, by));
}

TEST(SkyTest, DarkFlagRemovesTheStars) {
  CameraModel model;
  const Star b = sky_stars(SensorConfig{}, SkyConfig{}, 1)[0];
  const auto bx = static_cast<uint32_t>(b.x - 0.5);
  const auto by = static_cast<uint32_t>(b.y);
  const Frame light = sky_frame(model, 1000);
  const Frame dark = sky_frame(model, 1000, 1, EXPOSE_DARK);
  EXPECT_GT(light.at(bx, by), 15000);
  EXPECT_NEAR(dark.at(bx, by), 1001, 13);
}

TEST(SkyTest, BrightStarsSaturateAt65535) {
  CameraModel model;
  const Star b = sky_stars(SensorConfig{}, SkyConfig{}, 1)[0];
  const auto bx = static_cast<uint32_t>(b.x - 0.5);
  const auto by = static_cast<uint32_t>(b.y);
  const Frame frame = sky_frame(model, 10000);
  EXPECT_EQ(frame.at(bx, by), 65535);
  EXPECT_EQ(frame.at(bx + 1, by), 65535);
  EXPECT_EQ(frame.filtered_max(), 65535u);
}

TEST(SkyTest, BinningSumsChargeOverOneBiasLevel) {
  ModelConfig config;
  config.sky.read_noise = 0;
  CameraModel model(config);
  const Frame unbinned = sky_frame(model, 500);
  const Frame binned = sky_frame(model, 500, 2);
  ASSERT_EQ(binned.rows.size(), 520u);
  ASSERT_EQ(binned.rows[0].size(), 696u);
  const double pedestal = 1000.5;
  for (uint32_t y = 0; y < 520; ++y) {
    for (uint32_t x = 0; x < 696; ++x) {
      double charge = 0;
      for (uint32_t dy = 0; dy < 2; ++dy) {
        for (uint32_t dx = 0; dx < 2; ++dx) charge += unbinned.at(2 * x + dx, 2 * y + dy) - pedestal;
      }
      // Each unbinned value was rounded once: up to 4 half counts apart.
      ASSERT_NEAR(binned.at(x, y), std::min(65535.0, 1000 + 2.0 + charge), 2.5) << x << "," << y;
    }
  }
  EXPECT_LT(binned.min(), 1500u);
}

TEST(SkyTest, SubWindowsMatchTheFullFrame) {
  CameraModel full;
  CameraModel window;
  const Frame frame = sky_frame(full, 800, 2);
  const auto part = take_frame(window, expose_of(100, 50, 400, 60, 2, 2, 800));
  for (uint32_t y = 0; y < part.size(); ++y) {
    for (uint32_t x = 0; x < part[y].size(); ++x) ASSERT_EQ(part[y][x], frame.at(50 + x, 25 + y)) << x << "," << y;
  }
}

TEST(SkyTest, SameSeedSameFramesOtherSeedOtherFrames) {
  ModelConfig other;
  other.seed = 2;
  CameraModel a, b, c(other);
  const Frame a0 = sky_frame(a, 1000), a1 = sky_frame(a, 1000);
  const Frame b0 = sky_frame(b, 1000);
  const Frame c0 = sky_frame(c, 1000);
  EXPECT_EQ(a0.rows, b0.rows);
  EXPECT_NE(a0.rows, a1.rows);  // a new frame, new noise
  EXPECT_NE(a0.rows, c0.rows);
  const Star sa = sky_stars(SensorConfig{}, SkyConfig{}, 1)[0];
  const Star sc = sky_stars(SensorConfig{}, SkyConfig{}, 2)[0];
  EXPECT_TRUE(sa.x != sc.x || sa.y != sc.y);
  // The stars stay put from frame to frame: the brightest peak moves only by noise.
  const auto x = static_cast<uint32_t>(sa.x - 0.5), y = static_cast<uint32_t>(sa.y);
  EXPECT_NEAR(a0.at(x, y), a1.at(x, y), 26);
}

// The calibration's arithmetic: the signal above the dark level grows in
// proportion to the exposure time, so one test frame predicts the time that
// brings the brightest star's filtered peak to the target.
TEST(SkyTest, SignalAboveDarkLevelScalesWithExposureTime) {
  struct Case {
    double star_peak;
    uint16_t bin;
  };
  const Case cases[] = {{500, 1}, {5000, 1}, {50000, 1}, {500, 2}, {5000, 2}, {50000, 2}};
  for (const Case& c : cases) {
    ModelConfig config;
    config.sky.star_peak = c.star_peak;
    CameraModel model(config);
    const double target = c.bin == 1 ? 40000 : 50000;
    uint32_t test_ms = 300000 / 151;
    Frame test = sky_frame(model, test_ms, c.bin);
    while (test.filtered_max() > (c.bin == 1 ? 60000u : 65000u) && test_ms > 1) {
      test_ms = std::max(1u, test_ms >> 7);
      test = sky_frame(model, test_ms, c.bin);
    }
    const uint32_t dark = std::min(test.min(), 1500u);
    EXPECT_LT(test.min(), 1500u);
    const auto final_ms = static_cast<uint32_t>(test_ms * (target / (test.filtered_max() - dark)));
    const Frame final_frame = sky_frame(model, final_ms, c.bin);
    const double signal = final_frame.filtered_max() - std::min(final_frame.min(), 1500u);
    EXPECT_NEAR(signal, target, target * 0.05) << "peak " << c.star_peak << " bin " << c.bin << " test " << test_ms
                                               << " ms, final " << final_ms << " ms";
  }
}

}  // namespace
}  // namespace ccdsim
