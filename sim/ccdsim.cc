// ccdsim: the simulated camera device. A FUSE file system that holds one
// file, ccda, which speaks the camera's message protocol: every write() of
// the program reaches the camera model as one message, every read() gets one
// piece (reply, image header, row) of exactly the size the model gives it.
// Each open of ccda is a fresh camera session.
//
// Reads that cannot be answered at once (the exposure wait, a stalled
// device) are kept and answered later from a second thread; a signal to the
// reading program interrupts them (EINTR), and stopping ccdsim answers them
// with EIO before it unmounts.
#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>

#include <fcntl.h>
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/camera_model.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr fuse_ino_t DEVICE_INO = 2;
constexpr const char* DEVICE_NAME = "ccda";
#define CCDSIM_DEFAULT_CATALOG "/usr/share/astrometry/index-tycho2-09.littleendian.fits"
constexpr const char* CATALOG_PACKAGE = "astrometry-data-tycho2-09-littleendian";

const char USAGE[] =
    "Usage: ccdsim [OPTION]... MOUNTPOINT\n"
    "Serve a simulated CCD camera as MOUNTPOINT/ccda (a FUSE file system) until\n"
    "SIGINT or SIGTERM. Prints the device path on standard output once mounted.\n"
    "\n"
    "Running:\n"
    "  --ready=FILE                 write the device path to FILE once the mount is live\n"
    "  --log=FILE                   log every message received: one line per write,\n"
    "                               its bytes in hexadecimal (FILE is replaced)\n"
    "  --time-scale=F               the image is ready F x the exposure time after the\n"
    "                               exposure starts (default 1; 0: at once)\n"
    "  --allow-other                let other users open the device\n"
    "  --refuse-locks               refuse every flock() of the device (ENOLCK), as a\n"
    "                               device without lock support does; by default the\n"
    "                               kernel's local locks apply\n"
    "Sensor:\n"
    "  --width=N                    sensor width in pixels (default 1392)\n"
    "  --height=N                   sensor height in pixels (default 1040)\n"
    "  --bits-per-pixel=N           bits per pixel, 1 to 32 (default 16)\n"
    "  --default-depth=N            default exposure depth in bits (default 16)\n"
    "  --pixel-size=UM              pixel width and height in micrometres (default 6.45)\n"
    "  --pixel-height=UM            pixel height, when it differs from the width\n"
    "  --model=TEXT                 camera model text, at most 32 bytes (default CCDSIM)\n"
    "Image:\n"
    "  --pattern=sky|ramp           synthetic sky (default) or ramp: the value at sensor\n"
    "                               column x, row y is (x*37 + y*101 + exposure_ms) mod\n"
    "                               65536, binned pixels the sum clipped at 65535\n"
    "  --seed=N                     seed of the sky (default 1)\n"
    "  --bias=COUNTS                bias level (default 1000)\n"
    "  --read-noise=COUNTS          Gaussian read noise, rms (default 3)\n"
    "  --dark-current=RATE          dark current, counts per second per pixel (default 1)\n"
    "  --stars=N                    number of stars (default 50)\n"
    "  --star-peak=RATE             peak of the brightest star, counts per second\n"
    "                               (default 20000)\n"
    "  --star-sigma=PIXELS          Gaussian width of a star (default 1.2)\n"
    "  --hot-pixels=N               number of hot pixels (default 6)\n"
    "Real sky (catalog stars instead of the synthetic ones):\n"
    "  --pointing=RA,DEC            the sensor centre on the sky, degrees (J2000); turns\n"
    "                               the real sky on\n"
    "  --focal-length=MM            focal length in millimetres (default 400)\n"
    "  --rotation=DEG               angle of the sensor on the sky (default 0: the first\n"
    "                               row read is north, a row's first pixel is east)\n"
    "  --catalog=PATH               astrometry.net index file of the stars (default\n"
    "                               " CCDSIM_DEFAULT_CATALOG ")\n"
    "  --seeing=ARCSEC              full width at half maximum of a star (default 3)\n"
    "  --zero-point=MAG             magnitude of a star that gives 1 count per second\n"
    "                               (default 13.5)\n"
    "Faults (rows count from 1; each applies to every query or exposure):\n"
    "  --fault-short-query-reply=N  the query reply is N bytes short\n"
    "  --fault-fail-query-read      the read of the query reply fails (EIO)\n"
    "  --fault-reply-type=TYPE      the query reply has this message type\n"
    "  --fault-image-type=TYPE      the image header has this message type\n"
    "  --fault-image-length=N       N is added to the image header's length\n"
    "  --fault-short-header=N       the image header is N bytes short\n"
    "  --fault-fail-header-read     the read of the image header fails (EIO)\n"
    "  --fault-truncate-row=K[,N]   row K is N bytes short (default 2)\n"
    "  --fault-fail-row=K           the read of row K fails (EIO)\n"
    "  --fault-stall-row=K          the device stops answering at row K\n"
    "  --help                       show this help and exit\n";

