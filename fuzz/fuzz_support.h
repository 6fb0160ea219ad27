// Support of the fuzz targets: catching the process exits of the code under
// test, capturing what it prints through C stdio, a device end that serves
// input-driven packets, and failing a run with a readable reason.
#pragma once

#include <cstddef>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace fuzzing {

// What exit() was called with while exits were caught.
struct ExitCalled {
  int status;
};

// How exit() behaves in a fuzz target (the targets link with --wrap=exit).
enum class ExitMode {
  Real,    // the process ends (libFuzzer's own exits)
  Throw,   // throws ExitCalled, so the run returns to the target
  Child,   // flushes C stdio and _exit()s: the end of a forked child
};
void set_exit_mode(ExitMode mode);

// Runs body with exit() throwing; returns -1 when body returned, else the
// status exit() was called with.
template <typename Body>
int run_catching_exit(Body body) {
  set_exit_mode(ExitMode::Throw);
  int status = -1;
  try {
    body();
  } catch (const ExitCalled& called) {
    status = called.status;
  }
  set_exit_mode(ExitMode::Real);
  return status;
}

// Blocks SIGALRM in the calling thread for its lifetime. libFuzzer checks
// its time limits on SIGALRM; taken by a thread blocked in read(), the
// signal would make the read fail with EINTR, which no device does. While
// blocked here it goes to another thread (a feeder's, libFuzzer's own).
class TimerSignalBlocked {
 public:
  TimerSignalBlocked();
  ~TimerSignalBlocked();
  TimerSignalBlocked(const TimerSignalBlocked&) = delete;
  TimerSignalBlocked& operator=(const TimerSignalBlocked&) = delete;

 private:
  sigset_t saved_;
};

// Replaces the stdio streams stdout and stderr by memory streams for its
// lifetime, so that what the code under test prints can be compared.
// Sanitizer reports and libFuzzer's own output go to descriptor 2 directly
// and stay visible.
class CapturedStdio {
 public:
  CapturedStdio();
  ~CapturedStdio();
  CapturedStdio(const CapturedStdio&) = delete;
  CapturedStdio& operator=(const CapturedStdio&) = delete;
  std::string out();
  std::string err();

 private:
  FILE* saved_out_;
  FILE* saved_err_;
  char* out_buffer_ = nullptr;
  std::size_t out_size_ = 0;
  char* err_buffer_ = nullptr;
  std::size_t err_size_ = 0;
  FILE* out_stream_;
  FILE* err_stream_;
};

// Prints the reason and the values on descriptor 2 and aborts, which
// libFuzzer reports as a crash with the input that caused it.
[[noreturn, gnu::format(printf, 1, 2)]] void fail(const char* format, ...);

// How the device end finishes once every packet was sent.
enum class StreamEnd {
  EndOfFile,  // later reads return 0
  Reset,      // the next read fails (-1, ECONNRESET), later reads return 0
};

// The device's end of a SOCK_SEQPACKET socket pair, served from a thread:
// waits for the program's first message (left unread), sends the packets in
// order, one read each, then finishes as asked. The program's end is fd();
// it stays open until the feeder is destroyed.
class PacketFeeder {
 public:
  PacketFeeder(std::vector<std::vector<uint8_t>> packets, StreamEnd end);
  ~PacketFeeder();
  PacketFeeder(const PacketFeeder&) = delete;
  PacketFeeder& operator=(const PacketFeeder&) = delete;
  int fd() const { return program_fd_; }
  // Starts serving.
  void start();
  // Stops serving (if it has not finished) and waits for the thread; then
  // first_message() holds what the program wrote first (empty if nothing).
  void finish();
  const std::vector<uint8_t>& first_message() const { return first_message_; }

 private:
  void serve();
  bool wait_for(short events);
  std::vector<uint8_t> first_message_;
  std::vector<std::vector<uint8_t>> packets_;
  StreamEnd end_;
  int program_fd_ = -1;
  int device_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::thread thread_;
};

// Splits text at NUL bytes into words (the last one may be unterminated).
std::vector<std::string> split_words(const uint8_t* data, std::size_t size, std::size_t max_words);

// The whole contents of a descriptor's file from offset 0.
std::string read_descriptor(int fd);

}  // namespace fuzzing
