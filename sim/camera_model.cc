// The camera model's state machine: messages in, pieces (reply, image
// header, rows) out, with the patterns computed one row at a time.
#include "sim/camera_model.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "sim/sky.h"

namespace ccdsim {

std::array<uint8_t, 32> SensorConfig::default_model() { return model_text("CCDSIM"); }

std::array<uint8_t, 32> model_text(const std::string& text) {
  std::array<uint8_t, 32> bytes{};
  bytes.fill(' ');
  std::memcpy(bytes.data(), text.data(), std::min(text.size(), bytes.size()));
  return bytes;
}

std::size_t sample_bytes(const SensorConfig& sensor) { return (sensor.bits_per_pixel + 7u) / 8u; }

std::size_t expose_row_bytes(const SensorConfig& sensor, const ExposeMessage& expose) {
  const std::size_t pixels = expose.x_bin == 0 ? 0 : expose.width / expose.x_bin;
  return pixels * sample_bytes(sensor);
}

uint32_t expose_rows(const ExposeMessage& expose) {
  return expose.y_bin == 0 ? 0 : static_cast<uint32_t>(expose.height / expose.y_bin);
}

uint16_t ramp_pixel(const ExposeMessage& e, uint32_t column, uint32_t row) {
  uint32_t sum = 0;
  const uint32_t x = e.x_origin + column * e.x_bin;
  const uint32_t y = e.y_origin + row * e.y_bin;
  for (uint32_t dy = 0; dy < e.y_bin; ++dy) {
    for (uint32_t dx = 0; dx < e.x_bin; ++dx) sum += ramp_value(x + dx, y + dy, e.exposure_ms);
  }
  return static_cast<uint16_t>(std::min<uint32_t>(sum, 65535));
}

std::array<uint8_t, MSG_QUERY_REPLY_SIZE> query_reply_bytes(const SensorConfig& sensor) {
  QueryReply reply{};
  reply.header = {MSG_MAGIC, MSG_QUERY_REPLY_SIZE, MSG_QUERY_REPLY};
  reply.model = sensor.model;
  reply.width = sensor.width;
  reply.height = sensor.height;
  reply.pixel_width = sensor.pixel_width_raw;
  reply.pixel_height = sensor.pixel_height_raw;
  reply.aux_1 = sensor.aux_1;
  reply.bits_per_pixel = sensor.bits_per_pixel;
  reply.default_depth = sensor.default_depth;
  reply.aux_2 = sensor.aux_2;
  return encode_query_reply(reply);
}

namespace {

enum class Pending { None, Reply, Header, Rows };

std::size_t clamp_size(int value, std::size_t limit) {
  return value <= 0 ? 0 : std::min(static_cast<std::size_t>(value), limit);
}

// Writes the values as samples of `width` bytes, little-endian, clipped to 16 bits.
void store_samples(std::span<const uint32_t> values, std::size_t width, uint8_t* out) {
  if (width == 2) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto s = static_cast<uint16_t>(std::min<uint32_t>(values[i], 65535));
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out + 2 * i, &s, 2);
      } else {
        out[2 * i] = static_cast<uint8_t>(s & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>(s >> 8);
      }
    }
    return;
  }
  if (width == 0) return;
  std::memset(out, 0, values.size() * width);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto s = static_cast<uint16_t>(std::min<uint32_t>(values[i], 65535));
    uint8_t* sample = out + i * width;
    if (width == 1) {
      sample[0] = static_cast<uint8_t>(s >> 8);
    } else {
      sample[0] = static_cast<uint8_t>(s & 0xFF);
      sample[1] = static_cast<uint8_t>(s >> 8);
    }
  }
}

// The unbinned ramp straight into 16-bit little-endian samples: lanes of 16
// consecutive values, each step adding 16 x 37 (modulo 65536 by wrapping).
void ramp_row_16(const ExposeMessage& e, uint32_t row, std::size_t pixels, uint8_t* out) {
  const uint32_t base = (e.y_origin + row) * 101u + e.exposure_ms + e.x_origin * 37u;
  constexpr std::size_t LANES = 16;
  uint16_t lane[LANES];
  for (std::size_t k = 0; k < LANES; ++k) lane[k] = static_cast<uint16_t>(base + k * 37u);
  std::size_t i = 0;
  for (; i + LANES <= pixels; i += LANES) {
    std::memcpy(out + 2 * i, lane, sizeof lane);
    for (auto& v : lane) v = static_cast<uint16_t>(v + LANES * 37u);
  }
  std::memcpy(out + 2 * i, lane, 2 * (pixels - i));
}

