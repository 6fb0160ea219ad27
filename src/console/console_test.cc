#include "console/console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "settings/settings.h"
#include "tests/support/test_support.h"

using testing_support::ChildOptions;
using testing_support::Fd3;
using testing_support::run_in_child;

namespace {

// Starts the console as the program would, then prints progress and a result line.
int progress_run() {
  console_start("/usr/local/bin/ccdshot");
  std::printf("result\n");
  const int n = progress_printf("\r%3d%%", 42);
  std::printf("returned %d\n", n);
  return 0;
}

}  // namespace

TEST(ConsoleTest, ProgressGoesToDescriptor3WhenOpenForWriting) {
  const auto result = run_in_child(progress_run, ChildOptions{.fd3 = Fd3::File});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.fd3, "\r 42%");
  EXPECT_EQ(result.out, "result\nreturned 5\n");
  EXPECT_EQ(result.err, "");
}

TEST(ConsoleTest, ProgressFallsBackToStandardOutput) {
  // Descriptor 3 closed or open only for reading: progress is written straight
  // to standard output's descriptor, ahead of the lines still in stdout's buffer.
  for (const Fd3 fd3 : {Fd3::Closed, Fd3::ReadOnly}) {
    const auto result = run_in_child(progress_run, ChildOptions{.fd3 = fd3});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "\r 42%result\nreturned 5\n");
    EXPECT_EQ(result.fd3, "");
  }
}

TEST(ConsoleTest, ProgressIsCutAt1999Characters) {
  const auto result = run_in_child(
      [] {
        console_start("ccdshot");
        const std::string long_text(2500, 'x');
        const int n = progress_printf("%s!", long_text.c_str());
        std::fprintf(stderr, "%d", n);
        return 0;
      },
      ChildOptions{.fd3 = Fd3::File});
  EXPECT_EQ(result.fd3, std::string(1999, 'x'));
  EXPECT_EQ(result.err, "1999");
}

TEST(ConsoleTest, ProgressWriteFailureReturnsMinusOne) {
  const auto result = run_in_child([] {
    console_start("ccdshot");
    progress_fd = 99;  // not open
    std::printf("%d", progress_printf("5 seconds remaining"));
    return 0;
  });
  EXPECT_EQ(result.out, "-1");
}

TEST(ConsoleTest, UsageErrorPrintsMessageAndHint) {
  struct Case {
    const char* argv0;
    const char* message;
    std::string expected;
  };
  const Case cases[] = {
      {"/a/b/c", "Missing Exposure Time", "Missing Exposure Time\nTry running 'c -help'\n"},
      {"ccdshot", "Pixel depth of 4 bits is not currently supported!\n",
       "Pixel depth of 4 bits is not currently supported!\n\nTry running 'ccdshot -help'\n"},
      {"./build/ccdshot", "", "\nTry running 'ccdshot -help'\n"},
  };
  for (const auto& c : cases) {
    const auto result = run_in_child([&]() -> int {
      console_start(c.argv0);
      std::printf("before\n");
      usage_error("%s", c.message);
    });
    EXPECT_EQ(result.status, 3) << c.argv0;
    EXPECT_EQ(result.err, c.expected);
    EXPECT_EQ(result.out, "before\n");  // buffered output is not lost
  }
}

TEST(ConsoleTest, WriteFailedNamesTheOutputType) {
  const std::pair<OutputType, std::string> cases[] = {
      {OUTPUT_UNSPECIFIED, "\nunspecified image write failed!\n"},
      {OUTPUT_TIFF, "\nTIFF image write failed!\n"},
      {OUTPUT_FITS, "\nFITS image write failed!\n"},
      {OUTPUT_JPEG, "\nJPEG image write failed!\n"},
  };
  for (const auto& [type, expected] : cases) {
    const auto result = run_in_child([&]() -> int {
      console_start("ccdshot");
      output_type = type;
      write_failed();
    });
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, expected);
  }
}