[[noreturn, gnu::format(printf, 1, 2)]] void usage_failure(const char* format, ...) {
  std::fprintf(stderr, "ccdsim: ");
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\nTry 'ccdsim --help' for more information.\n");
  std::exit(2);
}

long long parse_integer(const char* option, const char* text, long long low, long long high) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 0);
  if (end == text || *end != '\0' || errno != 0 || value < low || value > high) {
    usage_failure("invalid value for --%s: '%s' (an integer from %lld to %lld)", option, text, low, high);
  }
  return value;
}

double parse_real(const char* option, const char* text, double low, double high) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !(value >= low && value <= high)) {
    usage_failure("invalid value for --%s: '%s' (a number from %g to %g)", option, text, low, high);
  }
  return value;
}

uint16_t raw_pixel_size(const char* option, const char* text) {
  return static_cast<uint16_t>(std::lround(parse_real(option, text, 0.0, 255.99) * 256.0));
}

struct Settings {
  ccdsim::ModelConfig model;
  std::string mountpoint;
  std::string ready_file;
  std::string log_file;
  bool allow_other = false;
  bool refuse_locks = false;
  bool pointing_given = false;
  std::string catalog = CCDSIM_DEFAULT_CATALOG;
  bool catalog_given = false;
};

Settings parse_command_line(int argc, char** argv) {
  enum : int {
    READY = 256, LOG, TIME_SCALE, ALLOW_OTHER, REFUSE_LOCKS, WIDTH, HEIGHT, BPP, DEPTH, PIXEL_SIZE, PIXEL_HEIGHT,
    MODEL, PATTERN, SEED, BIAS, READ_NOISE, DARK, STARS, STAR_PEAK, STAR_SIGMA, HOT, POINTING, FOCAL_LENGTH, ROTATION,
    CATALOG, SEEING, ZERO_POINT, SHORT_REPLY, FAIL_QUERY,
    REPLY_TYPE, IMAGE_TYPE, IMAGE_LENGTH, SHORT_HEADER, FAIL_HEADER, TRUNCATE_ROW, FAIL_ROW, STALL_ROW, HELP
  };
  static const option options[] = {
      {"ready", required_argument, nullptr, READY},
      {"log", required_argument, nullptr, LOG},
      {"time-scale", required_argument, nullptr, TIME_SCALE},
      {"allow-other", no_argument, nullptr, ALLOW_OTHER},
      {"refuse-locks", no_argument, nullptr, REFUSE_LOCKS},
      {"width", required_argument, nullptr, WIDTH},
      {"height", required_argument, nullptr, HEIGHT},
      {"bits-per-pixel", required_argument, nullptr, BPP},
      {"default-depth", required_argument, nullptr, DEPTH},
      {"pixel-size", required_argument, nullptr, PIXEL_SIZE},
      {"pixel-height", required_argument, nullptr, PIXEL_HEIGHT},
      {"model", required_argument, nullptr, MODEL},
      {"pattern", required_argument, nullptr, PATTERN},
      {"seed", required_argument, nullptr, SEED},
      {"bias", required_argument, nullptr, BIAS},
      {"read-noise", required_argument, nullptr, READ_NOISE},
      {"dark-current", required_argument, nullptr, DARK},
      {"stars", required_argument, nullptr, STARS},
      {"star-peak", required_argument, nullptr, STAR_PEAK},
      {"star-sigma", required_argument, nullptr, STAR_SIGMA},
      {"hot-pixels", required_argument, nullptr, HOT},
      {"pointing", required_argument, nullptr, POINTING},
      {"focal-length", required_argument, nullptr, FOCAL_LENGTH},
      {"rotation", required_argument, nullptr, ROTATION},
      {"catalog", required_argument, nullptr, CATALOG},
      {"seeing", required_argument, nullptr, SEEING},
      {"zero-point", required_argument, nullptr, ZERO_POINT},
      {"fault-short-query-reply", required_argument, nullptr, SHORT_REPLY},
      {"fault-fail-query-read", no_argument, nullptr, FAIL_QUERY},
      {"fault-reply-type", required_argument, nullptr, REPLY_TYPE},
      {"fault-image-type", required_argument, nullptr, IMAGE_TYPE},
      {"fault-image-length", required_argument, nullptr, IMAGE_LENGTH},
      {"fault-short-header", required_argument, nullptr, SHORT_HEADER},
      {"fault-fail-header-read", no_argument, nullptr, FAIL_HEADER},
      {"fault-truncate-row", required_argument, nullptr, TRUNCATE_ROW},
      {"fault-fail-row", required_argument, nullptr, FAIL_ROW},
      {"fault-stall-row", required_argument, nullptr, STALL_ROW},
      {"help", no_argument, nullptr, HELP},
      {nullptr, 0, nullptr, 0},
  };
  Settings s;
  s.model.time_scale = 1.0;
  ccdsim::SensorConfig& sensor = s.model.sensor;
  ccdsim::SkyConfig& sky = s.model.sky;
  ccdsim::Faults& faults = s.model.faults;
  bool pixel_height_given = false;
  opterr = 0;
  for (;;) {
    int index = 0;
    const int c = getopt_long(argc, argv, ":", options, &index);
    if (c == -1) break;
    const char* name = options[index].name;
    const char* value = optarg;
    switch (c) {
      case READY: s.ready_file = value; break;
      case LOG: s.log_file = value; break;
      case TIME_SCALE: s.model.time_scale = parse_real(name, value, 0.0, 1e6); break;
      case ALLOW_OTHER: s.allow_other = true; break;
      case REFUSE_LOCKS: s.refuse_locks = true; break;
      case WIDTH: sensor.width = static_cast<uint16_t>(parse_integer(name, value, 1, 65535)); break;
      case HEIGHT: sensor.height = static_cast<uint16_t>(parse_integer(name, value, 1, 65535)); break;
      case BPP: sensor.bits_per_pixel = static_cast<uint16_t>(parse_integer(name, value, 1, 32)); break;
      case DEPTH: sensor.default_depth = static_cast<uint16_t>(parse_integer(name, value, 0, 65535)); break;
      case PIXEL_SIZE:
        sensor.pixel_width_raw = raw_pixel_size(name, value);
        if (!pixel_height_given) sensor.pixel_height_raw = sensor.pixel_width_raw;
        break;
      case PIXEL_HEIGHT:
        sensor.pixel_height_raw = raw_pixel_size(name, value);
        pixel_height_given = true;
        break;
      case MODEL:
        if (std::strlen(value) > 32) usage_failure("--model text is longer than 32 bytes: '%s'", value);
        sensor.model = ccdsim::model_text(value);
        break;
      case PATTERN:
        if (std::strcmp(value, "sky") == 0) {
          s.model.pattern = ccdsim::Pattern::Sky;
        } else if (std::strcmp(value, "ramp") == 0) {
          s.model.pattern = ccdsim::Pattern::Ramp;
        } else {
          usage_failure("invalid value for --pattern: '%s' (sky or ramp)", value);
        }
        break;
      case SEED: {
        errno = 0;
        char* end = nullptr;
        s.model.seed = std::strtoull(value, &end, 0);
        if (end == value || *end != '\0' || errno != 0 || value[0] == '-') {
          usage_failure("invalid value for --seed: '%s' (an unsigned integer)", value);
        }
        break;
      }
      case BIAS: sky.bias = parse_real(name, value, 0.0, 65535.0); break;
      case READ_NOISE: sky.read_noise = parse_real(name, value, 0.0, 10000.0); break;
      case DARK: sky.dark_current = parse_real(name, value, 0.0, 1e7); break;
      case STARS: sky.star_count = static_cast<unsigned>(parse_integer(name, value, 0, 100000)); break;
      case STAR_PEAK: sky.star_peak = parse_real(name, value, 0.0, 1e9); break;
      case STAR_SIGMA: sky.star_sigma = parse_real(name, value, 0.1, 100.0); break;
      case HOT: sky.hot_pixels = static_cast<unsigned>(parse_integer(name, value, 0, 10000)); break;
      case POINTING: {
        const char* comma = std::strchr(value, ',');
        if (comma == nullptr) usage_failure("invalid value for --pointing: '%s' (RA,DEC in degrees)", value);
        const std::string ra(value, comma);
        s.model.real_sky.pointing.ra = parse_real(name, ra.c_str(), 0.0, 360.0);
        s.model.real_sky.pointing.dec = parse_real(name, comma + 1, -90.0, 90.0);
        s.pointing_given = true;
        break;
      }
      case FOCAL_LENGTH: s.model.real_sky.pointing.focal_length = parse_real(name, value, 1.0, 1e6); break;
      case ROTATION: s.model.real_sky.pointing.rotation = parse_real(name, value, -360.0, 360.0); break;
      case CATALOG:
        s.catalog = value;
        s.catalog_given = true;
        break;
      case SEEING: s.model.real_sky.seeing = parse_real(name, value, 0.01, 3600.0); break;
      case ZERO_POINT: s.model.real_sky.zero_point = parse_real(name, value, -30.0, 60.0); break;
      case SHORT_REPLY: faults.short_query_reply = static_cast<int>(parse_integer(name, value, 0, 92)); break;
      case FAIL_QUERY: faults.fail_query_read = true; break;
      case REPLY_TYPE: faults.reply_type = static_cast<int>(parse_integer(name, value, 1, 65535)); break;
      case IMAGE_TYPE: faults.image_type = static_cast<int>(parse_integer(name, value, 1, 65535)); break;
      case IMAGE_LENGTH:
        faults.image_length_offset = static_cast<int>(parse_integer(name, value, INT_MIN, INT_MAX));
        break;
      case SHORT_HEADER: faults.short_header = static_cast<int>(parse_integer(name, value, 0, 8)); break;
      case FAIL_HEADER: faults.fail_header_read = true; break;
      case TRUNCATE_ROW: {
        std::string text = value;
        const auto comma = text.find(',');
        if (comma != std::string::npos) {
          faults.truncate_by = static_cast<int>(parse_integer(name, text.c_str() + comma + 1, 0, INT_MAX));
          text.resize(comma);
        }
        faults.truncate_row = static_cast<int>(parse_integer(name, text.c_str(), 1, 65535));
        break;
      }
      case FAIL_ROW: faults.fail_row = static_cast<int>(parse_integer(name, value, 1, 65535)); break;
      case STALL_ROW: faults.stall_row = static_cast<int>(parse_integer(name, value, 1, 65535)); break;
      case HELP:
        std::fputs(USAGE, stdout);
        std::exit(0);
      case ':':
        usage_failure("option '%s' needs a value", argv[optind - 1]);
      default:
        usage_failure("unknown option '%s'", argv[optind - 1]);
    }
  }
  if (optind + 1 != argc) usage_failure(optind == argc ? "no mount point given" : "more than one mount point given");
  s.mountpoint = argv[optind];
  return s;
}

