// The TIFF writer: a single-image, 16-bit, one-sample greyscale file written
// through libtiff on the output stream's descriptor, in strips of about
// 64 KiB, with descriptive tags from the camera, the clock and the TIFF_*
// environment variables, and a description of the exposure set last. The
// rows of a strip are collected in a fixed buffer and each strip goes to
// libtiff whole, so that a codec compresses it in one pass (libtiff's fast
// Deflate path is taken only for a whole strip).
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "console/console.h"
#include "settings/settings.h"
#include "output/output.h"

namespace {

// Uncompressed bytes a strip should hold, about.
constexpr uint64_t STRIP_TARGET_BYTES = 65536;
constexpr uint64_t BYTES_PER_SAMPLE = 2;

// Deflate level (TIFFTAG_ZIPQUALITY) for Compression 8 and 32946.
// Level 1: on sky frames the only level above 150 MB/s (about 200; level 2 about 110), files 4.6 % above level 6.
constexpr int DEFLATE_LEVEL = 1;

// The rows of the strip being collected. Every strip of the layout fits:
// rows_per_strip * W * 2 <= 2WH / strips < 65536 * (strips + 1) / strips <= 131072
// for strips >= 1 as computed, 2WH < 65536 when it came out 0, and a strip
// of one row is 2W <= 131070 bytes.
alignas(64) uint8_t strip_buffer[TIFF_STRIP_BUFFER_SIZE];

// The eight TIFF_* variables, read once in this order; a missing one is null.
struct TiffEnvironment {
  const char* artist;
  const char* host;
  const char* software;
  const char* make;
  const char* compression_text;
  const char* predictor_text;
  const char* orientation_text;
  const char* comment;
  long compression;
  long predictor;
  long orientation;
};

// Base-10 number of a variable: leading blanks and a sign accepted, anything
// after the digits ignored, no digits (or no variable) giving 0.
long number_of(const char* text) { return text == nullptr ? 0 : std::strtol(text, nullptr, 10); }

TiffEnvironment read_environment() {
  TiffEnvironment env{};
  env.artist = std::getenv("TIFF_ARTIST");
  env.host = std::getenv("TIFF_HOST");
  env.software = std::getenv("TIFF_SOFTWARE");
  env.make = std::getenv("TIFF_MAKE");
  env.compression_text = std::getenv("TIFF_COMPRESSION");
  env.predictor_text = std::getenv("TIFF_PREDICTOR");
  env.orientation_text = std::getenv("TIFF_ORIENTATION");
  env.comment = std::getenv("TIFF_COMMENT");
  env.compression = number_of(env.compression_text);
  env.predictor = number_of(env.predictor_text);
  env.orientation = number_of(env.orientation_text);
  return env;
}

// Sets a 16-bit tag; libtiff takes such values as int through its argument list.
void set_short_tag(TIFF* tiff, int tag, long value) { set_tiff_tag(tiff, tag, static_cast<int>(value)); }

// The message of a tag that is not set; the writer carries on without it.
void report_refused_tag(int tag) { std::fprintf(stderr, "Error while setting TIFF tag #%d\n", tag); }

// Codecs that libtiff accepts and then encodes 16-bit samples wrongly while
// reporting success: ISO JBIG codes each strip as a bilevel picture, and
// PixarLog keeps about 11 bits of each sample (1000 reads back as 257).
// They are refused like a tag libtiff refuses, so the file is written
// uncompressed with the camera's pixels rather than lost. The number is cut
// to 16 bits as libtiff cuts it.
bool codec_loses_16_bit_samples(long compression) {
  const auto code = static_cast<uint16_t>(static_cast<int>(compression));
  return code == COMPRESSION_JBIG || code == COMPRESSION_PIXARLOG;
}

// The probe's file: bytes written to it are counted, not kept. libtiff only
// writes, seeks and asks for the size while it encodes a strip.
struct ProbeFile {
  toff_t position = 0;
  toff_t size = 0;
};

tmsize_t probe_read(thandle_t, void*, tmsize_t) { return 0; }

tmsize_t probe_write(thandle_t handle, void*, tmsize_t count) {
  auto* file = static_cast<ProbeFile*>(handle);
  if (count < 0) return -1;
  file->position += static_cast<toff_t>(count);
  if (file->position > file->size) file->size = file->position;
  return count;
}

toff_t probe_seek(thandle_t handle, toff_t offset, int whence) {
  auto* file = static_cast<ProbeFile*>(handle);
  if (whence == SEEK_CUR) offset += file->position;
  if (whence == SEEK_END) offset += file->size;
  file->position = offset;
  return offset;
}

int probe_close(thandle_t) { return 0; }
toff_t probe_size(thandle_t handle) { return static_cast<ProbeFile*>(handle)->size; }
int probe_map(thandle_t, void**, toff_t*) { return 0; }
void probe_unmap(thandle_t, void*, toff_t) {}

// The probe's warnings are dropped (the file itself gives the same ones);
// its errors go to libtiff's usual handler, since they tell why a setting is
// refused, until the probe's outcome is known.
struct ProbeMessages {
  bool quiet = false;
};
int drop_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }
int pass_error(TIFF*, void* data, const char*, const char*, va_list) {
  return static_cast<ProbeMessages*>(data)->quiet ? 1 : 0;
}

}  // namespace

