// The in-process fake camera: a thread that serves a CameraModel on one end
// of a SOCK_SEQPACKET socket pair, one packet per piece.
#include "sim/fake_camera.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <linux/sockios.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace ccdsim {

namespace {

// Room asked for the fake's send buffer (the kernel doubles it): it bounds
// both the largest packet and how far the fake runs ahead of the reads.
constexpr int SEND_BUFFER = 1 << 20;

int poll_timeout_ms(std::chrono::steady_clock::time_point when) {
  const auto left = when - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, 1000));
}

// Whether a thread of this process other than the caller sleeps in a read
// of a socket, waiting for a packet: the kernel names the function it waits
// in (wchan).
bool a_thread_waits_for_a_packet() {
  const std::string self = std::to_string(gettid());
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return false;
  bool waiting = false;
  while (const dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.' || self == task->d_name) continue;
    const std::string path = std::string("/proc/self/task/") + task->d_name + "/wchan";
    char name[64] = {};
    if (FILE* wchan = std::fopen(path.c_str(), "r")) {
      [[maybe_unused]] const std::size_t got = std::fread(name, 1, sizeof name - 1, wchan);
      std::fclose(wchan);
    }
    if (std::string(name) == "__skb_wait_for_more_packets") waiting = true;
  }
  closedir(tasks);
  return waiting;
}

}  // namespace

struct FakeCamera::State {
  ModelConfig config;
  int program_fd = -1;
  int fake_fd = -1;
  int stop_pipe[2] = {-1, -1};
  struct stat program_stat {};
  std::thread thread;
  mutable std::mutex mutex;
  std::vector<std::vector<uint8_t>> messages;
  std::vector<ExposeMessage> exposures;

  bool stopping() const {
    pollfd p{stop_pipe[0], POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  }

  // Takes one message from the socket and records it; false when the
  // program's end is closed.
  bool receive(CameraModel* model, bool hung_up) {
    const ssize_t size = recv(fake_fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0) return errno == EAGAIN || errno == EINTR;
    if (size == 0 && hung_up) return false;
    std::vector<uint8_t> bytes(static_cast<std::size_t>(size));
    const ssize_t got = recv(fake_fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    if (got < 0) return errno == EAGAIN || errno == EINTR;
    bytes.resize(static_cast<std::size_t>(got));
    {
      const std::lock_guard<std::mutex> lock(mutex);
      if (bytes.size() == MSG_EXPOSE_SIZE && get_u16(bytes, 6) == MSG_EXPOSE) {
        exposures.push_back(decode_expose(std::span<const uint8_t, MSG_EXPOSE_SIZE>(bytes.data(), MSG_EXPOSE_SIZE)));
      }
      messages.push_back(bytes);
    }
    if (model != nullptr) model->write(bytes);
    return true;
  }

  // Makes the program's next read fail: waits until the program has taken
  // every packet sent so far, queues a byte for the fake's end that nobody
  // reads, and closes that end, which resets the connection.
  void fail_next_read() {
    for (;;) {
      int queued = 0;
      if (ioctl(fake_fd, SIOCOUTQ, &queued) != 0 || queued <= 0) break;
      pollfd fds[2] = {{stop_pipe[0], POLLIN, 0}, {fake_fd, POLLIN, 0}};
      if (poll(fds, 2, 1) < 0 && errno != EINTR) break;
      if (fds[0].revents != 0) return;
      if ((fds[1].revents & POLLIN) != 0 && !receive(nullptr, (fds[1].revents & POLLHUP) != 0)) break;
    }
    // The program has taken the last packet and is about to read again.
    // Closing while that read is starting is a race in the kernel: the read
    // may see the end shut down before it sees the reset, and return 0
    // instead of failing. So the end is closed once the read sleeps (its
    // wake-up then finds the reset), or after a while if no read comes (or
    // the wait cannot be seen).
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!a_thread_waits_for_a_packet() && std::chrono::steady_clock::now() < give_up) {
      pollfd stop{stop_pipe[0], POLLIN, 0};
      if (poll(&stop, 1, 1) > 0) return;
    }
    const uint8_t unread = 0;
    [[maybe_unused]] const ssize_t sent = send(program_fd, &unread, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    close(fake_fd);
    fake_fd = -1;
  }

  void serve() {
    CameraModel model(config);
    std::vector<uint8_t> piece;
    bool have_piece = false;
    unsigned piece_generation = 0;
    bool connected = true;
    for (;;) {
      if (connected && !have_piece && model.has_pending() && !model.stalled() &&
          model.ready_at() <= std::chrono::steady_clock::now()) {
        piece.resize(model.pending_size());
        const ReadResult result = model.read(piece);
        if (result.kind == ReadKind::Data) {
          piece.resize(result.count);
          have_piece = true;
          piece_generation = model.generation();
        } else if (result.kind == ReadKind::Failed) {
          fail_next_read();
          connected = false;
        }
      }
      int timeout = -1;
      if (connected && !have_piece && model.has_pending() && !model.stalled()) {
        timeout = poll_timeout_ms(model.ready_at());
      }
      pollfd fds[2] = {{stop_pipe[0], POLLIN, 0}, {connected ? fake_fd : -1, 0, 0}};
      fds[1].events = static_cast<short>(POLLIN | (have_piece ? POLLOUT : 0));
      if (poll(fds, 2, timeout) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents != 0) return;
      if (!connected) continue;
      if ((fds[1].revents & POLLIN) != 0) {
        if (!receive(&model, (fds[1].revents & POLLHUP) != 0)) connected = false;
        if (have_piece && model.generation() != piece_generation) have_piece = false;
        continue;
      }
      if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) {
        connected = false;
        continue;
      }
      if (have_piece && (fds[1].revents & POLLOUT) != 0) {
        if (send(fake_fd, piece.data(), piece.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
          have_piece = false;
        } else if (errno == EMSGSIZE) {
          have_piece = false;
          fail_next_read();
          connected = false;
        } else if (errno != EAGAIN && errno != EINTR) {
          connected = false;
        }
      }
    }
  }
};

FakeCamera::FakeCamera(const ModelConfig& config) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.config = config;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  if (pipe2(s.stop_pipe, O_CLOEXEC) != 0) {
    close(pair[0]);
    close(pair[1]);
    throw std::runtime_error("pipe failed");
  }
  s.program_fd = pair[0];
  s.fake_fd = pair[1];
  fstat(s.program_fd, &s.program_stat);
  int size = SEND_BUFFER;
  if (setsockopt(s.fake_fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(s.fake_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  s.thread = std::thread([&s] { s.serve(); });
}

FakeCamera::~FakeCamera() {
  State& s = *state_;
  const char stop = 1;
  [[maybe_unused]] const ssize_t written = ::write(s.stop_pipe[1], &stop, 1);
  s.thread.join();
  if (s.fake_fd >= 0) close(s.fake_fd);
  // Close the program's end only if it is still the socket made here: the
  // program may have closed it, and its number may name another file now.
  struct stat now {};
  if (fstat(s.program_fd, &now) == 0 && now.st_ino == s.program_stat.st_ino &&
      now.st_dev == s.program_stat.st_dev) {
    close(s.program_fd);
  }
  close(s.stop_pipe[0]);
  close(s.stop_pipe[1]);
}

int FakeCamera::fd() const { return state_->program_fd; }

std::vector<std::vector<uint8_t>> FakeCamera::messages() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->messages;
}

std::vector<ExposeMessage> FakeCamera::exposures() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->exposures;
}

}  // namespace ccdsim