// Opens the star catalog of the real sky, or ends the program saying why.
void open_star_catalog(Settings& s) {
  if (!s.catalog_given && access(s.catalog.c_str(), F_OK) != 0) {
    std::fprintf(stderr,
                 "ccdsim: no star catalog for --pointing: %s is absent (install the package %s, or give "
                 "--catalog=PATH)\n",
                 s.catalog.c_str(), CATALOG_PACKAGE);
    std::exit(1);
  }
  std::string error;
  s.model.real_sky.catalog = ccdsim::open_catalog(s.catalog, &error);
  if (!s.model.real_sky.catalog) {
    std::fprintf(stderr, "ccdsim: %s\n", error.c_str());
    std::exit(1);
  }
}

// --- The server ---

struct PendingRead {
  fuse_req_t req;
  std::size_t size;
  bool interrupted = false;
};

// One open of ccda.
struct Session {
  explicit Session(const ccdsim::ModelConfig& config) : model(config) {}
  ccdsim::CameraModel model;
  std::deque<PendingRead> reads;  // in the order they came
};

// An answer to send once no lock is held.
struct Answer {
  fuse_req_t req;
  int error;  // 0: send data
  std::vector<uint8_t> data;
};

struct Server {
  Settings settings;
  std::string device_path;
  fuse_session* se = nullptr;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::list<Session*> sessions;
  FILE* log = nullptr;
  std::mutex log_mutex;
};

