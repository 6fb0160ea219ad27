// Fuzz target: the option pass and the exposure argument over any argument
// vector (the input split at NUL bytes; argv[0] is "ccdshot"). exit() is
// caught, so every run ends in one of three ways, each checked:
// - the pass returned: nothing printed, and the settings, the device path
//   and the flag bits are within their rules;
// - exit 0 (-help): exactly the help text on standard output;
// - exit 3: one of the pass's messages, then the "Try running" hint, on
//   standard error only.
// Any other exit status, or a crash, is a finding.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "camera/camera.h"
#include "console/console.h"
#include "exposure/exposure.h"
#include "fuzz/fuzz_support.h"
#include "options/options.h"

namespace {

constexpr std::size_t MAX_WORDS = 40;
constexpr std::string_view HINT = "\nTry running 'ccdshot -help'\n";

std::string help_text;

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }
bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// True when quoted is the tail of one of the words: parsers quote the text
// from where their conversion began.
bool tail_of_a_word(std::string_view quoted, const std::vector<std::string>& words) {
  for (const auto& word : words) {
    if (ends_with(word, quoted)) return true;
  }
  return false;
}

// Whether message (standard error without the hint) is one the pass gives.
bool known_message(std::string_view message, const std::vector<std::string>& words) {
  static const std::string_view fixed[] = {
      "Junk text after autoexposure max A/D count target!",
      "Junk text after autoexposure max duration!",
      "autoexposure limit must be > 2ms",
      "Binning factors must be between 1 and 4!",
      "Negative origin offset specified!",
      "Negative image size specified!",
      "Redundant ouput file type specification!",
      "Missing Exposure Time",
      "Junk text after exposure duration",
      "Exposure duration must be >= 0.001 seconds",
      "Camera device path longer than 63 characters!",
  };
  for (const auto text : fixed) {
    if (message == text) return true;
  }
  for (const std::string_view tail : {"\" is not a valid integer", "\" is not a valid floating point value"}) {
    if (starts_with(message, "\"") && ends_with(message, tail)) {
      return tail_of_a_word(message.substr(1, message.size() - 1 - tail.size()), words);
    }
  }
  if (starts_with(message, "Exposure duration (") && ends_with(message, ") is too long!")) return true;
  // getopt's own diagnostic lines, then the rejected word.
  for (const auto& word : words) {
    const std::string tail = "invalid option: " + word;
    if (!ends_with(message, tail)) continue;
    const std::string_view diagnostic = message.substr(0, message.size() - tail.size());
    if (starts_with(diagnostic, "ccdshot: ") && ends_with(diagnostic, "\n")) return true;
  }
  return false;
}

void check_settings(const CameraInfo& camera, const ExposureRequest& request, int index, int argc) {
  if (index < 1 || index > argc) fuzzing::fail("the next word index %d of %d words", index, argc);
  if (binning_x < 1 || binning_x > 4 || binning_y < 1 || binning_y > 4) {
    fuzzing::fail("binning %d x %d accepted", binning_x, binning_y);
  }
  if (window_x < 0 || window_y < 0) fuzzing::fail("origin %d,%d accepted", window_x, window_y);
  if (window_width < 0 || window_height < 0) fuzzing::fail("size %d,%d accepted", window_width, window_height);
  if ((request.flags & ~0x7C) != 0) fuzzing::fail("flags 0x%X hold an unknown bit", static_cast<unsigned>(request.flags));
  if (static_cast<int>(output_type) < 0 || static_cast<int>(output_type) > 3) fuzzing::fail("output type %d", output_type);
  const std::size_t length = strnlen(camera.device_path, sizeof camera.device_path);
  if (length > 63) fuzzing::fail("device path not terminated");
  for (std::size_t i = length; i < sizeof camera.device_path; ++i) {
    if (camera.device_path[i] != '\0') fuzzing::fail("device path byte %zu behind the text is not zero", i);
  }
  if (std::isnan(exposure_seconds)) fuzzing::fail("exposure time NaN accepted");
  if (exposure_seconds < 0.0) {
    if (!(-exposure_seconds > MIN_AUTOEXPOSE_LIMIT) || -exposure_seconds > MAX_EXPOSURE_SECONDS) {
      fuzzing::fail("autoexposure limit %g accepted", -exposure_seconds);
    }
  } else if (!(exposure_seconds >= MIN_EXPOSURE_SECONDS) || exposure_seconds > MAX_EXPOSURE_SECONDS) {
    fuzzing::fail("exposure time %g accepted", exposure_seconds);
  }
  const char* compression = std::getenv("TIFF_COMPRESSION");
  if (compression != nullptr && std::strcmp(compression, "32946") != 0) {
    fuzzing::fail("TIFF_COMPRESSION set to \"%s\"", compression);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  set_program_name("ccdshot");
  fuzzing::CapturedStdio captured;
  print_help();
  help_text = captured.out();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::vector<std::string> words = fuzzing::split_words(data, size, MAX_WORDS);
  words.insert(words.begin(), "ccdshot");
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  reset_settings();
  unsetenv("TIFF_COMPRESSION");
  set_program_name("ccdshot");
  CameraInfo camera = make_camera_info();
  ExposureRequest request = make_exposure_request(&camera);
  int index = 0;
  std::string out;
  std::string err;
  int status = 0;
  {
    fuzzing::CapturedStdio captured;
    status = fuzzing::run_catching_exit([&] {
      index = parse_options(argc, argv.data(), &camera, &request);
      index = take_exposure_argument(argc, argv.data(), index);
    });
    out = captured.out();
    err = captured.err();
  }

  if (status == -1) {
    if (!out.empty() || !err.empty()) fuzzing::fail("an accepted command line printed \"%s\" \"%s\"", out.c_str(), err.c_str());
    check_settings(camera, request, index, argc);
  } else if (status == 0) {
    if (out != help_text || !err.empty()) fuzzing::fail("exit 0 without exactly the help text: \"%s\"", err.c_str());
  } else if (status == 3) {
    if (!out.empty()) fuzzing::fail("a usage error printed \"%s\" on standard output", out.c_str());
    if (!ends_with(err, HINT)) fuzzing::fail("a usage error without the hint: \"%s\"", err.c_str());
    const std::string_view message = std::string_view(err).substr(0, err.size() - HINT.size());
    if (!known_message(message, words)) fuzzing::fail("unknown usage message \"%s\"", err.c_str());
  } else {
    fuzzing::fail("the option pass exited with status %d: \"%s\"", status, err.c_str());
  }
  return 0;
}
