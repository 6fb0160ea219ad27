#include "options/options.h"

#include <getopt.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "console/console.h"
#include "tests/support/test_support.h"

using testing_support::ChildOptions;
using testing_support::ChildResult;
using testing_support::run_in_child;

namespace {

using Words = std::vector<std::string>;

// The run's settings after a pass, in a form a table can spell out.
struct Settings {
  std::string type = "unspecified";
  unsigned debug = 0;
  int width = 0;
  int height = 0;
  int x = 0;
  int y = 0;
  int bin_x = 1;
  int bin_y = 1;
  double seconds = 0.0;
  int target = 0;
  int flags = 0;
  std::string camera = "/dev/ccda";
  Words positional;
};

std::string describe(const Settings& s) {
  char line[512];
  std::snprintf(line, sizeof line,
                "type=%s debug=%u size=%dx%d origin=%d,%d bin=%dx%d seconds=%.12g target=%d "
                "flags=0x%02x camera='%s' positional=[",
                s.type.c_str(), s.debug, s.width, s.height, s.x, s.y, s.bin_x, s.bin_y, s.seconds,
                s.target, s.flags, s.camera.c_str());
  std::string text = line;
  for (std::size_t i = 0; i < s.positional.size(); ++i) {
    if (i > 0) text += '|';
    text += s.positional[i];
  }
  return text + "]\n";
}

// Writable argv for getopt, which permutes the pointers; argv[0] is "ccdshot".
struct Argv {
  explicit Argv(const Words& args) : words{"ccdshot"} {
    words.insert(words.end(), args.begin(), args.end());
    for (std::string& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words.size()); }
  char** argv() { return pointers.data(); }
  Words words;
  std::vector<char*> pointers;
};

// One option pass as the program runs it; prints the resulting settings, and
// a line of its own if the device path record holds bytes after its end.
int pass_and_print(const Words& args) {
  reset_settings();
  set_program_name("ccdshot");
  Argv command(args);
  CameraInfo camera = make_camera_info();
  ExposureRequest request = make_exposure_request(&camera);
  const int index = parse_options(command.argc(), command.argv(), &camera, &request);
  Settings s{.type = output_type_name(output_type),
             .debug = debug_level,
             .width = window_width,
             .height = window_height,
             .x = window_x,
             .y = window_y,
             .bin_x = binning_x,
             .bin_y = binning_y,
             .seconds = exposure_seconds,
             .target = autoexpose_target,
             .flags = request.flags,
             .camera = std::string(camera.device_path, strnlen(camera.device_path, 64))};
  for (int i = index; i < command.argc(); ++i) s.positional.push_back(command.argv()[i]);
  std::fputs(describe(s).c_str(), stdout);
  for (std::size_t i = s.camera.size(); i < sizeof camera.device_path; ++i) {
    if (camera.device_path[i] != '\0') {
      std::printf("device_path byte %zu is not zero\n", i);
      break;
    }
  }
  return 0;
}

ChildResult run_pass(const Words& args, const ChildOptions& options = {}) {
  return run_in_child([&] { return pass_and_print(args); }, options);
}

std::string joined(const Words& args) {
  std::string text;
  for (const std::string& word : args) text += "[" + word + "]";
  return text;
}

const char* const HINT = "\nTry running 'ccdshot -help'\n";

const char* const HELP_TEXT =
    "ccdshot revised 10/9/05 <ccdshot-maintainers@example.org>\n"
    "Snap a photo from a monochrome CCD camera. Usage:\n"
    "  ccdshot {options} <exposure seconds> <output file>\n"
    "seconds may be specified in floating point for millisecond resolution\n"
    "options:  (may be abbriviated)\n"
    "  -autoexpose{=300} #auto duration with specified max duration in seconds\n"
    "  -binning=x{,y}    #x,y binning factors\n"
    "  -offset=x{,y}     #origin offset\n"
    "  -origin=x{,y}     #same as -offset=\n"
    "  -size=x{,y}       #size of the image (width x height)\n"
    "  -camera=deviceFn  #use specified device rather than /dev/ccda\n"
    "  -tiff{=deflate}   #output TIFF file with optional deflate compression\n"
    "  -fits             #output FITS file (image rotated 180 degrees wrt TIFF)\n"
    "  -debug{=2}        #display debugging info with optional debugging level\n"
    "  -help             #displays this\n"
    "examples:\n"
    "  ccdshot 1.5 myimage.tiff  #1.5 second exposure to myimage.tiff w/o binning\n"
    "  ccdshot -bin 2x3 .005 myimage.tiff  #5 msec exposure with 2x3 binning\n"
    "notes:\n"
    "  If possible, progress messages are output to file descriptor 3\n"
    "  Otherwise, they are sent to stdout.\n";

struct AcceptedCase {
  Words args;
  Settings expected;
};

// Runs each accepted case in its own child and compares the whole settings line.
void expect_accepted(const std::vector<AcceptedCase>& cases, const ChildOptions& options = {}) {
  for (const AcceptedCase& c : cases) {
    SCOPED_TRACE(joined(c.args));
    const ChildResult result = run_pass(c.args, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, describe(c.expected));
  }
}

struct RefusedCase {
  Words args;
  std::string err;  // the whole standard error, hint excluded
};

// Each refused case exits with status 3, prints nothing on standard output
// and exactly the message followed by the hint on standard error.
void expect_refused(const std::vector<RefusedCase>& cases) {
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(joined(c.args));
    const ChildResult result = run_pass(c.args);
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err + HINT);
  }
}

}  // namespace