void ramp_row(const ExposeMessage& e, uint32_t row, std::span<uint32_t> values) {
  const uint32_t x0 = e.x_origin;
  const uint32_t y0 = e.y_origin + row * e.y_bin;
  if (e.x_bin == 1 && e.y_bin == 1) {
    const uint32_t base = y0 * 101u + e.exposure_ms + x0 * 37u;
    for (std::size_t i = 0; i < values.size(); ++i) {
      values[i] = (base + static_cast<uint32_t>(i) * 37u) & 0xFFFFu;
    }
    return;
  }
  std::fill(values.begin(), values.end(), 0u);
  const uint32_t xb = e.x_bin;
  for (uint32_t dy = 0; dy < e.y_bin; ++dy) {
    const uint32_t base = (y0 + dy) * 101u + e.exposure_ms + x0 * 37u;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const uint32_t first = base + static_cast<uint32_t>(i) * xb * 37u;
      uint32_t sum = 0;
      for (uint32_t dx = 0; dx < xb; ++dx) sum += (first + dx * 37u) & 0xFFFFu;
      values[i] += sum;
    }
  }
}

}  // namespace

struct CameraModel::State {
  ModelConfig config;
  detail::SkyField sky;
  Pending pending = Pending::None;
  std::array<uint8_t, MSG_QUERY_REPLY_SIZE> reply{};
  FrameContext frame{};
  uint32_t rows = 0;
  uint32_t next_row = 0;  // 0-based index of the next row to deliver
  std::size_t row_bytes = 0;
  std::chrono::steady_clock::time_point ready{};
  bool stalled = false;
  unsigned generation = 0;
  unsigned frames = 0;
  SideMessages side;
  std::vector<uint32_t> values;  // one row of values
  std::vector<double> charge;    // one row of sky charge
  std::vector<uint8_t> scratch;  // one row of bytes, for reads smaller than a row

  void render_row(uint32_t row, uint8_t* out) {
    const std::span<uint32_t> span(values);
    if constexpr (std::endian::native == std::endian::little) {
      if (config.pattern == Pattern::Ramp && frame.expose.x_bin == 1 && frame.expose.y_bin == 1 &&
          sample_bytes(config.sensor) == 2) {
        ramp_row_16(frame.expose, row, values.size(), out);
        return;
      }
    }
    switch (config.pattern) {
      case Pattern::Ramp:
        ramp_row(frame.expose, row, span);
        break;
      case Pattern::Sky:
        detail::render_sky_row(sky, config.sky, config.seed, frame, row, span, charge);
        break;
      case Pattern::Custom:
        for (std::size_t i = 0; i < values.size(); ++i) {
          values[i] = config.pixel ? config.pixel(frame, static_cast<uint32_t>(i), row) : 0u;
        }
        break;
    }
    store_samples(span, sample_bytes(config.sensor), out);
  }

  long expose(std::span<const uint8_t> bytes) {
    const ExposeMessage e = decode_expose(bytes.first<MSG_EXPOSE_SIZE>());
    if (e.x_bin == 0 || e.y_bin == 0 || e.x_bin > MAX_BIN || e.y_bin > MAX_BIN) return -EINVAL;
    if (config.pattern == Pattern::Sky && config.real_sky.catalog) {
      std::string error;
      if (!detail::select_real_sky(config.sensor, config.real_sky, e, &sky, &error)) return -EIO;
    }
    frame = {e, frames++};
    rows = expose_rows(e);
    row_bytes = expose_row_bytes(config.sensor, e);
    next_row = 0;
    const std::size_t pixels = e.width / e.x_bin;
    values.assign(pixels, 0);
    charge.assign(config.pattern == Pattern::Sky ? pixels : 0, 0.0);
    scratch.clear();
    scratch.shrink_to_fit();
    const double wait_ms = config.time_scale > 0.0 ? e.exposure_ms * config.time_scale : 0.0;
    ready = std::chrono::steady_clock::now() +
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double, std::milli>(wait_ms));
    pending = Pending::Header;
    ++generation;
    return static_cast<long>(bytes.size());
  }
};

CameraModel::CameraModel(const ModelConfig& config) : state_(std::make_unique<State>()) {
  state_->config = config;
  if (config.pattern == Pattern::Sky) state_->sky = detail::make_sky_field(config.sensor, config.sky, config.seed);
}

CameraModel::~CameraModel() = default;

