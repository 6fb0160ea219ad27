#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/sockios.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {
fuzzing::ExitMode exit_mode = fuzzing::ExitMode::Real;
}  // namespace

// The fuzz targets link with -Wl,--wrap=exit: every call of exit() in the
// code under test (usage_error, write_failed, -help) comes here.
extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
  switch (exit_mode) {
    case fuzzing::ExitMode::Throw:
      throw fuzzing::ExitCalled{status};
    case fuzzing::ExitMode::Child:
      std::fflush(nullptr);
      _exit(status);
    case fuzzing::ExitMode::Real:
      break;
  }
  __real_exit(status);
}

namespace fuzzing {

void set_exit_mode(ExitMode mode) { exit_mode = mode; }

TimerSignalBlocked::TimerSignalBlocked() {
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, &saved_);
}

TimerSignalBlocked::~TimerSignalBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

CapturedStdio::CapturedStdio() : saved_out_(stdout), saved_err_(stderr) {
  out_stream_ = open_memstream(&out_buffer_, &out_size_);
  err_stream_ = open_memstream(&err_buffer_, &err_size_);
  if (out_stream_ == nullptr || err_stream_ == nullptr) fail("open_memstream failed");
  std::fflush(stdout);
  std::fflush(stderr);
  stdout = out_stream_;
  stderr = err_stream_;
}

CapturedStdio::~CapturedStdio() {
  stdout = saved_out_;
  stderr = saved_err_;
  std::fclose(out_stream_);
  std::fclose(err_stream_);
  std::free(out_buffer_);
  std::free(err_buffer_);
}

std::string CapturedStdio::out() {
  std::fflush(out_stream_);
  return std::string(out_buffer_, out_size_);
}

std::string CapturedStdio::err() {
  std::fflush(err_stream_);
  return std::string(err_buffer_, err_size_);
}

void fail(const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const std::string line = std::string("fuzz check failed: ") + text + "\n";
  [[maybe_unused]] const ssize_t written = write(2, line.data(), line.size());
  std::abort();
}

PacketFeeder::PacketFeeder(std::vector<std::vector<uint8_t>> packets, StreamEnd end)
    : packets_(std::move(packets)), end_(end) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) fail("socketpair: %s", std::strerror(errno));
  program_fd_ = pair[0];
  device_fd_ = pair[1];
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) fail("pipe2: %s", std::strerror(errno));
}

void PacketFeeder::start() {
  thread_ = std::thread([this] { serve(); });
}

void PacketFeeder::finish() {
  if (!thread_.joinable()) return;
  const char stop = 1;
  [[maybe_unused]] const ssize_t written = ::write(stop_pipe_[1], &stop, 1);
  thread_.join();
}

// Waits for the events on the device end; false when the feeder is stopped.
bool PacketFeeder::wait_for(short events) {
  pollfd fds[2] = {{stop_pipe_[0], POLLIN, 0}, {device_fd_, events, 0}};
  while (poll(fds, 2, -1) < 0) {
    if (errno != EINTR) return false;
  }
  return fds[0].revents == 0;
}

void PacketFeeder::serve() {
  // The program's first message: the answers follow it, as on the device,
  // and a reset then hits the read after it, not the write.
  if (!wait_for(POLLIN)) return;
  const ssize_t size = recv(device_fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (size > 0) {
    first_message_.resize(static_cast<std::size_t>(size));
    const ssize_t got = recv(device_fd_, first_message_.data(), first_message_.size(), MSG_PEEK | MSG_DONTWAIT);
    first_message_.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  }
  for (const auto& packet : packets_) {
    for (;;) {
      if (send(device_fd_, packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) break;
      if (errno != EAGAIN && errno != EINTR) return;
      if (!wait_for(POLLOUT)) return;
    }
  }
  if (end_ == StreamEnd::EndOfFile) {
    shutdown(device_fd_, SHUT_WR);
    return;
  }
  // A close with unread data resets the connection, and the program's next
  // read fails at once, even with packets still queued: close only once the
  // program has taken every packet. The program's own writes stay unread;
  // a byte is added in case it wrote nothing.
  for (;;) {
    int queued = 0;
    if (ioctl(device_fd_, SIOCOUTQ, &queued) != 0 || queued <= 0) break;
    pollfd stop{stop_pipe_[0], POLLIN, 0};
    if (poll(&stop, 1, 1) > 0) return;
  }
  const uint8_t unread = 0;
  [[maybe_unused]] const ssize_t sent = send(program_fd_, &unread, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  close(device_fd_);
  device_fd_ = -1;
}

PacketFeeder::~PacketFeeder() {
  finish();
  if (device_fd_ >= 0) close(device_fd_);
  close(program_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
}

std::vector<std::string> split_words(const uint8_t* data, std::size_t size, std::size_t max_words) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start < size && words.size() < max_words) {
    const auto* end = static_cast<const uint8_t*>(std::memchr(data + start, 0, size - start));
    const std::size_t stop = end != nullptr ? static_cast<std::size_t>(end - data) : size;
    words.emplace_back(reinterpret_cast<const char*>(data + start), stop - start);
    start = stop + 1;
  }
  return words;
}

std::string read_descriptor(int fd) {
  std::string contents;
  char buffer[4096];
  off_t offset = 0;
  for (;;) {
    const ssize_t got = pread(fd, buffer, sizeof buffer, offset);
    if (got <= 0) break;
    contents.append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
  return contents;
}

}  // namespace fuzzing
