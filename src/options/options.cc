#include "options/options.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "camera/camera.h"
#include "console/console.h"
#include "settings/settings.h"

namespace {

// What getopt_long_only returns for each entry of the option table. The
// values start above every character code so none can be mistaken for '?'.
enum OptionCode : int {
  OPT_AUTOEXPOSE = 256,
  OPT_BINNING,
  OPT_OFFSET,
  OPT_SIZE,
  OPT_DARK,
  OPT_NOWIPE,
  OPT_NOCLEAR,
  OPT_NOACCUMULATION,
  OPT_TDI,
  OPT_TIFF,
  OPT_FITS,
  OPT_JPEG,
  OPT_CAMERA,
  OPT_DEBUG,
  OPT_HELP,
};

// The order matters for abbreviations: getopt_long_only treats any prefix
// shared by two entries as ambiguous, and an exact name always wins.
const struct option OPTION_TABLE[] = {
    {"autoexpose", optional_argument, nullptr, OPT_AUTOEXPOSE},
    {"binning", required_argument, nullptr, OPT_BINNING},
    {"bin", required_argument, nullptr, OPT_BINNING},
    {"offset", required_argument, nullptr, OPT_OFFSET},
    {"origin", required_argument, nullptr, OPT_OFFSET},
    {"size", required_argument, nullptr, OPT_SIZE},
    {"dark", no_argument, nullptr, OPT_DARK},
    {"nowipe", no_argument, nullptr, OPT_NOWIPE},
    {"noclear", no_argument, nullptr, OPT_NOCLEAR},
    {"noaccumulation", no_argument, nullptr, OPT_NOACCUMULATION},
    {"tdi", no_argument, nullptr, OPT_TDI},
    {"TDI", no_argument, nullptr, OPT_TDI},
    {"tiff", optional_argument, nullptr, OPT_TIFF},
    {"TIFF", optional_argument, nullptr, OPT_TIFF},
    {"FITS", no_argument, nullptr, OPT_FITS},
    {"fits", no_argument, nullptr, OPT_FITS},
    {"JPEG", no_argument, nullptr, OPT_JPEG},
    {"jpeg", no_argument, nullptr, OPT_JPEG},
    {"camera", required_argument, nullptr, OPT_CAMERA},
    {"debug", optional_argument, nullptr, OPT_DEBUG},
    {"help", no_argument, nullptr, OPT_HELP},
    {nullptr, 0, nullptr, 0},
};

// -autoexpose{=seconds}{,count}: leaves a negative exposure_seconds, whose
// magnitude is the longest exposure the calibration may choose.
void apply_autoexpose(const char* value) {
  exposure_seconds = DEFAULT_AUTOEXPOSE_LIMIT;
  if (value == nullptr) {
    exposure_seconds = -exposure_seconds;
    return;
  }
  const char* rest = value;
  if (*rest != ',') rest = parse_seconds(rest, &exposure_seconds);
  if (*rest == ',') {
    rest = parse_int(rest + 1, &autoexpose_target);
    if (*rest != '\0') usage_error("Junk text after autoexposure max A/D count target!");
  } else if (*rest != '\0') {
    usage_error("Junk text after autoexposure max duration!");
  }
  // Written as a negated comparison so that NaN is refused as well.
  if (!(exposure_seconds > MIN_AUTOEXPOSE_LIMIT)) usage_error("autoexposure limit must be > 2ms");
  exposure_seconds = -exposure_seconds;
}

// -tiff=deflate (any value starting with d or D) asks the TIFF writer for
// Deflate compression through its environment variable.
void apply_tiff(const char* value) {
  set_output_type(OUTPUT_TIFF);
  if (value != nullptr && std::toupper(static_cast<unsigned char>(value[0])) == 'D') {
    setenv("TIFF_COMPRESSION", "32946", 1);
  }
}

// -camera=path: at most 63 characters, the rest of the record zero-filled so
// the path is always terminated. A longer path is refused: cut short it
// could name another device.
void apply_camera(CameraInfo* camera, const char* value) {
  constexpr std::size_t limit = sizeof camera->device_path - 1;
  const std::size_t length = strnlen(value, limit + 1);
  if (length > limit) usage_error("Camera device path longer than %zu characters!", limit);
  std::memset(camera->device_path, 0, sizeof camera->device_path);
  std::memcpy(camera->device_path, value, length);
}

// -debug{=level}: no value means 1; a value is taken as is, modulo 256.
void apply_debug(const char* value) {
  if (value == nullptr) {
    debug_level = 1;
    return;
  }
  debug_level = static_cast<uint8_t>(std::strtol(value, nullptr, 10));
}

}  // namespace

void reset_settings() {
  output_type = OUTPUT_UNSPECIFIED;
  debug_level = 0;
  window_width = 0;
  window_height = 0;
  window_x = 0;
  window_y = 0;
  binning_x = 1;
  binning_y = 1;
  exposure_seconds = 0.0;
  autoexpose_target = 0;
  // glibc's getopt reinitialises itself completely (permutation state
  // included) when optind is 0; 1 would keep stale internal state.
  optind = 0;
  opterr = 1;
  optarg = nullptr;
}