int set_tiff_tag(TIFF* tiff, int tag, ...) {
  va_list args;
  va_start(args, tag);
  const int result = TIFFVSetField(tiff, static_cast<uint32_t>(tag), args);
  va_end(args);
  if (result == 0) report_refused_tag(tag);
  return result;
}

// The probe carries the output's name so that libtiff's messages name the
// file, and uses the strip buffer, which the readout fills afterwards.
bool tiff_strip_encodes(const char* name, uint32_t width, long compression, long predictor) {
  ProbeFile file;
  ProbeMessages messages;
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (options == nullptr) return false;
  TIFFOpenOptionsSetErrorHandlerExtR(options, pass_error, &messages);
  TIFFOpenOptionsSetWarningHandlerExtR(options, drop_warning, &messages);
  // "m": no memory mapping of the probe file.
  TIFF* probe = TIFFClientOpenExt(name, "wm", &file, probe_read, probe_write, probe_seek, probe_close, probe_size,
                                  probe_map, probe_unmap, options);
  TIFFOpenOptionsFree(options);
  if (probe == nullptr) return false;
  // A row of the image always fits the buffer (see above); the clamp only
  // keeps the probe inside it whatever it is given.
  const uint32_t columns = std::clamp<uint32_t>(width, 1, TIFF_STRIP_BUFFER_SIZE / BYTES_PER_SAMPLE);
  const auto bytes = static_cast<tmsize_t>(columns * BYTES_PER_SAMPLE);
  for (tmsize_t i = 0; i < bytes; ++i) strip_buffer[i] = static_cast<uint8_t>(i * 37);
  bool encodes = TIFFSetField(probe, TIFFTAG_COMPRESSION, static_cast<int>(compression)) == 1 &&
                 (predictor == 0 || TIFFSetField(probe, TIFFTAG_PREDICTOR, static_cast<int>(predictor)) == 1) &&
                 TIFFSetField(probe, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
                 TIFFSetField(probe, TIFFTAG_SAMPLESPERPIXEL, 1) == 1 &&
                 TIFFSetField(probe, TIFFTAG_BITSPERSAMPLE, 16) == 1 &&
                 TIFFSetField(probe, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) == 1 &&
                 TIFFSetField(probe, TIFFTAG_IMAGEWIDTH, columns) == 1 &&
                 TIFFSetField(probe, TIFFTAG_IMAGELENGTH, 1u) == 1 &&
                 TIFFSetField(probe, TIFFTAG_ROWSPERSTRIP, 1u) == 1;
  // A codec that cannot encode at all may let the call succeed with nothing
  // stored, as in the row sink.
  encodes = encodes && TIFFWriteEncodedStrip(probe, 0, strip_buffer, bytes) == bytes &&
            TIFFGetStrileByteCount(probe, 0) > 0;
  // What libtiff says while it finishes and frees the probe (it may write a
  // directory to the probe file) is of no use to the user.
  messages.quiet = true;
  TIFFCleanup(probe);
  return encodes;
}

TiffStripLayout tiff_strip_layout(uint32_t width, uint32_t height) {
  // In 64 bits, so that an image of 4 GiB or more cannot wrap to one strip.
  uint64_t strips = static_cast<uint64_t>(width) * height * BYTES_PER_SAMPLE / STRIP_TARGET_BYTES;
  if (strips == 0) strips = 1;
  uint64_t rows_per_strip = height / strips;
  if (rows_per_strip == 0) rows_per_strip = 1;
  return {static_cast<long>(strips), static_cast<long>(rows_per_strip)};
}

void format_tiff_description(std::span<char, TIFF_DESCRIPTION_SIZE> text, const char* comment,
                             const ExposureRequest& request) {
  // Only x_bin decides whether the binning is told.
  char binning[32] = "";
  if (request.x_bin != 1) {
    std::snprintf(binning, sizeof binning, "with %dx%d binning", static_cast<int>(request.x_bin),
                  static_cast<int>(request.y_bin));
  }
  std::size_t used = 0;
  if (comment != nullptr) {
    used = strnlen(comment, TIFF_COMMENT_LIMIT);
    std::memcpy(text.data(), comment, used);
    text[used++] = '\n';
  }
  std::snprintf(text.data() + used, text.size() - used, "Exposed %g seconds %s",
                static_cast<double>(request.exposure_ms) / 1000.0, binning);
}

int tiff_row_sink(void* context, ExposureRequest* request, uint16_t* row) {
  auto* strips = static_cast<TiffStrips*>(context);
  const tmsize_t scanline = strips->scanline_bytes;
  // A whole scanline of 16-bit samples is taken from the row: a row shorter
  // than that (a camera of 8 bits or fewer) is refused rather than read past
  // its end.
  if (request->row_bytes < 0 || static_cast<tmsize_t>(request->row_bytes) < scanline) return 1;
  // Rows come in order, each once; any other row would land in the wrong place.
  if (request->rows_read < 1 || static_cast<uint32_t>(request->rows_read - 1) != strips->next_row ||
      strips->next_row >= strips->rows || strips->rows_per_strip == 0) {
    return 1;
  }
  const uint32_t index = strips->next_row++;
  const uint32_t in_strip = index % strips->rows_per_strip;
  const tmsize_t filled = static_cast<tmsize_t>(in_strip + 1) * scanline;
  if (scanline <= 0 || static_cast<std::size_t>(filled) > strips->buffer.size()) return 1;
  std::memcpy(strips->buffer.data() + (filled - scanline), row, static_cast<std::size_t>(scanline));
  // The strip goes to libtiff once its last row (or the image's) is in.
  if (in_strip + 1 < strips->rows_per_strip && index + 1 < strips->rows) return 0;
  const uint32_t strip = index / strips->rows_per_strip;
  if (TIFFWriteEncodedStrip(strips->tiff, strip, strips->buffer.data(), filled) != filled) return 1;
  // A codec that cannot encode (an unknown scheme) reports its error yet lets
  // the call succeed with nothing stored: a strip of rows holds at least a byte.
  return TIFFGetStrileByteCount(strips->tiff, strip) > 0 ? 0 : 1;
}

void write_tiff(FILE* stream, const char* path, ExposureRequest& request) {
  // TIFFClose closes the descriptor it was given and reports nothing of that
  // close: libtiff gets a duplicate, and the writer syncs and closes the
  // original itself, checking both. (Storage that fails late, such as a
  // network or FUSE file system, reports the error on every close.)
  const int fd = fileno(stream);
  const int tiff_fd = dup(fd);
  if (tiff_fd < 0) write_failed();
  TIFF* tiff = TIFFFdOpen(tiff_fd, path, "w");
  if (tiff == nullptr) write_failed();
  const TiffEnvironment env = read_environment();
  const uint32_t width = pixels_per_row(request);
  const uint32_t height = image_rows(request);

  set_tiff_tag(tiff, TIFFTAG_MODEL, request.camera->model);

  // The time of writing, in UTC whatever the time zone.
  char date[20] = "";
  const time_t now = time(nullptr);
  struct tm broken_down {};
  if (gmtime_r(&now, &broken_down) != nullptr) std::strftime(date, sizeof date, "%Y:%m:%d %H:%M:%S", &broken_down);
  set_tiff_tag(tiff, TIFFTAG_DATETIME, date);

  if (env.make != nullptr) set_tiff_tag(tiff, TIFFTAG_MAKE, env.make);
  if (env.artist != nullptr) set_tiff_tag(tiff, TIFFTAG_ARTIST, env.artist);
  if (env.host != nullptr) set_tiff_tag(tiff, TIFFTAG_HOSTCOMPUTER, env.host);
  if (env.software != nullptr) set_tiff_tag(tiff, TIFFTAG_SOFTWARE, env.software);
  // A compression or predictor that libtiff would take and then fail to
  // encode with is refused here, like a tag libtiff refuses: the image is
  // written without it instead of being lost at its first strip.
  if (env.compression != 0) {
    if (codec_loses_16_bit_samples(env.compression)) {
      std::fprintf(stderr, "Compression %ld cannot hold 16-bit samples; the image is written uncompressed\n",
                   env.compression);
      report_refused_tag(TIFFTAG_COMPRESSION);
    } else if (!tiff_strip_encodes(path, width, env.compression, 0)) {
      report_refused_tag(TIFFTAG_COMPRESSION);
    } else {
      set_short_tag(tiff, TIFFTAG_COMPRESSION, env.compression);
    }
  }
  uint16_t codec = COMPRESSION_NONE;
  TIFFGetField(tiff, TIFFTAG_COMPRESSION, &codec);
  if (codec == COMPRESSION_DEFLATE || codec == COMPRESSION_ADOBE_DEFLATE) {
    // A codec setting, not a tag of the file; were it refused, libtiff's
    // default level would compress the same pixels.
    TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, DEFLATE_LEVEL);
  }
  if (env.predictor != 0) {
    // Tried with the compression in force; a predictor that the compression
    // does not take is refused by the probe with libtiff's own message.
    if (tiff_strip_encodes(path, width, codec, env.predictor)) {
      set_short_tag(tiff, TIFFTAG_PREDICTOR, env.predictor);
    } else {
      report_refused_tag(TIFFTAG_PREDICTOR);
    }
  }
  if (env.orientation != 0) set_short_tag(tiff, TIFFTAG_ORIENTATION, env.orientation);

  const TiffStripLayout layout = tiff_strip_layout(width, height);
  if (debug_level >= 2) {
    std::printf("(%dx%d) TIFF image in %ld strips with %ld rows/strip\n", static_cast<int>(width),
                static_cast<int>(height), layout.strips, layout.rows_per_strip);
  }

  set_short_tag(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  set_short_tag(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  set_short_tag(tiff, TIFFTAG_BITSPERSAMPLE, 16);
  set_short_tag(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  set_tiff_tag(tiff, TIFFTAG_IMAGEWIDTH, width);
  // The length is known before the first row: Deflate needs it to set up
  // its strips, and the other codecs write the same file with it.
  set_tiff_tag(tiff, TIFFTAG_IMAGELENGTH, height);
  set_tiff_tag(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(layout.rows_per_strip));

  TiffStrips strips{tiff, height, static_cast<uint32_t>(layout.rows_per_strip), TIFFScanlineSize(tiff),
                    strip_buffer};
  PixelStats stats{};
  if (read_image(request, tiff_row_sink, &strips, &stats) != 0) write_failed();

  char description[TIFF_DESCRIPTION_SIZE];
  format_tiff_description(description, env.comment, request);
  set_tiff_tag(tiff, TIFFTAG_IMAGEDESCRIPTION, description);
  // TIFFClose reports nothing back, yet it writes the last strip and the
  // directory: flush them first, so that a file left without either fails
  // the run instead of being reported complete.
  if (TIFFFlush(tiff) != 1) write_failed();
  // Reported complete only once the file and its name are on stable storage.
  if (sync_output(fd) != 0) write_failed();
  if (sync_directory_entry(fd, path) != 0) write_failed();
  TIFFClose(tiff);
  if (close(fd) != 0) write_failed();
}