TEST(OptionsTest, OutputTypeDisplayNames) {
  EXPECT_STREQ(output_type_name(OUTPUT_UNSPECIFIED), "unspecified");
  EXPECT_STREQ(output_type_name(OUTPUT_TIFF), "TIFF");
  EXPECT_STREQ(output_type_name(OUTPUT_FITS), "FITS");
  EXPECT_STREQ(output_type_name(OUTPUT_JPEG), "JPEG");
  for (const int bad : {4, -1, 1000, -2147483647 - 1}) {
    EXPECT_STREQ(output_type_name(static_cast<OutputType>(bad)), "unknown") << bad;
  }
}

TEST(OptionsTest, ResetRestoresInitialValues) {
  output_type = OUTPUT_JPEG;
  debug_level = 9;
  window_width = window_height = window_x = window_y = 7;
  binning_x = binning_y = 3;
  exposure_seconds = -12.0;
  autoexpose_target = 5;
  reset_settings();
  Settings actual{.type = output_type_name(output_type),
                  .debug = debug_level,
                  .width = window_width,
                  .height = window_height,
                  .x = window_x,
                  .y = window_y,
                  .bin_x = binning_x,
                  .bin_y = binning_y,
                  .seconds = exposure_seconds,
                  .target = autoexpose_target};
  EXPECT_EQ(describe(actual), describe(Settings{}));
  EXPECT_EQ(optind, 0);
  EXPECT_EQ(opterr, 1);
}

TEST(OptionsTest, SecondPassAfterResetStartsAfresh) {
  // A first pass leaves getopt's index and permutation state behind; the
  // second pass must see its own command line from the start.
  const ChildResult result = run_in_child([] {
    pass_and_print({"a", "-bin", "2", "b", "-dark"});
    pass_and_print({"-size", "5", "c"});
    return 0;
  });
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, describe({.bin_x = 2, .bin_y = 2, .flags = EXPOSE_DARK, .positional = {"a", "b"}}) +
                            describe({.width = 5, .height = 5, .positional = {"c"}}));
}

TEST(OptionsTest, NoOptions) {
  expect_accepted({
      {{}, {}},
      {{"1.5", "out.tif"}, {.positional = {"1.5", "out.tif"}}},
      {{"-"}, {.positional = {"-"}}},
  });
}

