// faultfs: a FUSE file system for tests of how a program finishes its files.
// One directory of regular files held in memory. Every write, sync, flush (the
// kernel sends one on each close() of a descriptor), release (after the last
// close) and sync of the directory is logged as one line, in the order the
// file system serves them:
//   write PATH OFFSET SIZE | fsync PATH | fdatasync PATH | flush PATH | release PATH | fsyncdir PATH
// Options make every sync or every flush of a file, or every sync of the
// directory, fail with EIO, as storage that fails late does (a pulled stick,
// a network share, a full quota); --refuse-fsyncdir answers a sync of the
// directory with EINVAL, as a file system that cannot sync directories does.
//
// Usage: faultfs [--fail-fsync] [--fail-flush] [--fail-fsyncdir] [--refuse-fsyncdir] [--log=FILE]
//                [--ready=FILE] MOUNTPOINT
// Serves until unmounted (fusermount3 -u) or SIGINT, SIGTERM or SIGHUP. Each
// log line is appended with one write() (O_APPEND), so another process may
// append its own lines to the same log in between. FILE of --ready gets the
// mount point once the mount is live.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Settings {
  bool fail_fsync = false;
  bool fail_flush = false;
  int fsyncdir_error = 0;  // the errno every sync of the directory fails with, 0: none
  std::string log_file;
  std::string ready_file;
  std::string mountpoint;
};

Settings settings;
int log_fd = -1;
// The files by path ("/name"). fuse_loop serves one request at a time.
std::map<std::string, std::vector<char>> files;

void log_event(const std::string& line) {
  if (log_fd < 0) return;
  const std::string text = line + "\n";
  if (write(log_fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::fprintf(stderr, "faultfs: cannot write the log: %s\n", std::strerror(errno));
  }
}

std::vector<char>* file_of(const char* path) {
  const auto found = files.find(path);
  return found == files.end() ? nullptr : &found->second;
}

void* op_init(fuse_conn_info*, fuse_config* config) {
  // No attribute caching: sizes are read back as written.
  config->attr_timeout = 0;
  config->entry_timeout = 0;
  if (!settings.ready_file.empty()) {
    const std::string temporary = settings.ready_file + ".tmp";
    FILE* out = std::fopen(temporary.c_str(), "w");
    if (out == nullptr || std::fprintf(out, "%s\n", settings.mountpoint.c_str()) < 0 || std::fclose(out) != 0 ||
        std::rename(temporary.c_str(), settings.ready_file.c_str()) != 0) {
      std::fprintf(stderr, "faultfs: cannot write %s: %s\n", settings.ready_file.c_str(), std::strerror(errno));
    }
  }
  return nullptr;
}

int op_getattr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  st->st_uid = getuid();
  st->st_gid = getgid();
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  const std::vector<char>* data = file_of(path);
  if (data == nullptr) return -ENOENT;
  st->st_mode = S_IFREG | 0644;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(data->size());
  return 0;
}

int op_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOTDIR;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (const auto& entry : files) {
    fill(buffer, entry.first.c_str() + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  }
  return 0;
}

int op_create(const char* path, mode_t, fuse_file_info*) {
  files[path].clear();
  return 0;
}

int op_open(const char* path, fuse_file_info*) { return file_of(path) != nullptr ? 0 : -ENOENT; }

int op_truncate(const char* path, off_t size, fuse_file_info*) {
  std::vector<char>* data = file_of(path);
  if (data == nullptr) return -ENOENT;
  data->resize(static_cast<std::size_t>(size));
  return 0;
}

int op_utimens(const char* path, const timespec*, fuse_file_info*) { return file_of(path) != nullptr ? 0 : -ENOENT; }

int op_unlink(const char* path) { return files.erase(path) != 0 ? 0 : -ENOENT; }

int op_read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info*) {
  const std::vector<char>* data = file_of(path);
  if (data == nullptr) return -ENOENT;
  const auto start = std::min(static_cast<std::size_t>(offset), data->size());
  const std::size_t count = std::min(size, data->size() - start);
  std::memcpy(buffer, data->data() + start, count);
  return static_cast<int>(count);
}

int op_write(const char* path, const char* buffer, size_t size, off_t offset, fuse_file_info*) {
  std::vector<char>* data = file_of(path);
  if (data == nullptr) return -ENOENT;
  const auto start = static_cast<std::size_t>(offset);
  if (data->size() < start + size) data->resize(start + size);
  std::memcpy(data->data() + start, buffer, size);
  log_event("write " + std::string(path) + " " + std::to_string(offset) + " " + std::to_string(size));
  return static_cast<int>(size);
}

