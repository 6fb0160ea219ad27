#include "settings/settings.h"

#include <iterator>

OutputType output_type = OUTPUT_UNSPECIFIED;
uint8_t debug_level = 0;
int32_t window_width = 0;
int32_t window_height = 0;
int32_t window_x = 0;
int32_t window_y = 0;
int32_t binning_x = 1;
int32_t binning_y = 1;
double exposure_seconds = 0.0;
int32_t autoexpose_target = 0;

namespace {
constexpr const char* OUTPUT_TYPE_NAMES[] = {"unspecified", "TIFF", "FITS", "JPEG"};
constexpr int OUTPUT_TYPE_COUNT = static_cast<int>(std::size(OUTPUT_TYPE_NAMES));
}  // namespace

const char* output_type_name(OutputType type) {
  const int index = static_cast<int>(type);
  if (index < 0 || index >= OUTPUT_TYPE_COUNT) return "unknown";
  return OUTPUT_TYPE_NAMES[index];
}
