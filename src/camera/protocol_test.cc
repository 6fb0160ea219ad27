#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera.h"
#include "tests/support/test_support.h"
#include "tests/support/writer_test_support.h"

using testing_support::run_in_child;

namespace {

using Bytes = std::vector<uint8_t>;

template <std::size_t N>
Bytes bytes_of(const std::array<uint8_t, N>& array) {
  return Bytes(array.begin(), array.end());
}

// A device stand-in on a SOCK_SEQPACKET pair: it takes one message, then
// answers with `reply` (or, with `reset`, closes with the message unread so
// that the reader's next read fails).
struct QueryPeer {
  int program_fd = -1;
  int device_fd = -1;
  Bytes received;
  std::thread thread;

  explicit QueryPeer(Bytes reply, bool reset = false) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) throw std::runtime_error("socketpair");
    program_fd = fds[0];
    device_fd = fds[1];
    thread = std::thread([this, reply = std::move(reply), reset] {
      if (reset) {
        pollfd pfd{device_fd, POLLIN, 0};
        poll(&pfd, 1, -1);
        close(device_fd);
        device_fd = -1;
        return;
      }
      Bytes buffer(256);
      const ssize_t n = read(device_fd, buffer.data(), buffer.size());
      if (n > 0) received.assign(buffer.begin(), buffer.begin() + n);
      if (!reply.empty()) (void)!write(device_fd, reply.data(), reply.size());
    });
  }
  ~QueryPeer() {
    if (thread.joinable()) thread.join();
    if (device_fd >= 0) close(device_fd);
    if (program_fd >= 0) close(program_fd);
  }
};

QueryReply sample_reply() {
  QueryReply reply{};
  reply.header = {MSG_MAGIC, MSG_QUERY_REPLY_SIZE, MSG_QUERY_REPLY};
  reply.model.fill(' ');
  std::memcpy(reply.model.data(), "KX-1", 4);
  reply.width = 1392;
  reply.height = 1040;
  reply.pixel_width = 1651;
  reply.pixel_height = 1894;
  reply.aux_1 = 0x1234;
  reply.bits_per_pixel = 16;
  reply.default_depth = 12;
  reply.aux_2 = 0xBEEF;
  return reply;
}

// Queries a peer serving `reply` in a child and prints the record and result.
testing_support::ChildResult query_in_child(const Bytes& reply, bool reset = false) {
  return run_in_child([&] {
    QueryPeer peer(reply, reset);
    CameraInfo camera = make_camera_info();
    const int ok = camera_query(camera, peer.program_fd);
    std::printf("ok=%d fd=%s w=%d h=%d bpp=%d aux1=%d depth=%d aux2=%d px=%.1f py=%.1f model=[%s]\n", ok,
                camera.device_fd == peer.program_fd ? "set" : std::to_string(camera.device_fd).c_str(),
                camera.width, camera.height, camera.bits_per_pixel, camera.aux_1, camera.default_depth,
                camera.aux_2, camera.pixel_width, camera.pixel_height, camera.model);
    if (peer.thread.joinable()) peer.thread.join();
    if (!reset && peer.received != bytes_of(encode_query())) std::printf("query bytes differ\n");
    if (reset) camera.device_fd = 0;
    return 0;
  });
}

}  // namespace

TEST(ProtocolTest, FreshRecords) {
  CameraInfo camera = make_camera_info();
  EXPECT_STREQ(camera.device_path, "/dev/ccda");
  for (std::size_t i = sizeof "/dev/ccda"; i < sizeof camera.device_path; ++i) EXPECT_EQ(camera.device_path[i], 0);
  EXPECT_EQ(camera.device_fd, 0);
  EXPECT_EQ(camera.width, 0);
  EXPECT_STREQ(camera.model, "");
  const ExposureRequest request = make_exposure_request(&camera);
  EXPECT_EQ(request.camera, &camera);
  EXPECT_EQ(request.width, 0);
  EXPECT_EQ(request.exposure_ms, 0u);
  EXPECT_EQ(request.rows_read, 0);
}

TEST(ProtocolTest, HeaderLengthTravelsAsTwoHalvesLowFirst) {
  std::array<uint8_t, 8> bytes{};
  encode_header({MSG_MAGIC, 0x00123456, MSG_IMAGE}, bytes);
  EXPECT_EQ(bytes_of(bytes), (Bytes{0xDD, 0xCC, 0x56, 0x34, 0x12, 0x00, 0x01, 0x20}));
  const MessageHeader header = decode_header(bytes);
  EXPECT_EQ(header.magic, MSG_MAGIC);
  EXPECT_EQ(header.length, 0x00123456u);
  EXPECT_EQ(header.type, MSG_IMAGE);
}