Server server;

void send_answers(std::vector<Answer>& answers) {
  for (Answer& a : answers) {
    if (a.error != 0) {
      fuse_reply_err(a.req, a.error);
    } else {
      fuse_reply_buf(a.req, reinterpret_cast<const char*>(a.data.data()), a.data.size());
    }
  }
  answers.clear();
}

// Answers the session's reads that can be answered now; the time of the
// next exposure end to wait for goes to next. Called with the lock held.
void serve_reads(Session& session, std::vector<Answer>& answers, Clock::time_point* next) {
  for (auto it = session.reads.begin(); it != session.reads.end();) {
    if (it->interrupted) {
      answers.push_back({it->req, EINTR, {}});
      it = session.reads.erase(it);
    } else {
      ++it;
    }
  }
  while (!session.reads.empty()) {
    ccdsim::CameraModel& model = session.model;
    if (model.stalled()) return;
    const Clock::time_point ready = model.ready_at();
    if (ready > Clock::now()) {
      if (next != nullptr && ready < *next) *next = ready;
      return;
    }
    const PendingRead read = session.reads.front();
    Answer answer{read.req, 0, std::vector<uint8_t>(read.size)};
    const ccdsim::ReadResult result = model.read(answer.data);
    if (result.kind == ccdsim::ReadKind::Stalled) return;
    session.reads.pop_front();
    if (result.kind == ccdsim::ReadKind::Failed) {
      answer.error = EIO;
      answer.data.clear();
    } else {
      answer.data.resize(result.count);
    }
    answers.push_back(std::move(answer));
  }
}

