// The real sky: stars of an astrometry.net index file (a FITS file holding
// the Tycho-2 stars in Debian's astrometry-data-tycho2 packages) and their
// gnomonic projection onto the sensor for a telescope pointing.
//
// Catalog file: FITS binary tables, each known by the name of its one column:
//   kdtree_data_stars   three unsigned 32-bit integers per star;
//   kdtree_range_stars  seven doubles: the low x, y, z, the high x, y, z and
//                       the scale;
//   MAG_VT              one 32-bit IEEE float per star (big-endian, as FITS
//                       stores it), in the order of kdtree_data_stars.
// The two kdtree tables are in the byte order the file's ENDIAN keyword
// names ("04:03:02:01" little-endian, "01:02:03:04" big-endian). Component d
// of a star's unit vector (x towards RA 0, Dec 0; z towards the north pole)
// is low[d] + n / scale. Every number is decoded byte by byte.
//
// Sensor coordinates: pixel centres at whole numbers, x along a row, y from
// the first row read. The pointing is at the sensor's centre
// ((width - 1) / 2, (height - 1) / 2). At rotation 0 the first row is north
// and the first pixel of a row is east; a rotation of R degrees turns the
// direction of the first row (image "up") R degrees from north through east.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ccdsim {

struct SensorConfig;

struct Vec3 {
  double x, y, z;
};

// The unit vector towards right ascension ra and declination dec (degrees).
Vec3 unit_vector(double ra_deg, double dec_deg);

struct Pointing {
  double ra = 0.0;               // degrees, J2000
  double dec = 0.0;              // degrees, J2000
  double focal_length = 400.0;   // millimetres
  double rotation = 0.0;         // degrees
};

// The projection of one pointing onto one sensor.
struct Plate {
  Vec3 centre, east, north;      // the pointing and the tangent plane's axes
  double cx = 0.0, cy = 0.0;     // sensor coordinates of the pointing
  double x_scale = 0.0;          // radians of the tangent plane per pixel
  double y_scale = 0.0;
  double cos_rotation = 1.0, sin_rotation = 0.0;
};

Plate make_plate(const Pointing& pointing, const SensorConfig& sensor);

// Sensor coordinates of direction v (a unit vector); false, with x and y
// untouched, when v is 90 degrees or more from the pointing.
bool project(const Plate& plate, const Vec3& v, double* x, double* y);

// An open catalog file. Shared read-only: the stars are read with pread.
struct StarCatalog {
  int fd = -1;
  std::string path;
  uint64_t stars = 0;
  uint64_t positions_offset = 0;  // byte offset of kdtree_data_stars's data
  uint64_t magnitudes_offset = 0; // byte offset of MAG_VT's data
  bool little_endian = true;      // byte order of the kdtree tables
  double low[3] = {0, 0, 0};
  double scale = 1.0;

  StarCatalog() = default;
  StarCatalog(const StarCatalog&) = delete;
  StarCatalog& operator=(const StarCatalog&) = delete;
  ~StarCatalog();
};

// Opens and checks a catalog file: nullptr with a one-line reason in error
// when it cannot be opened or is not a catalog as described above.
std::shared_ptr<const StarCatalog> open_catalog(const std::string& path, std::string* error);

struct CatalogStar {
  double x;  // sensor coordinates
  double y;
  double magnitude;
};

// The catalog's stars that project inside the sensor rectangle
// [x_low, x_high] x [y_low, y_high], read in one pass over the file and
// selected with a cone around the pointing first. False, with a reason in
// error, when the file cannot be read.
bool select_stars(const StarCatalog& catalog, const Plate& plate, double x_low, double x_high, double y_low,
                  double y_high, std::vector<CatalogStar>* out, std::string* error);

}  // namespace ccdsim