TEST(ProtocolTest, OutgoingMessagesByteForByte) {
  EXPECT_EQ(bytes_of(encode_query()), (Bytes{0xDD, 0xCC, 8, 0, 0, 0, 0x01, 0x01}));
  EXPECT_EQ(bytes_of(encode_0301()), (Bytes{0xDD, 0xCC, 8, 0, 0, 0, 0x01, 0x03}));
  EXPECT_EQ(bytes_of(encode_0401(0x12345, 0xA0B0C0D0)),
            (Bytes{0xDD, 0xCC, 14, 0, 0, 0, 0x01, 0x04, 0x45, 0x23, 0xD0, 0xC0, 0xB0, 0xA0}));
  EXPECT_EQ(bytes_of(encode_image_header(300 * 1000 + 8)),
            (Bytes{0xDD, 0xCC, 0xE8, 0x93, 0x04, 0x00, 0x01, 0x20}));
}

TEST(ProtocolTest, ExposeMessageCarriesSizeBeforeOrigin) {
  CameraInfo camera = make_camera_info();
  ExposureRequest request = make_exposure_request(&camera);
  request.width = 500;
  request.height = 300;
  request.x_origin = 20;
  request.y_origin = 10;
  request.x_bin = 2;
  request.y_bin = 1;
  request.depth = 16;
  request.flags = EXPOSE_DARK;
  request.exposure_ms = 70000;
  const auto bytes = encode_expose(request);
  EXPECT_EQ(bytes_of(bytes), (Bytes{0xDD, 0xCC, 28, 0, 0, 0, 0x01, 0x02,  //
                                    0xF4, 0x01, 0x2C, 0x01, 20, 0, 10, 0, 2, 0, 1, 0, 16, 0, 0x10, 0,
                                    0x70, 0x11, 0x01, 0x00}));
  const ExposeMessage decoded = decode_expose(bytes);
  EXPECT_EQ(decoded.width, 500);
  EXPECT_EQ(decoded.height, 300);
  EXPECT_EQ(decoded.x_origin, 20);
  EXPECT_EQ(decoded.y_origin, 10);
  EXPECT_EQ(decoded.x_bin, 2);
  EXPECT_EQ(decoded.y_bin, 1);
  EXPECT_EQ(decoded.depth, 16);
  EXPECT_EQ(decoded.flags, 0x10);
  EXPECT_EQ(decoded.exposure_ms, 70000u);
  // Only the low 16 bits of each field go on the wire.
  request.width = 0x12345;
  request.x_origin = -1;
  const ExposeMessage wrapped = decode_expose(encode_expose(request));
  EXPECT_EQ(wrapped.width, 0x2345);
  EXPECT_EQ(wrapped.x_origin, 0xFFFF);
}

TEST(ProtocolTest, QueryReplyLayout) {
  const auto bytes = encode_query_reply(sample_reply());
  EXPECT_EQ(get_u16(bytes, 6), MSG_QUERY_REPLY);
  EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 12), "KX-1");
  const std::pair<std::size_t, uint16_t> fields[] = {{74, 1392}, {76, 1040},  {78, 1651}, {80, 1894},
                                                     {82, 0x1234}, {84, 16}, {86, 12},   {88, 0xBEEF}};
  for (const auto& [offset, value] : fields) EXPECT_EQ(get_u16(bytes, offset), value) << offset;
  const QueryReply decoded = decode_query_reply(bytes);
  EXPECT_EQ(decoded.width, 1392);
  EXPECT_EQ(decoded.aux_2, 0xBEEF);
  EXPECT_EQ(decoded.model, sample_reply().model);
}

TEST(ProtocolTest, PixelSizeToTheNearestTenth) {
  const std::pair<uint16_t, float> cases[] = {
      {2304, 9.0f}, {1894, 7.4f}, {1856, 7.3f}, {1855, 7.2f}, {0, 0.0f}, {65535, 256.0f}, {1651, 6.4f},
  };
  for (const auto& [raw, size] : cases) EXPECT_EQ(pixel_size_from_raw(raw), size) << raw;
}

