// The catalog file's FITS structure (2880-byte blocks of 80-character header
// cards, then the data padded to whole blocks), its star tables decoded byte
// by byte, and the gnomonic projection of a pointing.
#include "sim/catalog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numbers>

#include "sim/camera_model.h"

namespace ccdsim {
namespace {

constexpr uint64_t BLOCK = 2880;
constexpr uint64_t CARD = 80;
constexpr double DEGREE = std::numbers::pi / 180.0;

double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

uint32_t u32_at(const uint8_t* p, bool little) {
  return little ? static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                      static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24
                : static_cast<uint32_t>(p[3]) | static_cast<uint32_t>(p[2]) << 8 |
                      static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[0]) << 24;
}

double f64_at(const uint8_t* p, bool little) {
  const uint64_t low = u32_at(little ? p : p + 4, little);
  const uint64_t high = u32_at(little ? p + 4 : p, little);
  return std::bit_cast<double>(high << 32 | low);
}

// Reads exactly size bytes at offset; false on a failure or a short file.
bool read_at(int fd, uint64_t offset, uint8_t* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = 0;  // the file ends early
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The header cards of one HDU that the catalog needs.
struct Hdu {
  bool extension = false;
  std::string column;  // TTYPE1
  std::string form;    // TFORM1
  std::string endian;  // ENDIAN
  uint64_t row_bytes = 0;
  uint64_t rows = 0;
  uint64_t data_offset = 0;
  uint64_t data_bytes = 0;
};

std::string trimmed(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && text[start] == ' ') ++start;
  return text.substr(start);
}

// The value of a card: a quoted string without its quotes, else the text
// before any comment.
std::string card_value(const char* card) {
  std::string value(card + 10, CARD - 10);
  value = trimmed(value);
  if (!value.empty() && value[0] == '\'') {
    const auto close = value.find('\'', 1);
    return trimmed(value.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  }
  return trimmed(value.substr(0, value.find('/')));
}

bool card_number(const std::string& value, uint64_t* out) {
  if (value.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(value.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || n < 0) return false;
  *out = static_cast<uint64_t>(n);
  return true;
}

// Reads the header starting at offset; false at the end of the file or on a
// header that is not FITS.
bool read_hdu(int fd, uint64_t offset, uint64_t file_size, Hdu* hdu) {
  uint8_t block[BLOCK];
  uint64_t bitpix = 8, naxis = 0, pcount = 0, gcount = 1;
  uint64_t axes[3] = {0, 0, 0};
  bool first = true;
  for (uint64_t at = offset;; at += BLOCK) {
    if (at + BLOCK > file_size || !read_at(fd, at, block, BLOCK)) return false;
    for (uint64_t c = 0; c < BLOCK; c += CARD) {
      const char* card = reinterpret_cast<const char*>(block + c);
      const std::string key = trimmed(std::string(card, 8));
      if (first) {
        if (key != "SIMPLE" && key != "XTENSION") return false;
        hdu->extension = key == "XTENSION";
        first = false;
      }
      if (key == "END") {
        hdu->data_offset = at + BLOCK;
        if (naxis > 3) return false;
        uint64_t elements = naxis == 0 ? 0 : 1;
        for (uint64_t i = 0; i < naxis; ++i) {
          if (axes[i] != 0 && elements > file_size / axes[i]) return false;  // larger than the file
          elements *= axes[i];
        }
        hdu->row_bytes = naxis >= 1 ? axes[0] : 0;
        hdu->rows = naxis >= 2 ? axes[1] : 0;
        hdu->data_bytes = bitpix / 8 * gcount * (pcount + elements);
        return hdu->data_bytes <= file_size;
      }
      if (card[8] != '=' || card[9] != ' ') continue;
      const std::string value = card_value(card);
      bool ok = true;
      if (key == "BITPIX") {
        const long long b = std::strtoll(value.c_str(), nullptr, 10);
        bitpix = static_cast<uint64_t>(b < 0 ? -b : b);
      } else if (key == "NAXIS") {
        ok = card_number(value, &naxis);
      } else if (key == "NAXIS1" || key == "NAXIS2" || key == "NAXIS3") {
        ok = card_number(value, &axes[key[5] - '1']) && axes[key[5] - '1'] < (uint64_t{1} << 40);
      } else if (key == "PCOUNT") {
        ok = card_number(value, &pcount) && pcount < (uint64_t{1} << 40);
      } else if (key == "GCOUNT") {
        ok = card_number(value, &gcount) && gcount < 1024;
      } else if (key == "TTYPE1") {
        hdu->column = value;
      } else if (key == "TFORM1") {
        hdu->form = value;
      } else if (key == "ENDIAN") {
        hdu->endian = value;
      }
      if (!ok) return false;
    }
  }
}

}  // namespace

Vec3 unit_vector(double ra_deg, double dec_deg) {
  const double ra = ra_deg * DEGREE;
  const double dec = dec_deg * DEGREE;
  return {std::cos(dec) * std::cos(ra), std::cos(dec) * std::sin(ra), std::sin(dec)};
}

Plate make_plate(const Pointing& pointing, const SensorConfig& sensor) {
  const double ra = pointing.ra * DEGREE;
  const double dec = pointing.dec * DEGREE;
  Plate plate;
  plate.centre = unit_vector(pointing.ra, pointing.dec);
  plate.east = {-std::sin(ra), std::cos(ra), 0.0};
  plate.north = {-std::sin(dec) * std::cos(ra), -std::sin(dec) * std::sin(ra), std::cos(dec)};
  plate.cx = (sensor.width - 1) / 2.0;
  plate.cy = (sensor.height - 1) / 2.0;
  // Pixel sizes are in 1/256 micrometre, the focal length in millimetres.
  plate.x_scale = sensor.pixel_width_raw / 256.0 * 1e-3 / pointing.focal_length;
  plate.y_scale = sensor.pixel_height_raw / 256.0 * 1e-3 / pointing.focal_length;
  plate.cos_rotation = std::cos(pointing.rotation * DEGREE);
  plate.sin_rotation = std::sin(pointing.rotation * DEGREE);
  return plate;
}

bool project(const Plate& plate, const Vec3& v, double* x, double* y) {
  const double d = dot(v, plate.centre);
  if (!(d > 1e-9)) return false;
  // Standard coordinates: east and north on the tangent plane.
  const double xi = dot(v, plate.east) / d;
  const double eta = dot(v, plate.north) / d;
  // Image up is (sin R, cos R) in (east, north), image right (-cos R, sin R):
  // the sky as seen, turned, never mirrored.
  const double right = -xi * plate.cos_rotation + eta * plate.sin_rotation;
  const double up = xi * plate.sin_rotation + eta * plate.cos_rotation;
  *x = plate.cx + right / plate.x_scale;
  *y = plate.cy - up / plate.y_scale;
  return true;
}

StarCatalog::~StarCatalog() {
  if (fd >= 0) close(fd);
}

std::shared_ptr<const StarCatalog> open_catalog(const std::string& path, std::string* error) {
  auto catalog = std::make_shared<StarCatalog>();
  catalog->path = path;
  catalog->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (catalog->fd < 0 || fstat(catalog->fd, &st) != 0) {
    *error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = path + ": not a regular file";
    return nullptr;
  }
  const auto file_size = static_cast<uint64_t>(st.st_size);
  Hdu positions, range, magnitudes;
  std::string endian, primary_endian;
  uint64_t offset = 0;
  for (int index = 0; index < 1000; ++index) {
    Hdu hdu;
    if (!read_hdu(catalog->fd, offset, file_size, &hdu) || (index > 0 && !hdu.extension)) break;
    if (index == 0) primary_endian = hdu.endian;
    if (hdu.column == "kdtree_header_stars") endian = hdu.endian;
    if (hdu.column == "kdtree_data_stars") positions = hdu;
    if (hdu.column == "kdtree_range_stars") range = hdu;
    if (hdu.column == "MAG_VT") magnitudes = hdu;
    offset = hdu.data_offset + (hdu.data_bytes + BLOCK - 1) / BLOCK * BLOCK;
  }
  if (endian.empty()) endian = primary_endian;
  const auto refuse = [&](const std::string& why) {
    *error = path + ": not a star catalog (an astrometry.net index file): " + why;
    return nullptr;
  };
  if (positions.data_offset == 0 || positions.row_bytes != 12) return refuse("no table kdtree_data_stars");
  if (range.data_offset == 0 || range.row_bytes != 8 || range.rows != 7) return refuse("no table kdtree_range_stars");
  if (magnitudes.data_offset == 0 || magnitudes.row_bytes != 4 || magnitudes.form != "1E") {
    return refuse("no column MAG_VT");
  }
  if (magnitudes.rows != positions.rows) return refuse("MAG_VT and kdtree_data_stars differ in length");
  if (positions.data_offset + positions.rows * 12 > file_size ||
      magnitudes.data_offset + magnitudes.rows * 4 > file_size) {
    return refuse("the file is cut short");
  }
  if (endian == "04:03:02:01") {
    catalog->little_endian = true;
  } else if (endian == "01:02:03:04") {
    catalog->little_endian = false;
  } else {
    return refuse("no ENDIAN keyword naming its byte order");
  }
  uint8_t bytes[56];
  if (!read_at(catalog->fd, range.data_offset, bytes, sizeof bytes)) return refuse("the file is cut short");
  for (int d = 0; d < 3; ++d) catalog->low[d] = f64_at(bytes + 8 * d, catalog->little_endian);
  catalog->scale = f64_at(bytes + 48, catalog->little_endian);
  if (!(catalog->scale > 0.0) || !std::isfinite(catalog->scale)) return refuse("a bad kdtree_range_stars scale");
  catalog->stars = positions.rows;
  catalog->positions_offset = positions.data_offset;
  catalog->magnitudes_offset = magnitudes.data_offset;
  return catalog;
}

bool select_stars(const StarCatalog& catalog, const Plate& plate, double x_low, double x_high, double y_low,
                  double y_high, std::vector<CatalogStar>* out, std::string* error) {
  out->clear();
  // The cone: the farthest corner's distance on the tangent plane.
  double reach = 0.0;
  for (const double x : {x_low, x_high}) {
    for (const double y : {y_low, y_high}) {
      reach = std::max(reach, std::hypot((x - plate.cx) * plate.x_scale, (y - plate.cy) * plate.y_scale));
    }
  }
  const double angle = std::atan(reach) + 1e-6;
  const double cos_limit = angle >= std::numbers::pi / 2 ? 0.0 : std::cos(angle);

  constexpr std::size_t CHUNK = 4096;  // stars per read
  std::vector<uint8_t> positions(CHUNK * 12);
  std::vector<uint8_t> magnitudes(CHUNK * 4);
  const bool little = catalog.little_endian;
  const double inverse = 1.0 / catalog.scale;
  for (uint64_t first = 0; first < catalog.stars; first += CHUNK) {
    const auto count = static_cast<std::size_t>(std::min<uint64_t>(CHUNK, catalog.stars - first));
    if (!read_at(catalog.fd, catalog.positions_offset + first * 12, positions.data(), count * 12) ||
        !read_at(catalog.fd, catalog.magnitudes_offset + first * 4, magnitudes.data(), count * 4)) {
      *error = catalog.path + ": cannot read the stars: " + (errno != 0 ? std::strerror(errno) : "short file");
      return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const uint8_t* p = positions.data() + 12 * i;
      const Vec3 v = {catalog.low[0] + u32_at(p, little) * inverse, catalog.low[1] + u32_at(p + 4, little) * inverse,
                      catalog.low[2] + u32_at(p + 8, little) * inverse};
      if (dot(v, plate.centre) < cos_limit) continue;
      double x = 0.0, y = 0.0;
      if (!project(plate, v, &x, &y) || x < x_low || x > x_high || y < y_low || y > y_high) continue;
      const float magnitude = std::bit_cast<float>(u32_at(magnitudes.data() + 4 * i, false));
      if (!std::isfinite(magnitude)) continue;
      out->push_back({x, y, magnitude});
    }
  }
  return true;
}

}  // namespace ccdsim