TEST(OptionsTest, PairRuleSeparatorsAndDefaults) {
  expect_accepted({
      {{"-bin", "2x3"}, {.bin_x = 2, .bin_y = 3}},
      {{"-bin=2,3"}, {.bin_x = 2, .bin_y = 3}},
      {{"--binning=2:3"}, {.bin_x = 2, .bin_y = 3}},
      {{"-binning", "2 3"}, {.bin_x = 2, .bin_y = 3}},
      {{"-bin", "2"}, {.bin_x = 2, .bin_y = 2}},
      {{"-bin=4,,;; 1"}, {.bin_x = 4, .bin_y = 1}},
      {{"-bin=1x4"}, {.bin_x = 1, .bin_y = 4}},
      {{"-size=640x"}, {.width = 640, .height = 640}},
      {{"-size=2x3x4"}, {.width = 2, .height = 3}},
      {{"-size=1,2.5"}, {.width = 1, .height = 2}},
      {{"-size= 7 , +9"}, {.width = 7, .height = 9}},
      {{"-offset=5x-0"}, {.x = 5, .y = 0}},
      {{"-size=0,0"}, {}},
      {{"-bin=2", "-bin=3,4"}, {.bin_x = 3, .bin_y = 4}},
      {{"-origin=3,4"}, {.x = 3, .y = 4}},
      {{"-offset", "1", "-origin", "6"}, {.x = 6, .y = 6}},
  });
}

TEST(OptionsTest, IntegerRuleBasesAndLimits) {
  expect_accepted({
      {{"-size=0x200"}, {.width = 512, .height = 512}},
      {{"-size=0x10,0X20"}, {.width = 16, .height = 32}},
      {{"-offset=010,020"}, {.x = 8, .y = 16}},
      {{"-offset=08,09"}, {.x = 0, .y = 8}},
      {{"-size=09"}, {.width = 0, .height = 9}},
      {{"-size=2147483647"}, {.width = 2147483647, .height = 2147483647}},
      {{"-offset=0x7fffffff,1"}, {.x = 2147483647, .y = 1}},
  });
}

TEST(OptionsTest, RefusedPairValues) {
  expect_refused({
      {{"-bin", "5"}, "Binning factors must be between 1 and 4!"},
      {{"-bin", "0"}, "Binning factors must be between 1 and 4!"},
      {{"-bin", "2x5"}, "Binning factors must be between 1 and 4!"},
      {{"-bin=1,0"}, "Binning factors must be between 1 and 4!"},
      {{"-bin=-1"}, "Binning factors must be between 1 and 4!"},
      {{"-bin=5,1"}, "Binning factors must be between 1 and 4!"},
      {{"-bin=0,2"}, "Binning factors must be between 1 and 4!"},
      {{"-bin=1,5"}, "Binning factors must be between 1 and 4!"},
      {{"-bin", "2.5"}, "\".5\" is not a valid integer"},
      {{"-size=1x.5"}, "\".5\" is not a valid integer"},
      {{"-size=1x+"}, "\"+\" is not a valid integer"},
      {{"-bin=x"}, "\"x\" is not a valid integer"},
      {{"-size="}, "\"\" is not a valid integer"},
      {{"-size=640,-480"}, "Negative image size specified!"},
      {{"-size=-1"}, "Negative image size specified!"},
      {{"-size=-2147483648"}, "Negative image size specified!"},
      {{"-offset=-1,0"}, "Negative origin offset specified!"},
      {{"-origin=0,-2"}, "Negative origin offset specified!"},
      {{"-size=2147483648"}, "\"2147483648\" is not a valid integer"},
      {{"-size=1,-2147483649"}, "\"-2147483649\" is not a valid integer"},
      {{"-size=0x100000000"}, "\"0x100000000\" is not a valid integer"},
      {{"-size=99999999999999999999"}, "\"99999999999999999999\" is not a valid integer"},
  });
}

