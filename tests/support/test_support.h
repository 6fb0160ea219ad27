// Shared test support: a temporary directory, running code or the built
// program in a child process with its output captured, and small file helpers.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// What descriptor 3 of the child is.
enum class Fd3 { Closed, File, ReadOnly };

struct ChildOptions {
  Fd3 fd3 = Fd3::Closed;
  std::string stdin_text;           // fed to standard input
  std::vector<std::string> env;     // NAME=VALUE added to the child's environment
  std::vector<std::string> unset;   // names removed from the child's environment
};

struct ChildResult {
  int status = -1;     // exit status, or -1 when killed by a signal
  int signal = 0;      // terminating signal, 0 when it exited
  std::string out;     // standard output
  std::string err;     // standard error
  std::string fd3;     // what the child wrote to descriptor 3 (Fd3::File)
};

// Runs body in a forked child with standard output, standard error and
// descriptor 3 captured; the child exits with body's result (after flushing
// stdio) unless body exits first. Descriptors above 3 are closed in the
// child, so create fakes (threads, sockets) inside body.
ChildResult run_in_child(const std::function<int()>& body, const ChildOptions& options = {});

// Runs an executable with these arguments (argv[0] included) in a child.
ChildResult run_program(const std::vector<std::string>& argv, const ChildOptions& options = {});

// Path of a built program in the build tree, e.g. built_program("ccdshot").
std::string built_program(const std::string& name);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);
bool file_exists(const std::string& path);

}  // namespace testing_support