// The thread that answers the reads kept waiting.
void answer_waiting_reads() {
  std::vector<Answer> answers;
  std::unique_lock<std::mutex> lock(server.mutex);
  while (!server.stopping) {
    Clock::time_point next = Clock::time_point::max();
    for (Session* session : server.sessions) serve_reads(*session, answers, &next);
    if (!answers.empty()) {
      lock.unlock();
      send_answers(answers);
      lock.lock();
      continue;
    }
    if (next == Clock::time_point::max()) {
      server.wake.wait(lock);
    } else {
      server.wake.wait_until(lock, next);
    }
  }
}

void on_interrupt(fuse_req_t req, void*) {
  const std::lock_guard<std::mutex> lock(server.mutex);
  for (Session* session : server.sessions) {
    for (PendingRead& read : session->reads) {
      if (read.req == req) read.interrupted = true;
    }
  }
  server.wake.notify_all();
}

Session* session_of(const fuse_file_info* fi) { return reinterpret_cast<Session*>(fi->fh); }

struct stat attributes(fuse_ino_t ino) {
  struct stat st {};
  st.st_ino = ino;
  st.st_uid = getuid();
  st.st_gid = getgid();
  if (ino == FUSE_ROOT_ID) {
    st.st_mode = S_IFDIR | 0755;
    st.st_nlink = 2;
  } else {
    st.st_mode = S_IFREG | 0666;
    st.st_nlink = 1;
  }
  return st;
}

// Writes the device path to the ready file, whole or not at all. Neither
// name is followed if it is a symbolic link: the temporary file is created
// afresh (a link or a file left at its name is removed first) and renamed
// over the final name, which replaces whatever entry is there.
void announce_ready() {
  std::printf("%s\n", server.device_path.c_str());
  std::fflush(stdout);
  const std::string& file = server.settings.ready_file;
  if (file.empty()) return;
  const std::string temporary = file + ".tmp";
  const std::string text = server.device_path + "\n";
  bool done = unlink(temporary.c_str()) == 0 || errno == ENOENT;
  const int fd = done ? open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644) : -1;
  done = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0 && close(fd) != 0) done = false;
  if (!done || std::rename(temporary.c_str(), file.c_str()) != 0) {
    std::fprintf(stderr, "ccdsim: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
  }
}