TEST(OptionsTest, BothNumbersStoredBeforeRangeTest) {
  // The refusal happens after both values are in place: an exit handler sees them.
  const ChildResult result = run_in_child([] {
    std::atexit([] { std::printf("bin=%dx%d seconds=%g\n", binning_x, binning_y, exposure_seconds); });
    pass_and_print({"-bin=2,7"});
    return 0;
  });
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.out, "bin=2x7 seconds=0\n");
  EXPECT_EQ(result.err, std::string("Binning factors must be between 1 and 4!") + HINT);
}

TEST(OptionsTest, ParsersReturnPositionPastNumber) {
  // In a child: a parser that wrongly refuses its text exits the process.
  const ChildResult result = run_in_child([] {
    set_program_name("ccdshot");
    int32_t value = 0;
    const char* rest = parse_int("12abc", &value);
    std::printf("%d [%s]\n", value, rest);
    rest = parse_int(" -0x1F,", &value);
    std::printf("%d [%s]\n", value, rest);
    double seconds = 0.0;
    rest = parse_seconds("2147483.647s", &seconds);
    std::printf("%.10g [%s]\n", seconds, rest);
    rest = parse_seconds(".005", &seconds);
    std::printf("%.10g [%s]\n", seconds, rest);
    char value_text[] = "3:4rest";
    optarg = value_text;
    int32_t first = 0;
    int32_t second = 0;
    rest = parse_pair(&first, &second);
    std::printf("%d %d [%s]\n", first, second, rest);
    char single_text[] = "640x";
    optarg = single_text;
    rest = parse_pair(&first, &second);
    std::printf("%d %d [%s]\n", first, second, rest);
    return 0;
  });
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "12 [abc]\n-31 [,]\n2147483.647 [s]\n0.005 []\n3 4 [rest]\n640 640 [x]\n");
}

TEST(OptionsTest, SecondsStoredBeforeLimitTest) {
  const ChildResult result = run_in_child([] {
    set_program_name("ccdshot");
    double seconds = 1.0;
    static double* watched = &seconds;
    std::atexit([] { std::printf("stored %.10g\n", *watched); });
    parse_seconds("2147483.648", &seconds);
    return 0;
  });
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.out, "stored 2147483.648\n");
  EXPECT_EQ(result.err, std::string("Exposure duration (2.14748e+06) is too long!") + HINT);
}

TEST(OptionsTest, AbbreviationsAndDashes) {
  expect_accepted({
      {{"-auto"}, {.seconds = -300}},
      {{"-a=10"}, {.seconds = -10}},
      {{"-cam=/dev/x"}, {.camera = "/dev/x"}},
      {{"-c", "/dev/y"}, {.camera = "/dev/y"}},
      {{"-bin", "3"}, {.bin_x = 3, .bin_y = 3}},
      {{"-binn=3"}, {.bin_x = 3, .bin_y = 3}},
      {{"-ti"}, {.type = "TIFF"}},
      {{"-TI"}, {.type = "TIFF"}},
      {{"-td"}, {.flags = EXPOSE_TDI}},
      {{"-TD"}, {.flags = EXPOSE_TDI}},
      {{"-f"}, {.type = "FITS"}},
      {{"-F"}, {.type = "FITS"}},
      {{"-j"}, {.type = "JPEG"}},
      {{"-J"}, {.type = "JPEG"}},
      {{"-da"}, {.flags = EXPOSE_DARK}},
      {{"-de"}, {.debug = 1}},
      {{"-now", "-noc", "-noa"},
       {.flags = EXPOSE_NOWIPE | EXPOSE_NOCLEAR | EXPOSE_NOACCUMULATION}},
      {{"-of=1"}, {.x = 1, .y = 1}},
      {{"-or=2"}, {.x = 2, .y = 2}},
      {{"-s", "5"}, {.width = 5, .height = 5}},
      {{"--size=4", "--dark"}, {.width = 4, .height = 4, .flags = EXPOSE_DARK}},
      {{"--si", "4"}, {.width = 4, .height = 4}},
  });
}

