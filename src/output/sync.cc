// Making a finished output file durable before the run reports it complete:
// its data, then the directory entry that names it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "output/output.h"

int sync_output(int fd) {
  // fdatasync writes the data and what is needed to read it back (the size),
  // not the times; fsync where the system has no fdatasync.
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
  if (fdatasync(fd) == 0) return 0;
#else
  if (fsync(fd) == 0) return 0;
#endif
  // A pipe, a socket or a device such as /dev/null holds no data to make
  // durable and refuses the call as unsupported; for a regular file every
  // failure stands.
  if (errno != EINVAL && errno != EROFS) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISREG(st.st_mode)) return -1;
  return 0;
}

int sync_directory_entry(int fd, const char* path) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return -1;
  // Only a regular file has an entry that a crash could lose.
  if (!S_ISREG(st.st_mode)) return 0;
  // The directory that holds the file itself, symbolic links followed as the
  // open followed them; realpath gives an absolute path.
  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr) return -1;
  char* slash = std::strrchr(resolved, '/');
  if (slash == nullptr) return -1;
  slash[slash == resolved ? 1 : 0] = '\0';
  const int directory = open(resolved, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) {
    // A directory the user may write in but not read cannot be opened to
    // sync it; syncing the file system through the file covers its entry.
    if (errno == EACCES) return syncfs(fd) == 0 ? 0 : -1;
    return -1;
  }
  // A file system that cannot sync a directory refuses the call as
  // unsupported: there is nothing more the writer can do.
  const bool synced = fsync(directory) == 0 || errno == EINVAL;
  const bool closed = close(directory) == 0;
  return synced && closed ? 0 : -1;
}