void op_init(void*, fuse_conn_info*) { announce_ready(); }

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  if (parent != FUSE_ROOT_ID || std::strcmp(name, DEVICE_NAME) != 0) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_entry_param entry{};
  entry.ino = DEVICE_INO;
  entry.attr = attributes(DEVICE_INO);
  entry.attr_timeout = 1.0;
  entry.entry_timeout = 1.0;
  fuse_reply_entry(req, &entry);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  if (ino != FUSE_ROOT_ID && ino != DEVICE_INO) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  const struct stat st = attributes(ino);
  fuse_reply_attr(req, &st, 1.0);
}

// Truncation (an open with O_TRUNC) has nothing to cut; the attributes stay.
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat*, int, fuse_file_info* fi) {
  op_getattr(req, ino, fi);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  if (ino != FUSE_ROOT_ID) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  std::vector<char> buffer(size);
  std::size_t used = 0;
  const struct {
    const char* name;
    fuse_ino_t ino;
  } entries[] = {{".", FUSE_ROOT_ID}, {"..", FUSE_ROOT_ID}, {DEVICE_NAME, DEVICE_INO}};
  for (off_t i = off; i < 3; ++i) {
    const struct stat st = attributes(entries[i].ino);
    const std::size_t need =
        fuse_add_direntry(req, buffer.data() + used, size - used, entries[i].name, &st, i + 1);
    if (need > size - used) break;
    used += need;
  }
  fuse_reply_buf(req, buffer.data(), used);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino != DEVICE_INO) {
    fuse_reply_err(req, ino == FUSE_ROOT_ID ? EISDIR : ENOENT);
    return;
  }
  auto* session = new Session(server.settings.model);
  {
    const std::lock_guard<std::mutex> lock(server.mutex);
    server.sessions.push_back(session);
  }
  fi->fh = reinterpret_cast<uint64_t>(session);
  fi->direct_io = 1;
  fi->nonseekable = 1;
  fi->keep_cache = 0;
  if (fuse_reply_open(req, fi) != 0) {
    const std::lock_guard<std::mutex> lock(server.mutex);
    server.sessions.remove(session);
    delete session;
  }
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info* fi) {
  Session& session = *session_of(fi);
  std::vector<Answer> answers;
  bool waiting = false;
  {
    const std::lock_guard<std::mutex> lock(server.mutex);
    session.reads.push_back({req, size});
    serve_reads(session, answers, nullptr);
    waiting = !session.reads.empty();
    if (waiting) server.wake.notify_all();
  }
  send_answers(answers);
  // Registered without the lock: libfuse may call on_interrupt at once.
  if (waiting) fuse_req_interrupt_func(req, on_interrupt, nullptr);
}

void op_write(fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t, fuse_file_info* fi) {
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(buf), size);
  if (server.log != nullptr) {
    std::string line;
    char hex[4];
    for (std::size_t i = 0; i < size; ++i) {
      std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", bytes[i]);
      line += hex;
    }
    const std::lock_guard<std::mutex> lock(server.log_mutex);
    std::fprintf(server.log, "%s\n", line.c_str());
    std::fflush(server.log);
  }
  long result = 0;
  {
    const std::lock_guard<std::mutex> lock(server.mutex);
    result = session_of(fi)->model.write(bytes);
    server.wake.notify_all();  // a new exposure changes what waiting reads wait for
  }
  if (result < 0) {
    fuse_reply_err(req, static_cast<int>(-result));
  } else {
    fuse_reply_write(req, static_cast<std::size_t>(result));
  }
}

void op_flush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

// Installed only with --refuse-locks: the kernel then hands every flock() of
// the device to the server instead of keeping the locks itself.
void op_flock(fuse_req_t req, fuse_ino_t, fuse_file_info*, int) { fuse_reply_err(req, ENOLCK); }

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  Session* session = session_of(fi);
  std::vector<Answer> answers;
  {
    const std::lock_guard<std::mutex> lock(server.mutex);
    for (const PendingRead& read : session->reads) answers.push_back({read.req, EIO, {}});
    server.sessions.remove(session);
  }
  send_answers(answers);
  delete session;
  fuse_reply_err(req, 0);
}

// --- Signals: SIGINT, SIGTERM and SIGHUP stop the server ---

