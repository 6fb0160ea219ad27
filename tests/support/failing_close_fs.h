// A file system whose every close() fails, for the writers' failure tests.
// Its interface carries no time_t or struct stat, so that it can be built
// against libfuse3's time_t while its users use the program's.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/test_support.h"

namespace writer_test {

// A FUSE file system mounted on a fresh directory, served by a child of this
// process: files can be created and written, and every close() of them fails
// with EIO. mounted() is false (with reason()) when FUSE is not available.
class FailingCloseFs {
 public:
  FailingCloseFs();
  ~FailingCloseFs();
  FailingCloseFs(const FailingCloseFs&) = delete;
  FailingCloseFs& operator=(const FailingCloseFs&) = delete;
  bool mounted() const { return mounted_ && reason_.empty(); }
  const std::string& reason() const { return reason_; }
  std::string file(const std::string& name) const { return dir_.path() + "/" + name; }
  // Bytes written to files of the file system so far.
  uint64_t bytes_written() const;
  struct State;  // what the file system's operations share

 private:
  testing_support::TempDir dir_;
  State* state_ = nullptr;
  bool mounted_ = false;
  std::string reason_;
};

}  // namespace writer_test