const char* parse_int(const char* text, int32_t* value) {
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text, &end, 0);
  // long is wider than 32 bits here: values beyond int32_t count as out of range too.
  if (errno != 0 || end == text || number < INT32_MIN || number > INT32_MAX) {
    usage_error("\"%s\" is not a valid integer", text);
  }
  *value = static_cast<int32_t>(number);
  return end;
}

const char* parse_pair(int32_t* first, int32_t* second) {
  const char* const after_first = parse_int(optarg, first);
  const char* position = after_first;
  // Anything but a digit, a sign or a full stop separates the two numbers.
  while (*position != '\0' && !std::isdigit(static_cast<unsigned char>(*position)) &&
         *position != '+' && *position != '-' && *position != '.') {
    ++position;
  }
  if (*position == '\0') {
    *second = *first;
    return after_first;
  }
  return parse_int(position, second);
}

const char* parse_seconds(const char* text, double* value) {
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text, &end);
  if (errno != 0 || end == text) usage_error("\"%s\" is not a valid floating point value", text);
  *value = seconds;
  if (seconds > MAX_EXPOSURE_SECONDS) usage_error("Exposure duration (%g) is too long!", seconds);
  return end;
}

void set_output_type(OutputType type) {
  if (output_type != OUTPUT_UNSPECIFIED) usage_error("Redundant ouput file type specification!");
  output_type = type;
}

void print_help() {
  std::printf(
      "%s revised 10/9/05 <ccdshot-maintainers@example.org>\n"
      "Snap a photo from a monochrome CCD camera. Usage:\n"
      "  %s {options} <exposure seconds> <output file>\n"
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
      "  %s 1.5 myimage.tiff  #1.5 second exposure to myimage.tiff w/o binning\n"
      "  %s -bin 2x3 .005 myimage.tiff  #5 msec exposure with 2x3 binning\n"
      "notes:\n"
      "  If possible, progress messages are output to file descriptor 3\n"
      "  Otherwise, they are sent to stdout.\n",
      program_name, program_name, program_name, program_name);
}

int parse_options(int argc, char** argv, CameraInfo* camera, ExposureRequest* request) {
  // With POSIXLY_CORRECT in the environment getopt would stop at the first
  // positional word and leave later options as positional words. It reads
  // the variable when a pass begins, so the pass runs without it and puts it
  // back afterwards.
  const char* posixly_correct = std::getenv("POSIXLY_CORRECT");
  const std::optional<std::string> saved =
      posixly_correct != nullptr ? std::optional<std::string>(posixly_correct) : std::nullopt;
  if (saved) unsetenv("POSIXLY_CORRECT");
  for (;;) {
    const int code = getopt_long_only(argc, argv, "", OPTION_TABLE, nullptr);
    if (code == -1) break;
    switch (code) {
      case OPT_AUTOEXPOSE:
        apply_autoexpose(optarg);
        break;
      case OPT_BINNING:
        parse_pair(&binning_x, &binning_y);
        if (binning_x < 1 || binning_x > 4 || binning_y < 1 || binning_y > 4) {
          usage_error("Binning factors must be between 1 and 4!");
        }
        break;
      case OPT_OFFSET:
        parse_pair(&window_x, &window_y);
        if (window_x < 0 || window_y < 0) usage_error("Negative origin offset specified!");
        break;
      case OPT_SIZE:
        parse_pair(&window_width, &window_height);
        if (window_width < 0 || window_height < 0) usage_error("Negative image size specified!");
        break;
      case OPT_DARK:
        request->flags |= EXPOSE_DARK;
        break;
      case OPT_NOWIPE:
        request->flags |= EXPOSE_NOWIPE;
        break;
      case OPT_NOCLEAR:
        request->flags |= EXPOSE_NOCLEAR;
        break;
      case OPT_NOACCUMULATION:
        request->flags |= EXPOSE_NOACCUMULATION;
        break;
      case OPT_TDI:
        request->flags |= EXPOSE_TDI;
        break;
      case OPT_TIFF:
        apply_tiff(optarg);
        break;
      case OPT_FITS:
        set_output_type(OUTPUT_FITS);
        break;
      case OPT_JPEG:
        set_output_type(OUTPUT_JPEG);
        break;
      case OPT_CAMERA:
        apply_camera(camera, optarg);
        break;
      case OPT_DEBUG:
        apply_debug(optarg);
        break;
      case OPT_HELP:
        print_help();
        std::exit(0);
      default:
        // getopt has printed its diagnostic. With no short options every
        // rejection (unknown or ambiguous name, missing argument, value for a
        // flag) consumes the offending word, which is therefore argv[optind - 1]
        // even after positional words have been permuted behind it.
        usage_error("invalid option: %s", optind > 0 ? argv[optind - 1] : "");
    }
  }
  if (saved) setenv("POSIXLY_CORRECT", saved->c_str(), 1);
  return optind;
}