TEST(OptionsTest, FlagsAccumulateAndAreIdempotent) {
  expect_accepted({
      {{"-dark"}, {.flags = 0x10}},
      {{"-nowipe"}, {.flags = 0x08}},
      {{"-noclear"}, {.flags = 0x40}},
      {{"-noaccumulation"}, {.flags = 0x04}},
      {{"-tdi"}, {.flags = 0x20}},
      {{"-TDI"}, {.flags = 0x20}},
      {{"-dark", "-dark"}, {.flags = 0x10}},
      {{"-dark", "-nowipe", "-noclear", "-noaccumulation", "-tdi", "-TDI", "-dark"}, {.flags = 0x7c}},
  });
}

TEST(OptionsTest, OutputTypes) {
  expect_accepted({
      {{"-tiff"}, {.type = "TIFF"}},
      {{"-TIFF"}, {.type = "TIFF"}},
      {{"-fits"}, {.type = "FITS"}},
      {{"-FITS"}, {.type = "FITS"}},
      {{"-jpeg"}, {.type = "JPEG"}},
      {{"-JPEG"}, {.type = "JPEG"}},
      {{"-tiff=none"}, {.type = "TIFF"}},
      {{"-tiff", "deflate"}, {.type = "TIFF", .positional = {"deflate"}}},
  });
  expect_refused({
      {{"-tiff", "-fits"}, "Redundant ouput file type specification!"},
      {{"-fits", "-FITS"}, "Redundant ouput file type specification!"},
      {{"-tiff", "-tiff"}, "Redundant ouput file type specification!"},
      {{"-jpeg", "-TIFF=deflate"}, "Redundant ouput file type specification!"},
  });
}

TEST(OptionsTest, DeflateSetsCompressionVariable) {
  struct Case {
    Words args;
    const char* before;  // nullptr: unset
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"-tiff=deflate"}, nullptr, "32946"},
      {{"-tiff=d"}, "5", "32946"},
      {{"-TIFF=Dxyz"}, "1", "32946"},
      {{"-ti=D"}, nullptr, "32946"},
      {{"-tiff=none"}, "5", "5"},
      {{"-tiff=none"}, nullptr, "(unset)"},
      {{"-tiff"}, "7", "7"},
      {{"-tiff="}, nullptr, "(unset)"},
      {{"-tiff=xdeflate"}, nullptr, "(unset)"},
      {{"-tiff", "deflate"}, nullptr, "(unset)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.args));
    ChildOptions options;
    if (c.before != nullptr) {
      options.env.push_back(std::string("TIFF_COMPRESSION=") + c.before);
    } else {
      options.unset.push_back("TIFF_COMPRESSION");
    }
    const ChildResult result = run_in_child(
        [&] {
          reset_settings();
          set_program_name("ccdshot");
          Argv command(c.args);
          CameraInfo camera = make_camera_info();
          ExposureRequest request = make_exposure_request(&camera);
          parse_options(command.argc(), command.argv(), &camera, &request);
          const char* value = std::getenv("TIFF_COMPRESSION");
          std::printf("%s %s\n", output_type_name(output_type), value != nullptr ? value : "(unset)");
          return 0;
        },
        options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "TIFF " + c.expected + "\n");
  }
}

