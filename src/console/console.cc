#include "console/console.h"

#include <fcntl.h>
#include <libgen.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "settings/settings.h"

const char* program_name = "ccdshot";
int progress_fd = 3;

namespace {
// basename() may modify its argument, so it works on a copy that outlives the run.
char program_path[4096];
}  // namespace

void set_program_name(const char* argv0) {
  std::snprintf(program_path, sizeof program_path, "%s", argv0 != nullptr ? argv0 : "");
  program_name = basename(program_path);
}

void select_progress_channel() {
  progress_fd = 3;
  if (write(progress_fd, "", 0) != 0) progress_fd = fileno(stdout);
}

void reserve_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number, which is fd since the lower ones
    // are open by now. Without /dev/null (a bare chroot) the root directory
    // holds the place: reads and writes on it fail, as on a closed one.
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) < 0) {
      [[maybe_unused]] const int placeholder = open("/", O_RDONLY | O_DIRECTORY);
    }
  }
}

void console_start(const char* argv0) {
  reserve_standard_descriptors();
  set_program_name(argv0);
  select_progress_channel();
}

int progress_printf(const char* format, ...) {
  char text[2000];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const int written = static_cast<int>(write(progress_fd, text, std::strlen(text)));
  fsync(progress_fd);
  return written;
}

void usage_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\nTry running '%s -help'\n", program_name);
  std::exit(3);
}

void write_failed() {
  std::fprintf(stderr, "\n%s image write failed!\n", output_type_name(output_type));
  std::exit(2);
}
