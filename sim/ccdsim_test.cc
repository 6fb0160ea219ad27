// ccdsim as a program: its options, and the device it mounts, spoken to
// with exact-size reads and compared with the camera model's bytes.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/camera_model.h"
#include "sim/sim_test_support.h"
#include "tests/support/test_support.h"

namespace ccdsim {
namespace {

using namespace ccdsim::test;
using testing_support::TempDir;

std::string hex_line(const Bytes& bytes) {
  std::string line;
  char hex[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", bytes[i]);
    line += hex;
  }
  return line + "\n";
}

bool mounted(const std::string& dir) {
  std::ifstream mounts("/proc/self/mounts");
  std::string device, point;
  std::string rest;
  while (mounts >> device >> point && std::getline(mounts, rest)) {
    if (point == dir) return true;
  }
  return false;
}

// build/ccdsim serving a temporary directory; stopped with SIGTERM. prepare,
// if given, runs with the ready file's name before ccdsim starts.
class Server {
 public:
  explicit Server(std::vector<std::string> options,
                  const std::function<void(const std::string&)>& prepare = {}) {
    mount_dir_ = dir_.file("mnt");
    mkdir(mount_dir_.c_str(), 0755);
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
      skip_reason_ = std::string("/dev/fuse is not usable: ") + std::strerror(errno);
      return;
    }
    const std::string ready = ready_path();
    if (prepare) prepare(ready);
    // Ready once an entry other than any planted there stands at the name.
    struct stat planted {};
    const bool had_entry = lstat(ready.c_str(), &planted) == 0;
    const auto replaced = [&] {
      struct stat now {};
      return lstat(ready.c_str(), &now) == 0 && (!had_entry || now.st_ino != planted.st_ino);
    };
    std::vector<std::string> argv = {testing_support::built_program("ccdsim"), "--ready=" + ready,
                                     "--log=" + log_path()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(mount_dir_);
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(dir_.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!replaced()) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        skip_reason_ = "ccdsim could not mount: " + testing_support::read_file(dir_.file("stderr"));
        return;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        skip_reason_ = "ccdsim did not get ready in 10 s";
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ready_text_ = testing_support::read_file(ready);
  }

  ~Server() { stop(); }

  // Sends SIGTERM and waits; the exit status, or -1 when it did not exit.
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& skip_reason() const { return skip_reason_; }
  const std::string& mount_dir() const { return mount_dir_; }
  std::string device() const { return mount_dir_ + "/ccda"; }
  const std::string& ready_text() const { return ready_text_; }
  std::string out() const { return testing_support::read_file(dir_.file("stdout")); }
  std::string log() const { return testing_support::read_file(log_path()); }
  std::string ready_path() const { return dir_.file("ready"); }