TEST(OptionsTest, AutoexposeAccepted) {
  expect_accepted({
      {{"-autoexpose"}, {.seconds = -300}},
      {{"-autoexpose=60"}, {.seconds = -60}},
      {{"-autoexpose=,40000"}, {.seconds = -300, .target = 40000}},
      {{"-autoexpose=0.0021"}, {.seconds = -0.0021}},
      {{"-autoexpose=12.5,30000"}, {.seconds = -12.5, .target = 30000}},
      {{"-autoexpose=5,0x10"}, {.seconds = -5, .target = 16}},
      {{"-autoexpose=,-5"}, {.seconds = -300, .target = -5}},
      {{"-autoexpose=2147483.647"}, {.seconds = -2147483.647}},
      {{"-autoexpose", "60"}, {.seconds = -300, .positional = {"60"}}},
      {{"-autoexpose=,40000", "-autoexpose=20"}, {.seconds = -20, .target = 40000}},
      {{"-autoexpose=,40000", "-autoexpose"}, {.seconds = -300, .target = 40000}},
      {{"-autoexpose=10,100", "-autoexpose=20,200"}, {.seconds = -20, .target = 200}},
  });
}

TEST(OptionsTest, AutoexposeRefused) {
  expect_refused({
      {{"-autoexpose=5,"}, "\"\" is not a valid integer"},
      {{"-autoexpose=,"}, "\"\" is not a valid integer"},
      {{"-autoexpose="}, "\"\" is not a valid floating point value"},
      {{"-autoexpose=0.001"}, "autoexposure limit must be > 2ms"},
      {{"-autoexpose=0.002"}, "autoexposure limit must be > 2ms"},
      {{"-autoexpose=0"}, "autoexposure limit must be > 2ms"},
      {{"-autoexpose=-5"}, "autoexposure limit must be > 2ms"},
      {{"-autoexpose=nan"}, "autoexposure limit must be > 2ms"},
      {{"-autoexpose=,40000", "-autoexpose=0.002"}, "autoexposure limit must be > 2ms"},
      {{"-autoexpose=inf"}, "Exposure duration (inf) is too long!"},
      {{"-autoexpose=2147483.648"}, "Exposure duration (2.14748e+06) is too long!"},
      {{"-autoexpose=1e999"}, "\"1e999\" is not a valid floating point value"},
      {{"-autoexpose=1e-400"}, "\"1e-400\" is not a valid floating point value"},
      {{"-autoexpose=abc"}, "\"abc\" is not a valid floating point value"},
      {{"-autoexpose=5s"}, "Junk text after autoexposure max duration!"},
      {{"-autoexpose=5;100"}, "Junk text after autoexposure max duration!"},
      {{"-autoexpose=5,100x"}, "Junk text after autoexposure max A/D count target!"},
      {{"-autoexpose=5,100,"}, "Junk text after autoexposure max A/D count target!"},
      {{"-autoexpose=,abc"}, "\"abc\" is not a valid integer"},
      {{"-autoexpose=,2147483648"}, "\"2147483648\" is not a valid integer"},
  });
}

TEST(OptionsTest, DebugLevels) {
  expect_accepted({
      {{"-debug"}, {.debug = 1}},
      {{"-debug=2"}, {.debug = 2}},
      {{"-debug=256"}, {.debug = 0}},
      {{"-debug=-1"}, {.debug = 255}},
      {{"-debug=abc"}, {.debug = 0}},
      {{"-debug=7x"}, {.debug = 7}},
      {{"-debug=010"}, {.debug = 10}},
      {{"-debug=3", "-debug"}, {.debug = 1}},
      {{"-debug", "2"}, {.debug = 1, .positional = {"2"}}},
  });
}