TEST(ProtocolTest, ModelTextTrimming) {
  struct Case {
    std::string raw;  // up to 32 bytes, padded with `pad`
    char pad;
    std::string expected;
  };
  const Case cases[] = {
      {"ABC", ' ', "ABC"},
      {"ABC", '\0', "ABC"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", ' ', "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"},
      {"", ' ', " "},  // byte 0 is never trimmed
      {std::string("ABC\0DEF", 7), ' ', "ABC"},
      {"A B  ", ' ', "A B"},
      // Byte 31 neither blank nor NUL: nothing is trimmed.
      {std::string("AB") + std::string(29, ' ') + "Z", ' ', "AB" + std::string(29, ' ') + "Z"},
  };
  for (const auto& c : cases) {
    std::array<uint8_t, 32> raw;
    raw.fill(static_cast<uint8_t>(c.pad));
    std::memcpy(raw.data(), c.raw.data(), c.raw.size());
    char model[33];
    std::memset(model, 'q', sizeof model);
    copy_model_text(raw, model);
    EXPECT_EQ(std::string(model), c.expected);
    EXPECT_EQ(model[32], '\0');
  }
}

TEST(ProtocolTest, QueryFillsTheRecord) {
  const auto result = query_in_child(bytes_of(encode_query_reply(sample_reply())));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out,
            "ok=1 fd=set w=1392 h=1040 bpp=16 aux1=4660 depth=12 aux2=48879 px=6.4 py=7.4 model=[KX-1]\n");
  EXPECT_EQ(result.err, "");
}

TEST(ProtocolTest, ReplyMagicAndLengthAreNotTested) {
  QueryReply reply = sample_reply();
  reply.header.magic = 0x1111;
  reply.header.length = 3;
  const auto result = query_in_child(bytes_of(encode_query_reply(reply)));
  EXPECT_EQ(result.out.substr(0, 11), "ok=1 fd=set");
  EXPECT_EQ(result.err, "");
}

TEST(ProtocolTest, QueryFailuresLeaveTheRecordUnchanged) {
  Bytes good = bytes_of(encode_query_reply(sample_reply()));
  Bytes wrong_type = good;
  wrong_type[6] = 0x02;  // 0x1002
  struct Case {
    Bytes reply;
    bool reset;
    std::string err;
  };
  const Case cases[] = {
      {Bytes(good.begin(), good.begin() + 91), false, "CCD message length wrong: 91\n"},
      {Bytes(good.begin(), good.begin() + 8), false, "CCD message length wrong: 8\n"},
      {{}, true, "CCD message length wrong: -1\n"},
      {wrong_type, false, "Wrong message returned from query: 0x1002"},
  };
  const std::string untouched =
      "ok=0 fd=0 w=0 h=0 bpp=0 aux1=0 depth=0 aux2=0 px=0.0 py=0.0 model=[]\n";
  for (const auto& c : cases) {
    const auto result = query_in_child(c.reply, c.reset);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, untouched) << c.err;
  }
}

TEST(ProtocolTest, OpenOfAMissingDeviceFailsSilently) {
  testing_support::TempDir dir;
  const std::string path = dir.file("ccda");
  const auto result = run_in_child([&] {
    CameraInfo camera = make_camera_info();
    std::snprintf(camera.device_path, sizeof camera.device_path, "%s", path.c_str());
    std::printf("%d %d", camera_open(camera), camera.device_fd);
    return 0;
  });
  EXPECT_EQ(result.out, "0 0");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(testing_support::file_exists(path));  // never created
}

namespace {

// camera_open on a path in a child: its result and device_fd on standard
// output, its messages on standard error.
testing_support::ChildResult open_in_child(const std::string& path, bool new_session = false) {
  return run_in_child([&] {
    // Without a controlling terminal /dev/tty cannot be opened: only a
    // refusal made before the open can name it.
    if (new_session) setsid();
    CameraInfo camera = make_camera_info();
    std::snprintf(camera.device_path, sizeof camera.device_path, "%s", path.c_str());
    std::printf("%d %d", camera_open(camera), camera.device_fd);
    return 0;
  });
}

}  // namespace

