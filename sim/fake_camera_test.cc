#include "sim/fake_camera.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sim/sim_test_support.h"
#include "tests/support/test_support.h"

namespace ccdsim {
namespace {

using namespace ccdsim::test;

// The pieces a model with this config delivers for the same writes.
ModelConfig ramp(uint16_t width = 1392, uint16_t height = 1040) {
  ModelConfig config;
  config.pattern = Pattern::Ramp;
  config.sensor.width = width;
  config.sensor.height = height;
  return config;
}

TEST(FakeCameraTest, QueryAnswersWithTheModelsReply) {
  FakeCamera fake;
  send_message(fake.fd(), to_bytes(encode_query()));
  const Read reply = read_once(fake.fd(), 92);
  EXPECT_EQ(reply.bytes, to_bytes(query_reply_bytes(SensorConfig{})));
  EXPECT_EQ(fake.messages(), std::vector<Bytes>{to_bytes(encode_query())});
  EXPECT_TRUE(fake.exposures().empty());
}

TEST(FakeCameraTest, CameraQueryFillsTheRecord) {
  FakeCamera fake;
  CameraInfo camera = make_camera_info();
  ASSERT_EQ(camera_query(camera, fake.fd()), 1);
  EXPECT_EQ(camera.device_fd, fake.fd());
  EXPECT_EQ(camera.width, 1392);
  EXPECT_EQ(camera.height, 1040);
  EXPECT_EQ(camera.bits_per_pixel, 16);
  EXPECT_EQ(camera.default_depth, 16);
  EXPECT_FLOAT_EQ(camera.pixel_width, 6.4f);  // raw 1651 = 6.449 micrometres, to the nearest tenth
  EXPECT_STREQ(camera.model, "CCDSIM");
}

TEST(FakeCameraTest, ExposureDeliversTheModelsHeaderAndRows) {
  struct Case {
    Pattern pattern;
    uint16_t width, height, bin, x, y;
    uint32_t ms;
  };
  const Case cases[] = {
      {Pattern::Ramp, 1392, 300, 1, 0, 0, 2500},
      {Pattern::Sky, 1392, 1040, 2, 0, 0, 1000},
      {Pattern::Sky, 400, 200, 1, 300, 200, 4000},
  };
  for (const Case& c : cases) {
    ModelConfig config;
    config.pattern = c.pattern;
    FakeCamera fake(config);
    CameraModel model(config);
    const Bytes expose = expose_bytes(c.width, c.height, c.bin, c.ms, c.x, c.y);
    send_message(fake.fd(), expose);
    model.write(expose);
    const std::size_t row = static_cast<std::size_t>(c.width / c.bin) * 2;
    EXPECT_EQ(read_once(fake.fd(), 8).bytes, model_piece(model, 8));
    for (int r = 0; r < c.height / c.bin; ++r) {
      // A larger buffer still gets one row.
      const Read got = read_once(fake.fd(), r % 2 == 0 ? row : row * 2);
      ASSERT_EQ(got.count, static_cast<ssize_t>(row)) << "row " << r + 1;
      ASSERT_EQ(got.bytes, model_piece(model, row)) << "row " << r + 1;
    }
    ASSERT_EQ(fake.exposures().size(), 1u);
    const ExposeMessage e = fake.exposures()[0];
    EXPECT_EQ(e.width, c.width);
    EXPECT_EQ(e.height, c.height);
    EXPECT_EQ(e.x_origin, c.x);
    EXPECT_EQ(e.y_origin, c.y);
    EXPECT_EQ(e.x_bin, c.bin);
    EXPECT_EQ(e.exposure_ms, c.ms);
  }
}

TEST(FakeCameraTest, SmallerReadGetsTheStartOfOnePiece) {
  FakeCamera fake(ramp());
  send_message(fake.fd(), expose_bytes(4, 2, 1, 0));
  EXPECT_EQ(read_once(fake.fd(), 8).count, 8);
  EXPECT_EQ(read_once(fake.fd(), 2).bytes, (Bytes{0, 0}));
  EXPECT_EQ(read_once(fake.fd(), 8).bytes, (Bytes{101, 0, 138, 0, 175, 0, 212, 0}));
}

TEST(FakeCameraTest, RecordsEveryWriteInOrder) {
  FakeCamera fake(ramp());
  const Bytes expose = expose_bytes(10, 10, 1, 5);
  const Bytes refused{0xDD, 0xCC, 5, 0, 0, 0, 1, 1, 0};
  const std::vector<Bytes> writes = {to_bytes(encode_0301()), expose, to_bytes(encode_0401(3, 70000)), refused,
                                     to_bytes(encode_query())};
  // Side messages and refused writes leave the image to be read whole.
  for (std::size_t i = 0; i < 4; ++i) send_message(fake.fd(), writes[i]);
  EXPECT_EQ(read_once(fake.fd(), 8).count, 8);
  for (int r = 0; r < 10; ++r) EXPECT_EQ(read_once(fake.fd(), 20).count, 20);
  // Once the query is answered, every write has been taken.
  send_message(fake.fd(), writes[4]);
  EXPECT_EQ(read_once(fake.fd(), 92).count, 92);
  EXPECT_EQ(fake.messages(), writes);
  ASSERT_EQ(fake.exposures().size(), 1u);
  EXPECT_EQ(fake.exposures()[0].exposure_ms, 5u);
}

// Faults: what read() returns to the program, exactly.
TEST(FakeCameraTest, FaultsAsTheProgramSeesThem) {
  struct Case {
    const char* name;
    Faults faults;
    std::vector<std::size_t> reads;  // sizes of the reads after the write
    std::vector<ssize_t> counts;     // what they return
    int error;                       // errno of the -1
  };
  Faults short_reply;
  short_reply.short_query_reply = 1;
  Faults failing_reply;
  failing_reply.fail_query_read = true;
  Faults short_header;
  short_header.short_header = 3;
  Faults failing_header;
  failing_header.fail_header_read = true;
  Faults truncated;
  truncated.truncate_row = 2;
  Faults failing_row;
  failing_row.fail_row = 3;
  const Case cases[] = {
      {"short reply", short_reply, {92}, {91}, 0},
      {"failing reply", failing_reply, {92, 92}, {-1, 0}, ECONNRESET},
      {"short header", short_header, {8, 20}, {5, 20}, 0},
      {"failing header", failing_header, {8, 20}, {-1, 0}, ECONNRESET},
      {"truncated row", truncated, {8, 20, 20, 20}, {8, 20, 18, 20}, 0},
      {"failing row", failing_row, {8, 20, 20, 20, 20}, {8, 20, 20, -1, 0}, ECONNRESET},
  };
  for (const Case& c : cases) {
    ModelConfig config = ramp();
    config.faults = c.faults;
    FakeCamera fake(config);
    send_message(fake.fd(), c.reads[0] == 92 ? to_bytes(encode_query()) : expose_bytes(10, 10, 1, 0));
    for (std::size_t i = 0; i < c.reads.size(); ++i) {
      const Read got = read_once(fake.fd(), c.reads[i]);
      EXPECT_EQ(got.count, c.counts[i]) << c.name << " read " << i + 1;
      if (got.count < 0) {
        EXPECT_EQ(got.error, c.error) << c.name;
      }
    }
  }
}

// The failure lands on row K however far ahead of the reads the fake has
// sent: here 200 rows of 16000 bytes, more than the socket holds.
TEST(FakeCameraTest, FailingRowWaitsForTheRowsBeforeIt) {
  ModelConfig config = ramp(8000, 400);
  config.faults.fail_row = 200;
  FakeCamera fake(config);
  CameraModel model(ramp(8000, 400));
  const Bytes expose = expose_bytes(8000, 400, 1, 77);
  send_message(fake.fd(), expose);
  model.write(expose);
  EXPECT_EQ(read_once(fake.fd(), 8).bytes, model_piece(model, 8));
  for (int r = 1; r < 200; ++r) {
    if (r % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the fake run ahead
    ASSERT_EQ(read_once(fake.fd(), 16000).bytes, model_piece(model, 16000)) << "row " << r;
  }
  const Read failed = read_once(fake.fd(), 16000);
  EXPECT_EQ(failed.count, -1);
  EXPECT_EQ(failed.error, ECONNRESET);
}

// A program already blocked in its read when the failure comes sees it too.
TEST(FakeCameraTest, FailureReachesABlockedRead) {
  ModelConfig config = ramp();
  config.faults.fail_header_read = true;
  config.time_scale = 1.0;
  FakeCamera fake(config);
  send_message(fake.fd(), expose_bytes(10, 10, 1, 200));
  const Read got = read_once(fake.fd(), 8);
  EXPECT_EQ(got.count, -1);
  EXPECT_EQ(got.error, ECONNRESET);
}

TEST(FakeCameraTest, ExposureWaitDelaysOnlyTheHeader) {
  ModelConfig config = ramp();
  config.time_scale = 1.0;
  FakeCamera fake(config);
  send_message(fake.fd(), expose_bytes(10, 2, 1, 300));
  pollfd p{fake.fd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);  // nothing to read while the exposure runs
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read_once(fake.fd(), 8).count, 8);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_EQ(read_once(fake.fd(), 20).count, 20);
  EXPECT_EQ(read_once(fake.fd(), 20).count, 20);
}

TEST(FakeCameraTest, StalledReadBlocksUntilTheFakeIsDestroyed) {
  ModelConfig config = ramp();
  config.faults.stall_row = 3;
  auto fake = std::make_unique<FakeCamera>(config);
  const int fd = fake->fd();
  send_message(fd, expose_bytes(10, 10, 1, 0));
  EXPECT_EQ(read_once(fd, 8).count, 8);
  EXPECT_EQ(read_once(fd, 20).count, 20);
  EXPECT_EQ(read_once(fd, 20).count, 20);
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 200), 0);  // row 3 never comes
  ssize_t blocked = 99;
  std::thread reader([&] { blocked = read_once(fd, 20).count; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  fake.reset();
  reader.join();
  EXPECT_EQ(blocked, 0);
}

TEST(FakeCameraTest, DestructorStopsWhenNothingWasRead) {
  for (int i = 0; i < 3; ++i) {
    FakeCamera fake(ramp(16384, 16384));
    send_message(fake.fd(), expose_bytes(16384, 16384, 1, 1));
    if (i == 1) send_message(fake.fd(), to_bytes(encode_query()));
    if (i == 2) {
      EXPECT_EQ(read_once(fake.fd(), 8).count, 8);
    }
  }
}

TEST(FakeCameraTest, LeavesAProgramClosedDescriptorAlone) {
  int reused = -1;
  {
    FakeCamera fake;
    const int fd = fake.fd();
    ASSERT_EQ(close(fd), 0);
    reused = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(reused, fd);
  }
  EXPECT_NE(fcntl(reused, F_GETFD), -1);
  close(reused);
}

// The program's own query code sees each query fault with its message.
TEST(FakeCameraTest, CameraQueryReportsEachQueryFault) {
  struct Case {
    const char* name;
    Faults faults;
    std::string err;
  };
  Faults short_reply;
  short_reply.short_query_reply = 1;
  Faults failing;
  failing.fail_query_read = true;
  Faults wrong_type;
  wrong_type.reply_type = 0x1002;
  const Case cases[] = {
      {"short", short_reply, "CCD message length wrong: 91\n"},
      {"failing", failing, "CCD message length wrong: -1\n"},
      {"wrong type", wrong_type, "Wrong message returned from query: 0x1002"},
  };
  for (const Case& c : cases) {
    const auto result = testing_support::run_in_child([&] {
      ModelConfig config;
      config.faults = c.faults;
      FakeCamera fake(config);
      CameraInfo camera = make_camera_info();
      const int ok = camera_query(camera, fake.fd());
      return ok == 0 && camera.device_fd == 0 && camera.width == 0 ? 0 : 1;
    });
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(result.err, c.err) << c.name;
  }
}

}  // namespace
}  // namespace ccdsim