TEST(OptionsTest, CameraPath) {
  const std::string long_path = "/dev/" + std::string(70, 'q');
  expect_accepted({
      {{"-camera=/dev/ccdb"}, {.camera = "/dev/ccdb"}},
      {{"-camera", "/dev/ccdc"}, {.camera = "/dev/ccdc"}},
      {{"-camera="}, {.camera = ""}},
      {{"-camera", ""}, {.camera = ""}},
      {{"-camera=" + long_path.substr(0, 63)}, {.camera = long_path.substr(0, 63)}},
      // A shorter path replacing a longer one leaves no bytes of the first behind.
      {{"-camera=" + long_path.substr(0, 63), "-camera=/dev/x"}, {.camera = "/dev/x"}},
  });
  // A longer path is refused, not cut to a path that may name another device.
  expect_refused({
      {{"-camera=" + long_path.substr(0, 64)}, "Camera device path longer than 63 characters!"},
      {{"-camera", long_path}, "Camera device path longer than 63 characters!"},
  });
}

TEST(OptionsTest, PositionalWordsAndEndOfOptions) {
  const std::vector<AcceptedCase> cases = {
      {{"1.5", "-bin", "2", "out.tif", "-dark"},
       {.bin_x = 2, .bin_y = 2, .flags = EXPOSE_DARK, .positional = {"1.5", "out.tif"}}},
      {{"-bin", "2", "--", "-dark", "x"}, {.bin_x = 2, .bin_y = 2, .positional = {"-dark", "x"}}},
      {{"a", "--", "-x"}, {.positional = {"a", "-x"}}},
      {{"--"}, {}},
  };
  expect_accepted(cases);
  // The environment does not change which words are options.
  expect_accepted(cases, {.env = {"POSIXLY_CORRECT=1"}});
  // A required argument takes the next word whatever it is, "--" included.
  expect_refused({{{"-bin", "--"}, "\"--\" is not a valid integer"}});
  // The index returned names the first positional word after permutation.
  const ChildResult result = run_in_child([] {
    reset_settings();
    set_program_name("ccdshot");
    Argv command({"a", "-dark", "b", "-tdi"});
    CameraInfo camera = make_camera_info();
    ExposureRequest request = make_exposure_request(&camera);
    const int index = parse_options(command.argc(), command.argv(), &camera, &request);
    std::printf("%d %s %s %s %s\n", index, command.argv()[1], command.argv()[2], command.argv()[3],
                command.argv()[4]);
    return 0;
  });
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "3 -dark -tdi a b\n");
}

TEST(OptionsTest, RejectedOptionWords) {
  expect_refused({
      {{"-x"}, "ccdshot: unrecognized option '-x'\ninvalid option: -x"},
      {{"--x"}, "ccdshot: unrecognized option '--x'\ninvalid option: --x"},
      {{"-Dark"}, "ccdshot: unrecognized option '-Dark'\ninvalid option: -Dark"},
      {{"-binx=2"}, "ccdshot: unrecognized option '-binx=2'\ninvalid option: -binx=2"},
      {{"-d"},
       "ccdshot: option '-d' is ambiguous; possibilities: '-dark' '-debug'\ninvalid option: -d"},
      {{"-t"}, "ccdshot: option '-t' is ambiguous; possibilities: '-tdi' '-tiff'\ninvalid option: -t"},
      {{"-T"}, "ccdshot: option '-T' is ambiguous; possibilities: '-TDI' '-TIFF'\ninvalid option: -T"},
      {{"-n"},
       "ccdshot: option '-n' is ambiguous; possibilities: '-nowipe' '-noclear' '-noaccumulation'\n"
       "invalid option: -n"},
      {{"-no"},
       "ccdshot: option '-no' is ambiguous; possibilities: '-nowipe' '-noclear' '-noaccumulation'\n"
       "invalid option: -no"},
      {{"--no=1"},
       "ccdshot: option '--no=1' is ambiguous; possibilities: '--nowipe' '--noclear' "
       "'--noaccumulation'\ninvalid option: --no=1"},
      {{"-bi=2"},
       "ccdshot: option '-bi=2' is ambiguous; possibilities: '-binning' '-bin'\ninvalid option: -bi=2"},
      {{"-o", "1"},
       "ccdshot: option '-o' is ambiguous; possibilities: '-offset' '-origin'\ninvalid option: -o"},
      {{"-bin"}, "ccdshot: option '-bin' requires an argument\ninvalid option: -bin"},
      {{"-cam"}, "ccdshot: option '-camera' requires an argument\ninvalid option: -cam"},
      {{"--size"}, "ccdshot: option '--size' requires an argument\ninvalid option: --size"},
      {{"-dark=1"}, "ccdshot: option '-dark' doesn't allow an argument\ninvalid option: -dark=1"},
      {{"-da=1"}, "ccdshot: option '-dark' doesn't allow an argument\ninvalid option: -da=1"},
      {{"-fits=yes"}, "ccdshot: option '-fits' doesn't allow an argument\ninvalid option: -fits=yes"},
      {{"--help=me"}, "ccdshot: option '--help' doesn't allow an argument\ninvalid option: --help=me"},
  });
}