long CameraModel::write(std::span<const uint8_t> bytes) {
  State& s = *state_;
  if (bytes.size() < MSG_HEADER_SIZE) return -EINVAL;
  const MessageHeader header = decode_header(bytes);
  if (header.magic != MSG_MAGIC || header.length != bytes.size()) return -EINVAL;
  const auto accepted = static_cast<long>(bytes.size());
  switch (header.type) {
    case MSG_QUERY:
      if (bytes.size() != MSG_QUERY_SIZE) return -EINVAL;
      s.reply = query_reply_bytes(s.config.sensor);
      if (s.config.faults.reply_type != 0) {
        put_u16(s.reply, 6, static_cast<uint16_t>(s.config.faults.reply_type));
      }
      s.pending = Pending::Reply;
      ++s.generation;
      return accepted;
    case MSG_EXPOSE:
      if (bytes.size() != MSG_EXPOSE_SIZE) return -EINVAL;
      return s.expose(bytes);
    case MSG_TYPE_0301:
      if (bytes.size() != MSG_TYPE_0301_SIZE) return -EINVAL;
      ++s.side.count_0301;
      return accepted;
    case MSG_TYPE_0401:
      if (bytes.size() != MSG_TYPE_0401_SIZE) return -EINVAL;
      ++s.side.count_0401;
      s.side.last_0401_first = get_u16(bytes, 8);
      s.side.last_0401_second = get_u16(bytes, 10) + (static_cast<uint32_t>(get_u16(bytes, 12)) << 16);
      return accepted;
    default:
      return -EINVAL;
  }
}

ReadResult CameraModel::read(std::span<uint8_t> buffer) {
  State& s = *state_;
  const Faults& f = s.config.faults;
  if (s.stalled) return {ReadKind::Stalled, 0};
  switch (s.pending) {
    case Pending::None:
      return {ReadKind::Data, 0};
    case Pending::Reply: {
      s.pending = Pending::None;
      if (f.fail_query_read) return {ReadKind::Failed, 0};
      const std::size_t size = s.reply.size() - clamp_size(f.short_query_reply, s.reply.size());
      const std::size_t n = std::min(size, buffer.size());
      std::memcpy(buffer.data(), s.reply.data(), n);
      return {ReadKind::Data, n};
    }
    case Pending::Header: {
      if (f.fail_header_read) {
        s.pending = Pending::None;
        return {ReadKind::Failed, 0};
      }
      const uint32_t length = static_cast<uint32_t>(s.rows * s.row_bytes + MSG_HEADER_SIZE) +
                              static_cast<uint32_t>(f.image_length_offset);
      std::array<uint8_t, MSG_HEADER_SIZE> header{};
      encode_header({MSG_MAGIC, length, f.image_type != 0 ? static_cast<uint16_t>(f.image_type) : MSG_IMAGE},
                    header);
      const std::size_t size = header.size() - clamp_size(f.short_header, header.size());
      const std::size_t n = std::min(size, buffer.size());
      std::memcpy(buffer.data(), header.data(), n);
      s.pending = s.rows > 0 ? Pending::Rows : Pending::None;
      return {ReadKind::Data, n};
    }
    case Pending::Rows:
      break;
  }
  const auto number = static_cast<int64_t>(s.next_row) + 1;
  if (f.stall_row > 0 && number == f.stall_row) {
    s.stalled = true;
    return {ReadKind::Stalled, 0};
  }
  if (f.fail_row > 0 && number == f.fail_row) {
    s.pending = Pending::None;
    return {ReadKind::Failed, 0};
  }
  std::size_t size = s.row_bytes;
  if (f.truncate_row > 0 && number == f.truncate_row) size -= clamp_size(f.truncate_by, size);
  const std::size_t n = std::min(size, buffer.size());
  if (buffer.size() >= s.row_bytes) {
    s.render_row(s.next_row, buffer.data());
  } else {
    s.scratch.resize(s.row_bytes);
    s.render_row(s.next_row, s.scratch.data());
    std::memcpy(buffer.data(), s.scratch.data(), n);
  }
  if (++s.next_row >= s.rows) s.pending = Pending::None;
  return {ReadKind::Data, n};
}

bool CameraModel::has_pending() const { return state_->pending != Pending::None; }

std::size_t CameraModel::pending_size() const {
  switch (state_->pending) {
    case Pending::Reply:
      return MSG_QUERY_REPLY_SIZE;
    case Pending::Header:
      return MSG_HEADER_SIZE;
    case Pending::Rows:
      return state_->row_bytes;
    case Pending::None:
      break;
  }
  return 0;
}

std::chrono::steady_clock::time_point CameraModel::ready_at() const {
  return state_->pending == Pending::Header ? state_->ready : std::chrono::steady_clock::time_point::min();
}

bool CameraModel::stalled() const { return state_->stalled; }
unsigned CameraModel::generation() const { return state_->generation; }
unsigned CameraModel::frames() const { return state_->frames; }
const SideMessages& CameraModel::side_messages() const { return state_->side; }
const ModelConfig& CameraModel::config() const { return state_->config; }

}  // namespace ccdsim