std::atomic<bool> loop_done{false};
pthread_t loop_thread;

void on_wakeup(int) {}

void wait_for_stop_signal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  int signal_number = 0;
  sigwait(&set, &signal_number);
  fuse_session_exit(server.se);
  // Interrupt the loop's read of the FUSE device until the loop has seen
  // the exit (a signal landing just before that read is not lost).
  while (!loop_done.load()) {
    pthread_kill(loop_thread, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

int main(int argc, char** argv) {
  server.settings = parse_command_line(argc, argv);
  if (server.settings.pointing_given) open_star_catalog(server.settings);
  const Settings& settings = server.settings;

  char* real = realpath(settings.mountpoint.c_str(), nullptr);
  if (real == nullptr) {
    std::fprintf(stderr, "ccdsim: %s: %s\n", settings.mountpoint.c_str(), std::strerror(errno));
    return 1;
  }
  server.device_path = std::string(real) + "/" + DEVICE_NAME;
  std::free(real);

  if (!settings.log_file.empty()) {
    server.log = std::fopen(settings.log_file.c_str(), "w");
    if (server.log == nullptr) {
      std::fprintf(stderr, "ccdsim: cannot open %s: %s\n", settings.log_file.c_str(), std::strerror(errno));
      return 1;
    }
  }

  // The stop signals go to their own thread; SIGUSR1 only wakes the loop.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  struct sigaction wakeup {};
  wakeup.sa_handler = on_wakeup;
  sigemptyset(&wakeup.sa_mask);
  sigaction(SIGUSR1, &wakeup, nullptr);
  signal(SIGPIPE, SIG_IGN);
  fuse_lowlevel_ops ops{};
  ops.init = op_init;
  ops.lookup = op_lookup;
  ops.getattr = op_getattr;
  ops.setattr = op_setattr;
  ops.readdir = op_readdir;
  ops.open = op_open;
  ops.read = op_read;
  ops.write = op_write;
  ops.flush = op_flush;
  ops.release = op_release;
  if (settings.refuse_locks) ops.flock = op_flock;

  std::vector<std::string> words = {argv[0], "-o",
                                    std::string("fsname=ccdsim,subtype=ccdsim") +
                                        (settings.allow_other ? ",allow_other" : "")};
  std::vector<char*> fuse_argv;
  for (std::string& word : words) fuse_argv.push_back(word.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(fuse_argv.size()), fuse_argv.data());

  server.se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
  fuse_opt_free_args(&args);
  if (server.se == nullptr) {
    std::fprintf(stderr, "ccdsim: cannot start the file system\n");
    return 1;
  }
  // Stop signals that came before this point are pending and seen now.
  loop_thread = pthread_self();
  std::thread signal_thread(wait_for_stop_signal);
  std::thread answer_thread(answer_waiting_reads);
  sigset_t wake_only;
  sigemptyset(&wake_only);
  sigaddset(&wake_only, SIGUSR1);
  pthread_sigmask(SIG_UNBLOCK, &wake_only, nullptr);

  int status = 1;
  if (fuse_session_mount(server.se, settings.mountpoint.c_str()) != 0) {
    std::fprintf(stderr, "ccdsim: cannot mount %s\n", settings.mountpoint.c_str());
  } else {
    status = fuse_session_loop(server.se) < 0 ? 1 : 0;
    loop_done = true;
    // Answer every read still waiting, then leave the mount point.
    std::vector<Answer> answers;
    {
      const std::lock_guard<std::mutex> lock(server.mutex);
      server.stopping = true;
      for (Session* session : server.sessions) {
        for (const PendingRead& read : session->reads) answers.push_back({read.req, EIO, {}});
        session->reads.clear();
      }
      server.wake.notify_all();
    }
    send_answers(answers);
    fuse_session_unmount(server.se);
  }
  loop_done = true;
  {
    const std::lock_guard<std::mutex> lock(server.mutex);
    server.stopping = true;
    server.wake.notify_all();
  }
  answer_thread.join();
  // The signal thread ends once it has a signal; send one if none came.
  pthread_kill(signal_thread.native_handle(), SIGTERM);
  signal_thread.join();
  fuse_session_destroy(server.se);
  for (Session* session : server.sessions) delete session;
  if (server.log != nullptr) std::fclose(server.log);
  return status;
}