TEST(OptionsTest, RejectedWordAfterPermutedPositionals) {
  expect_refused({
      {{"1.5", "out.tif", "-x"}, "ccdshot: unrecognized option '-x'\ninvalid option: -x"},
      {{"a", "-bin", "2", "b", "-nope"}, "ccdshot: unrecognized option '-nope'\ninvalid option: -nope"},
      {{"a", "-dark", "b", "c", "-d"},
       "ccdshot: option '-d' is ambiguous; possibilities: '-dark' '-debug'\ninvalid option: -d"},
      {{"a", "b", "-size"}, "ccdshot: option '-size' requires an argument\ninvalid option: -size"},
      {{"a", "-tdi", "b", "-of"}, "ccdshot: option '-offset' requires an argument\ninvalid option: -of"},
      {{"a", "-dark=on", "b"},
       "ccdshot: option '-dark' doesn't allow an argument\ninvalid option: -dark=on"},
      {{"-fits", "x", "-t", "-bin", "9"},
       "ccdshot: option '-t' is ambiguous; possibilities: '-tdi' '-tiff'\ninvalid option: -t"},
  });
}

TEST(OptionsTest, FirstFailingOptionEndsPass) {
  expect_refused({
      {{"-bin", "9", "-x"}, "Binning factors must be between 1 and 4!"},
      {{"-bin", "9", "-help"}, "Binning factors must be between 1 and 4!"},
      {{"-x", "-bin", "9"}, "ccdshot: unrecognized option '-x'\ninvalid option: -x"},
  });
}

TEST(OptionsTest, HelpPrintsUsageAndExits) {
  const std::vector<Words> cases = {
      {"-help"},
      {"--help"},
      {"-h"},
      {"-bin", "2", "-help"},
      {"-help", "-x", "-bin", "9", "-fits", "-fits"},
      {"1.5", "-help", "out.tif"},
  };
  for (const Words& args : cases) {
    SCOPED_TRACE(joined(args));
    const ChildResult result = run_pass(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, HELP_TEXT);
  }
}

TEST(OptionsTest, HelpAndHintNameTheProgramByLastComponent) {
  const auto body = [](const char* word) {
    return [word] {
      reset_settings();
      set_program_name("/opt/tools/snap");
      Argv command({word});
      CameraInfo camera = make_camera_info();
      ExposureRequest request = make_exposure_request(&camera);
      parse_options(command.argc(), command.argv(), &camera, &request);
      return 0;
    };
  };
  const ChildResult help = run_in_child(body("-help"));
  EXPECT_EQ(help.status, 0);
  std::string expected = HELP_TEXT;
  for (std::size_t at; (at = expected.find("ccdshot ")) != std::string::npos;) {
    expected.replace(at, 8, "snap ");
  }
  EXPECT_EQ(help.out, expected);

  // getopt names argv[0] as given; the hint names the program's last component.
  const ChildResult refused = run_in_child(body("-zz"));
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.err,
            "ccdshot: unrecognized option '-zz'\ninvalid option: -zz\nTry running 'snap -help'\n");
}
