#include "tests/support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {
// Set in forked children. A child forked from a process with threads (a
// fake camera, a file system served in-process) holds their memory without
// their stacks, and it ends through exit() wherever the code under test
// exits; a leak check there reports only those orphans. Leaks are checked in
// the test processes themselves and in the programs run end to end.
bool in_forked_child = false;
}  // namespace

// LeakSanitizer asks this at exit whether to check for leaks.
extern "C" [[gnu::visibility("default"), gnu::used]] int __lsan_is_turned_off() { return in_forked_child ? 1 : 0; }

namespace testing_support {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/ccdshot-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

bool file_exists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0;
}

std::string built_program(const std::string& name) {
  const char* dir = std::getenv("CCDSHOT_BINARY_DIR");
#ifdef CCDSHOT_BINARY_DIR
  if (dir == nullptr) dir = CCDSHOT_BINARY_DIR;
#endif
  return std::string(dir != nullptr ? dir : ".") + "/" + name;
}

namespace {

int open_capture(const TempDir& dir, const char* name) {
  const int fd = open(dir.file(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create capture file");
  return fd;
}

// Sets up the child's descriptors and environment; runs in the child only.
void prepare_child(const TempDir& dir, int out_fd, int err_fd, int fd3_fd, const ChildOptions& options) {
  const std::string input = dir.file("stdin");
  write_file(input, options.stdin_text);
  // Move every source out of the way of descriptors 0 to 3 first.
  const int in_src = fcntl(open(input.c_str(), O_RDONLY), F_DUPFD, 100);
  const int ro_src = fcntl(open(input.c_str(), O_RDONLY), F_DUPFD, 100);
  const int out_src = fcntl(out_fd, F_DUPFD, 100);
  const int err_src = fcntl(err_fd, F_DUPFD, 100);
  const int fd3_src = fcntl(fd3_fd, F_DUPFD, 100);
  dup2(in_src, 0);
  dup2(out_src, 1);
  dup2(err_src, 2);
  close(3);
  if (options.fd3 == Fd3::File) dup2(fd3_src, 3);
  if (options.fd3 == Fd3::ReadOnly) dup2(ro_src, 3);
  // Leave nothing but 0 to 3 open, so descriptor numbers are predictable.
  for (int fd = 4; fd < 1024; ++fd) close(fd);
  for (const auto& name : options.unset) unsetenv(name.c_str());
  for (const auto& assignment : options.env) {
    const auto eq = assignment.find('=');
    setenv(assignment.substr(0, eq).c_str(), assignment.substr(eq + 1).c_str(), 1);
  }
}

ChildResult run_child(const std::function<void(const TempDir&, int, int, int)>& child) {
  TempDir dir;
  const int out_fd = open_capture(dir, "stdout");
  const int err_fd = open_capture(dir, "stderr");
  const int fd3_fd = open_capture(dir, "fd3");
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    in_forked_child = true;
    child(dir, out_fd, err_fd, fd3_fd);
    _exit(127);
  }
  close(out_fd);
  close(err_fd);
  close(fd3_fd);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
  }
  ChildResult result;
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  result.out = read_file(dir.file("stdout"));
  result.err = read_file(dir.file("stderr"));
  result.fd3 = read_file(dir.file("fd3"));
  return result;
}

}  // namespace

ChildResult run_in_child(const std::function<int()>& body, const ChildOptions& options) {
  return run_child([&](const TempDir& dir, int out_fd, int err_fd, int fd3_fd) {
    prepare_child(dir, out_fd, err_fd, fd3_fd, options);
    // Streams were flushed before the fork; the child starts with empty buffers.
    const int status = body();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
  });
}

ChildResult run_program(const std::vector<std::string>& argv, const ChildOptions& options) {
  return run_child([&](const TempDir& dir, int out_fd, int err_fd, int fd3_fd) {
    prepare_child(dir, out_fd, err_fd, fd3_fd, options);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::perror(args[0]);
    _exit(127);
  });
}

}  // namespace testing_support