int op_fsync(const char* path, int datasync, fuse_file_info*) {
  log_event((datasync != 0 ? "fdatasync " : "fsync ") + std::string(path));
  return settings.fail_fsync ? -EIO : 0;
}

int op_fsyncdir(const char* path, int datasync, fuse_file_info*) {
  log_event((datasync != 0 ? "fdatasyncdir " : "fsyncdir ") + std::string(path));
  return -settings.fsyncdir_error;
}

int op_flush(const char* path, fuse_file_info*) {
  log_event("flush " + std::string(path));
  return settings.fail_flush ? -EIO : 0;
}

int op_release(const char* path, fuse_file_info*) {
  log_event("release " + std::string(path));
  return 0;
}

[[noreturn]] void usage_failure(const char* what) {
  std::fprintf(stderr,
               "faultfs: %s\nUsage: faultfs [--fail-fsync] [--fail-flush] [--fail-fsyncdir] [--refuse-fsyncdir] "
               "[--log=FILE] [--ready=FILE] MOUNTPOINT\n",
               what);
  std::exit(2);
}

void parse_command_line(int argc, char** argv) {
  enum : int { FAIL_FSYNC = 256, FAIL_FLUSH, FAIL_FSYNCDIR, REFUSE_FSYNCDIR, LOG, READY };
  static const option options[] = {{"fail-fsync", no_argument, nullptr, FAIL_FSYNC},
                                   {"fail-flush", no_argument, nullptr, FAIL_FLUSH},
                                   {"fail-fsyncdir", no_argument, nullptr, FAIL_FSYNCDIR},
                                   {"refuse-fsyncdir", no_argument, nullptr, REFUSE_FSYNCDIR},
                                   {"log", required_argument, nullptr, LOG},
                                   {"ready", required_argument, nullptr, READY},
                                   {nullptr, 0, nullptr, 0}};
  int code = 0;
  while ((code = getopt_long(argc, argv, "", options, nullptr)) != -1) {
    switch (code) {
      case FAIL_FSYNC: settings.fail_fsync = true; break;
      case FAIL_FLUSH: settings.fail_flush = true; break;
      case FAIL_FSYNCDIR: settings.fsyncdir_error = EIO; break;
      case REFUSE_FSYNCDIR: settings.fsyncdir_error = EINVAL; break;
      case LOG: settings.log_file = optarg; break;
      case READY: settings.ready_file = optarg; break;
      default: usage_failure("unknown option");
    }
  }
  if (optind + 1 != argc) usage_failure("one mount point is needed");
  settings.mountpoint = argv[optind];
}

}  // namespace

int main(int argc, char** argv) {
  parse_command_line(argc, argv);
  if (!settings.log_file.empty()) {
    log_fd = open(settings.log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
      std::fprintf(stderr, "faultfs: cannot open %s: %s\n", settings.log_file.c_str(), std::strerror(errno));
      return 1;
    }
  }
  fuse_operations ops{};
  ops.init = op_init;
  ops.getattr = op_getattr;
  ops.readdir = op_readdir;
  ops.create = op_create;
  ops.open = op_open;
  ops.truncate = op_truncate;
  ops.utimens = op_utimens;
  ops.unlink = op_unlink;
  ops.read = op_read;
  ops.write = op_write;
  ops.fsync = op_fsync;
  ops.fsyncdir = op_fsyncdir;
  ops.flush = op_flush;
  ops.release = op_release;

  char name[] = "faultfs";
  char* fuse_argv[] = {name, nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, fuse_argv);
  fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
  fuse_opt_free_args(&args);
  if (fs == nullptr) {
    std::fprintf(stderr, "faultfs: cannot start the file system\n");
    return 1;
  }
  int status = 1;
  if (fuse_mount(fs, settings.mountpoint.c_str()) != 0) {
    std::fprintf(stderr, "faultfs: cannot mount %s\n", settings.mountpoint.c_str());
  } else {
    fuse_session* session = fuse_get_session(fs);
    if (fuse_set_signal_handlers(session) == 0) {
      status = fuse_loop(fs) == 0 ? 0 : 1;
      fuse_remove_signal_handlers(session);
    }
    fuse_unmount(fs);
  }
  fuse_destroy(fs);
  if (log_fd >= 0) close(log_fd);
  return status;
}
