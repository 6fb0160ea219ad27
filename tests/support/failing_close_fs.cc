// The file system whose close() fails (failing_close_fs.h). Kept apart from
// the rest of the writer test support: it is compiled against libfuse3's own
// time_t, which on some 32-bit systems is narrower than the program's.
#include "tests/support/failing_close_fs.h"

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <set>
#include <string>

namespace writer_test {

struct FailingCloseFs::State {
  struct fuse* fuse = nullptr;
  pid_t server = -1;
  // Only the server process uses the set of files; the count of bytes is
  // shared with the test's process.
  std::set<std::string> files;
  std::atomic<uint64_t>* written = nullptr;
};

// The operations reach the state through fuse's private data; they are plain
// functions handed to libfuse, run by the single-threaded server process.
namespace fs_ops {

FailingCloseFs::State* state() {
  return static_cast<FailingCloseFs::State*>(fuse_get_context()->private_data);
}

int getattr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (state()->files.count(path) == 0) return -ENOENT;
  st->st_mode = S_IFREG | 0644;
  st->st_nlink = 1;
  return 0;
}

int create(const char* path, mode_t, fuse_file_info*) {
  state()->files.insert(path);
  return 0;
}

int open(const char* path, fuse_file_info*) { return state()->files.count(path) != 0 ? 0 : -ENOENT; }

int truncate(const char*, off_t, fuse_file_info*) { return 0; }

int write(const char*, const char*, size_t size, off_t, fuse_file_info*) {
  *state()->written += size;
  return static_cast<int>(size);
}

// Every close() of a file here ends with this error.
int flush(const char*, fuse_file_info*) { return -EIO; }

int release(const char*, fuse_file_info*) { return 0; }

}  // namespace fs_ops

FailingCloseFs::FailingCloseFs() {
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    reason_ = "/dev/fuse is not available";
    return;
  }
  static const fuse_operations operations = [] {
    fuse_operations ops{};
    ops.getattr = fs_ops::getattr;
    ops.create = fs_ops::create;
    ops.open = fs_ops::open;
    ops.truncate = fs_ops::truncate;
    ops.write = fs_ops::write;
    ops.flush = fs_ops::flush;
    ops.release = fs_ops::release;
    return ops;
  }();
  state_ = new State;
  void* shared = mmap(nullptr, sizeof(std::atomic<uint64_t>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                      -1, 0);
  if (shared == MAP_FAILED) {
    reason_ = "cannot map memory shared with the file system's server";
    return;
  }
  state_->written = new (shared) std::atomic<uint64_t>(0);
  char name[] = "failing-close-fs";
  char* argv[] = {name, nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, argv);
  state_->fuse = fuse_new(&args, &operations, sizeof operations, state_);
  fuse_opt_free_args(&args);
  if (state_->fuse == nullptr) {
    reason_ = "cannot create a FUSE file system";
    return;
  }
  if (fuse_mount(state_->fuse, dir_.path().c_str()) != 0) {
    reason_ = "cannot mount a FUSE file system on " + dir_.path();
    return;
  }
  mounted_ = true;
  // Served by a child process, not a thread: the writers under test run in
  // children forked from this process, and a fork while a server thread
  // holds a lock (the allocator's, say) leaves that lock held in the child.
  state_->server = fork();
  if (state_->server == 0) {
    fuse_loop(state_->fuse);
    _exit(0);
  }
  if (state_->server < 0) reason_ = "cannot start the file system's server";
}

FailingCloseFs::~FailingCloseFs() {
  if (state_ == nullptr) return;
  if (state_->fuse != nullptr) {
    // Unmounting ends the server's pending read of the device.
    if (mounted_) fuse_unmount(state_->fuse);
    if (state_->server > 0) {
      int status = 0;
      waitpid(state_->server, &status, 0);
    }
    fuse_destroy(state_->fuse);
  }
  if (state_->written != nullptr) munmap(state_->written, sizeof(std::atomic<uint64_t>));
  delete state_;
}

uint64_t FailingCloseFs::bytes_written() const { return state_->written->load(); }

}  // namespace writer_test