 private:
  std::string log_path() const { return dir_.file("log"); }
  TempDir dir_;
  std::string mount_dir_;
  std::string skip_reason_;
  std::string ready_text_;
  pid_t pid_ = -1;
};

#define START_SERVER(name, ...)                                              \
  Server name(__VA_ARGS__);                                                  \
  if (!name.skip_reason().empty()) GTEST_SKIP() << name.skip_reason();       \
  ASSERT_TRUE(mounted(name.mount_dir())) << name.mount_dir() << " is not mounted"

TEST(CcdsimTest, HelpNamesEveryOption) {
  const auto result = testing_support::run_program({testing_support::built_program("ccdsim"), "--help"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out.rfind("Usage: ccdsim [OPTION]... MOUNTPOINT\n", 0), 0u);
  for (const char* option :
       {"--ready=FILE", "--log=FILE", "--time-scale=F", "--allow-other", "--refuse-locks", "--width=N",
        "--height=N", "--bits-per-pixel=N", "--default-depth=N", "--pixel-size=UM", "--pixel-height=UM",
        "--model=TEXT", "--pattern=sky|ramp", "--seed=N", "--bias=COUNTS", "--read-noise=COUNTS", "--dark-current=RATE",
        "--stars=N", "--star-peak=RATE", "--star-sigma=PIXELS", "--hot-pixels=N", "--pointing=RA,DEC",
        "--focal-length=MM", "--rotation=DEG", "--catalog=PATH", "--seeing=ARCSEC", "--zero-point=MAG",
        "--fault-short-query-reply=N",
        "--fault-fail-query-read", "--fault-reply-type=TYPE", "--fault-image-type=TYPE", "--fault-image-length=N",
        "--fault-short-header=N", "--fault-fail-header-read", "--fault-truncate-row=K[,N]", "--fault-fail-row=K",
        "--fault-stall-row=K", "--help"}) {
    EXPECT_NE(result.out.find(std::string("  ") + option + " "), std::string::npos) << option;
  }
}

TEST(CcdsimTest, RefusesBadOptions) {
  const std::string tail = "\nTry 'ccdsim --help' for more information.\n";
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"--width=0", "dir"}, "ccdsim: invalid value for --width: '0' (an integer from 1 to 65535)"},
      {{"--height=12x", "dir"}, "ccdsim: invalid value for --height: '12x' (an integer from 1 to 65535)"},
      {{"--bits-per-pixel=33", "dir"}, "ccdsim: invalid value for --bits-per-pixel: '33' (an integer from 1 to 32)"},
      {{"--time-scale=-1", "dir"}, "ccdsim: invalid value for --time-scale: '-1' (a number from 0 to 1e+06)"},
      {{"--pattern=stripes", "dir"}, "ccdsim: invalid value for --pattern: 'stripes' (sky or ramp)"},
      {{"--seed=-3", "dir"}, "ccdsim: invalid value for --seed: '-3' (an unsigned integer)"},
      {{"--fault-short-header=9", "dir"},
       "ccdsim: invalid value for --fault-short-header: '9' (an integer from 0 to 8)"},
      {{"--fault-truncate-row=4,x", "dir"},
       "ccdsim: invalid value for --fault-truncate-row: 'x' (an integer from 0 to 2147483647)"},
      {{"--fault-fail-row=0", "dir"}, "ccdsim: invalid value for --fault-fail-row: '0' (an integer from 1 to 65535)"},
      {{"--model=123456789012345678901234567890123", "dir"},
       "ccdsim: --model text is longer than 32 bytes: '123456789012345678901234567890123'"},
      {{"--pointing=56.75", "dir"}, "ccdsim: invalid value for --pointing: '56.75' (RA,DEC in degrees)"},
      {{"--pointing=56.75,91", "dir"}, "ccdsim: invalid value for --pointing: '91' (a number from -90 to 90)"},
      {{"--focal-length=0", "dir"}, "ccdsim: invalid value for --focal-length: '0' (a number from 1 to 1e+06)"},
      {{"--bogus", "dir"}, "ccdsim: unknown option '--bogus'"},
      {{"dir", "--width"}, "ccdsim: option '--width' needs a value"},
      {{}, "ccdsim: no mount point given"},
      {{"a", "b"}, "ccdsim: more than one mount point given"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {testing_support::built_program("ccdsim")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto result = testing_support::run_program(argv);
    EXPECT_EQ(result.status, 2) << c.err;
    EXPECT_EQ(result.err, c.err + tail);
    EXPECT_EQ(result.out, "");
  }
}

TEST(CcdsimTest, ReadyFileReplacesLinksWithoutWritingThroughThem) {
  // Links planted at the temporary name and at the final name: ccdsim writes
  // neither target and leaves a file of its own at the final name.
  TempDir elsewhere;
  const std::string temporary_target = elsewhere.file("temporary-target");
  const std::string final_target = elsewhere.file("final-target");
  testing_support::write_file(temporary_target, "keep 1");
  testing_support::write_file(final_target, "keep 2");
  START_SERVER(server, {"--time-scale=0"}, [&](const std::string& ready) {
    ASSERT_EQ(symlink(temporary_target.c_str(), (ready + ".tmp").c_str()), 0) << std::strerror(errno);
    ASSERT_EQ(symlink(final_target.c_str(), ready.c_str()), 0) << std::strerror(errno);
  });
  EXPECT_EQ(server.ready_text(), server.device() + "\n");
  EXPECT_EQ(testing_support::read_file(temporary_target), "keep 1");
  EXPECT_EQ(testing_support::read_file(final_target), "keep 2");
  struct stat st {};
  ASSERT_EQ(lstat(server.ready_path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "the final name is not a file of its own";
  EXPECT_NE(lstat((server.ready_path() + ".tmp").c_str(), &st), 0) << "the temporary name is left behind";
}

TEST(CcdsimTest, RefusesACatalogItCannotRead) {
  const auto result = testing_support::run_program(
      {testing_support::built_program("ccdsim"), "--pointing=56.75,24.12", "--catalog=/nonexistent.fits", "dir"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "ccdsim: /nonexistent.fits: No such file or directory\n");
  EXPECT_EQ(result.out, "");
}

TEST(CcdsimTest, ServesTheModelsBytesWithExactSizeReads) {
  START_SERVER(server, {"--time-scale=0"});
  EXPECT_EQ(server.ready_text(), server.device() + "\n");
  EXPECT_EQ(server.out(), server.device() + "\n");
  const int fd = open(server.device().c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  CameraModel model;
  const Bytes query = to_bytes(encode_query());
  send_message(fd, query);
  model.write(query);
  EXPECT_EQ(read_once(fd, 92).bytes, model_piece(model, 92));

  const std::vector<Bytes> exposures = {expose_bytes(1392, 300, 1, 1500, 0, 100),
                                        expose_bytes(1000, 600, 2, 900, 10, 20, EXPOSE_DARK)};
  for (const Bytes& expose : exposures) {
    send_message(fd, expose);
    model.write(expose);
    const ExposeMessage e = decode_expose(std::span<const uint8_t, 28>(expose.data(), 28));
    const std::size_t row = e.width / e.x_bin * 2;
    EXPECT_EQ(read_once(fd, 8).bytes, model_piece(model, 8));
    for (uint32_t r = 0; r < e.height / e.y_bin; ++r) {
      ASSERT_EQ(read_once(fd, row).bytes, model_piece(model, row)) << "row " << r + 1;
    }
  }
  close(fd);
  EXPECT_EQ(server.log(), hex_line(query) + hex_line(exposures[0]) + hex_line(exposures[1]));
  EXPECT_EQ(server.stop(), 0);
  EXPECT_FALSE(mounted(server.mount_dir()));
}

TEST(CcdsimTest, EachOpenIsAFreshSession) {
  START_SERVER(server, {"--pattern=sky", "--seed=7"});
  const int first = open(server.device().c_str(), O_RDWR);
  const int second = open(server.device().c_str(), O_RDWR);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  const Bytes expose = expose_bytes(1392, 4, 1, 100, 0, 500);
  // The first session takes a frame, then the second its first frame.
  send_message(first, expose);
  send_message(first, to_bytes(encode_query()));  // abandons that image
  EXPECT_EQ(read_once(first, 92).count, 92);
  send_message(second, expose);
  ModelConfig config;
  config.seed = 7;
  CameraModel model(config);
  model.write(expose);
  EXPECT_EQ(read_once(second, 8).bytes, model_piece(model, 8));
  EXPECT_EQ(read_once(second, 2784).bytes, model_piece(model, 2784));
  close(first);
  close(second);
  // A new open starts again at frame 0.
  const int third = open(server.device().c_str(), O_RDWR);
  CameraModel fresh(config);
  send_message(third, expose);
  fresh.write(expose);
  EXPECT_EQ(read_once(third, 8).bytes, model_piece(fresh, 8));
  EXPECT_EQ(read_once(third, 2784).bytes, model_piece(fresh, 2784));
  close(third);
}

TEST(CcdsimTest, FaultsAsTheProgramSeesThem) {
  struct Case {
    std::string option;
    bool query;                      // a query, else an exposure of 10 x 10
    std::vector<std::size_t> reads;  // sizes of the reads after the write
    std::vector<ssize_t> counts;     // what they return; -1 is EIO
  };
  const Case cases[] = {
      {"--fault-short-query-reply=1", true, {92}, {91}},
      {"--fault-fail-query-read", true, {92, 92}, {-1, 0}},
      {"--fault-reply-type=0x1002", true, {92}, {92}},
      {"--fault-image-type=0x2002", false, {8, 20}, {8, 20}},
      {"--fault-image-length=-3", false, {8}, {8}},
      {"--fault-short-header=3", false, {8, 20}, {5, 20}},
      {"--fault-fail-header-read", false, {8, 20}, {-1, 0}},
      {"--fault-truncate-row=2,4", false, {8, 20, 20, 20}, {8, 20, 16, 20}},
      {"--fault-fail-row=3", false, {8, 20, 20, 20, 20}, {8, 20, 20, -1, 0}},
  };
  for (const Case& c : cases) {
    START_SERVER(server, {"--pattern=ramp", c.option});
    const int fd = open(server.device().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    send_message(fd, c.query ? to_bytes(encode_query()) : expose_bytes(10, 10, 1, 0, 0, 0));
    std::vector<Bytes> got;
    for (std::size_t i = 0; i < c.reads.size(); ++i) {
      const Read r = read_once(fd, c.reads[i]);
      EXPECT_EQ(r.count, c.counts[i]) << c.option << " read " << i + 1;
      if (r.count < 0) {
        EXPECT_EQ(r.error, EIO) << c.option;
      }
      got.push_back(r.bytes);
    }
    if (c.option == "--fault-reply-type=0x1002") {
      EXPECT_EQ(get_u16(got[0], 6), 0x1002);
    }
    if (c.option == "--fault-image-type=0x2002") {
      EXPECT_EQ(got[0], (Bytes{0xDD, 0xCC, 208, 0, 0, 0, 0x02, 0x20}));
    }
    if (c.option == "--fault-image-length=-3") {
      EXPECT_EQ(got[0], (Bytes{0xDD, 0xCC, 205, 0, 0, 0, 0x01, 0x20}));
    }
    close(fd);
  }
}

TEST(CcdsimTest, StopsCleanlyWhileAReadIsStalled) {
  START_SERVER(server, {"--pattern=ramp", "--fault-stall-row=2"});
  const int fd = open(server.device().c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  send_message(fd, expose_bytes(10, 10, 1, 0, 0, 0));
  EXPECT_EQ(read_once(fd, 8).count, 8);
  EXPECT_EQ(read_once(fd, 20).count, 20);
  Read stalled{99, 0, {}};
  std::thread reader([&] { stalled = read_once(fd, 20); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(stalled.count, 99);  // still blocked
  EXPECT_EQ(server.stop(), 0);
  reader.join();
  EXPECT_EQ(stalled.count, -1);
  EXPECT_EQ(stalled.error, EIO);
  EXPECT_FALSE(mounted(server.mount_dir()));
  close(fd);
}

TEST(CcdsimTest, ImageWaitsForTheScaledExposure) {
  START_SERVER(server, {"--pattern=ramp", "--time-scale=0.5"});
  const int fd = open(server.device().c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const auto start = std::chrono::steady_clock::now();
  send_message(fd, expose_bytes(10, 2, 1, 800, 0, 0));
  EXPECT_EQ(read_once(fd, 8).count, 8);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
  EXPECT_EQ(read_once(fd, 20).count, 20);
  close(fd);
}

// The widest row (65535 samples, 131070 bytes) arrives in one read even
// into a buffer that does not start on a page boundary.
TEST(CcdsimTest, WidestRowArrivesWhole) {
  START_SERVER(server, {"--pattern=ramp", "--width=65535", "--height=3"});
  const int fd = open(server.device().c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const Bytes expose = expose_bytes(65535, 3, 1, 12, 0, 0);
  send_message(fd, expose);
  ModelConfig config;
  config.pattern = Pattern::Ramp;
  config.sensor.width = 65535;
  CameraModel model(config);
  model.write(expose);
  EXPECT_EQ(read_once(fd, 8).bytes, model_piece(model, 8));
  std::vector<uint8_t> buffer(131070 + 4096 + 3);
  uint8_t* unaligned = buffer.data() + 3;
  for (int r = 0; r < 3; ++r) {
    ASSERT_EQ(read(fd, unaligned, 131070), 131070) << "row " << r + 1;
    EXPECT_EQ(Bytes(unaligned, unaligned + 131070), model_piece(model, 131070)) << "row " << r + 1;
  }
  close(fd);
}

}  // namespace
}  // namespace ccdsim
