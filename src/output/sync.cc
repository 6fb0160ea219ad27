// Making a finished output file durable before the run reports it complete.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