TEST(ProtocolTest, OpenOfACameraLockedByAnotherRunSendsNothing) {
  // The camera is an empty file on a FUSE file system, as ccdsim serves it.
  writer_test::FailingCloseFs fs;
  if (!fs.mounted()) GTEST_SKIP() << fs.reason();
  const std::string path = fs.file("ccda");
  const int holder = open(path.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  auto result = open_in_child(path);
  EXPECT_EQ(result.out, "0 0");
  EXPECT_EQ(result.err, path + ": camera in use by another process\n");
  EXPECT_EQ(fs.bytes_written(), 0u);  // no query was written
  // Once the holder lets go, the query goes out (and the empty file has no
  // reply).
  close(holder);
  result = open_in_child(path);
  EXPECT_EQ(result.out, "0 0");
  EXPECT_EQ(result.err, "CCD message length wrong: 0\n");
  EXPECT_EQ(fs.bytes_written(), encode_query().size());
}

TEST(ProtocolTest, OpenRefusesWhatIsNoCameraBeforeWritingToIt) {
  testing_support::TempDir dir;
  // A file whose bytes 14-15 read 0x1001, as a query reply's type would.
  std::string image(4096, 'x');
  image[14] = 0x01;
  image[15] = 0x10;
  const std::string data = dir.file("m42.fits");
  testing_support::write_file(data, image);
  ASSERT_EQ(symlink(data.c_str(), dir.file("ccda").c_str()), 0);
  testing_support::write_file(dir.file("empty"), "");
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.file("socket").c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int master = -1;
  int slave = -1;
  char terminal[64];
  // Raw, with reads that return at once: a terminal taken for a camera fails
  // its query instead of waiting for a line.
  termios raw{};
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  ASSERT_EQ(openpty(&master, &slave, terminal, &raw, nullptr), 0);

  struct Case {
    std::string path;
    std::string why;
  };
  const Case cases[] = {
      {data, "a regular file"},
      {dir.file("ccda"), "a regular file"},  // the symlink's target is what counts
      {dir.file("empty"), "a regular file"},  // empty, but on no FUSE file system
      {dir.path(), "a directory"},
      {dir.file("fifo"), "a FIFO"},
      {dir.file("socket"), "a socket"},
      {"/dev/null", "a memory device"},
      {"/dev/zero", "a memory device"},
      {terminal, "a terminal"},  // a pseudo-terminal, caught once open
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const auto result = open_in_child(c.path);
    EXPECT_EQ(result.out, "0 0");
    EXPECT_EQ(result.err, c.path + ": " + c.why + ", not a camera\n");
  }
  EXPECT_EQ(testing_support::read_file(data), image);
  pollfd from_terminal{master, POLLIN, 0};
  EXPECT_EQ(poll(&from_terminal, 1, 0), 0);  // nothing was sent to the terminal
  close(slave);
  close(master);
  close(listener);

  // A terminal that the device tree lists is refused before it is opened.
  struct stat tty {};
  if (stat("/dev/tty", &tty) != 0) GTEST_SKIP() << "/dev/tty is absent";
  char listing[64];
  std::snprintf(listing, sizeof listing, "/sys/dev/char/%u:%u", major(tty.st_rdev), minor(tty.st_rdev));
  if (access(listing, F_OK) != 0) GTEST_SKIP() << listing << " is absent (no device tree under /sys)";
  const auto result = open_in_child("/dev/tty", true);
  EXPECT_EQ(result.out, "0 0");
  EXPECT_EQ(result.err, "/dev/tty: a terminal, not a camera\n");
}

TEST(ProtocolTest, CloseOnlyWhatIsOpen) {
  CameraInfo camera = make_camera_info();
  EXPECT_EQ(camera_close(camera), 0);
  EXPECT_NE(fcntl(0, F_GETFD), -1);  // descriptor 0 was not closed

  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
  camera.device_fd = fds[0];
  EXPECT_EQ(camera_close(camera), 0);
  EXPECT_EQ(camera.device_fd, 0);
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);  // it was closed
  close(fds[1]);

  camera.device_fd = 1000;  // not open: close's failure is returned
  EXPECT_EQ(camera_close(camera), -1);
  EXPECT_EQ(camera.device_fd, 0);
}

TEST(ProtocolTest, SendsOtherMessagesInOneWrite) {
  QueryPeer peer0301({});
  CameraInfo camera = make_camera_info();
  camera.device_fd = peer0301.program_fd;
  ExposureRequest request = make_exposure_request(&camera);
  EXPECT_EQ(camera_send_0301(request), 8);
  peer0301.thread.join();
  EXPECT_EQ(peer0301.received, bytes_of(encode_0301()));

  QueryPeer peer0401({});
  camera.device_fd = peer0401.program_fd;
  EXPECT_EQ(camera_send_0401(camera, 0x10007, 70000), 14);
  peer0401.thread.join();
  EXPECT_EQ(peer0401.received, (Bytes{0xDD, 0xCC, 14, 0, 0, 0, 0x01, 0x04, 0x07, 0x00, 0x70, 0x11, 0x01, 0x00}));

  camera.device_fd = 1000;
  EXPECT_EQ(camera_send_0401(camera, 1, 2), -1);
}
