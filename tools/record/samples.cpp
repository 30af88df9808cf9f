#include "samples.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zarn::record {

std::string describeFormat(const tools::ChunkFormat& format) {
  std::string kind = format.isFloat ? "float" : "int";
  return std::to_string(format.sampleRate) + " Hz, " + std::to_string(format.channels) + " ch, " +
         kind + std::to_string(format.bitsPerChannel);
}

std::optional<std::string> unsupportedFormat(const tools::ChunkFormat& format) {
  if (format.sampleRate == 0) return "a sample rate of 0 Hz";
  if (format.channels == 0) return "0 channels";
  const unsigned bits = format.bitsPerChannel;
  const bool known = format.isFloat ? (bits == 32 || bits == 64)
                                    : (bits == 8 || bits == 16 || bits == 24 || bits == 32);
  if (!known)
    return std::string("samples of type ") + (format.isFloat ? "float" : "int") +
           std::to_string(bits);
  return std::nullopt;
}

std::size_t bytesPerFrame(const tools::ChunkFormat& format) {
  return std::size_t{format.channels} * (format.bitsPerChannel / 8u);
}

namespace {

template <typename T>
T load(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// 24-bit samples come packed in three bytes in native (little-endian on every host we run on)
// order.
std::int32_t load24(const std::uint8_t* p) {
  const std::uint32_t raw = static_cast<std::uint32_t>(p[0]) |
                            static_cast<std::uint32_t>(p[1]) << 8 |
                            static_cast<std::uint32_t>(p[2]) << 16;
  return static_cast<std::int32_t>(raw << 8) >> 8;
}

}  // namespace

void appendAsFloat(const tools::ChunkFormat& format, std::span<const std::uint8_t> bytes,
                   std::vector<float>& out) {
  const std::size_t width = format.bitsPerChannel / 8u;
  const std::size_t count = bytes.size() / width;
  const std::size_t start = out.size();
  out.resize(start + count);
  float* dst = out.data() + start;
  const std::uint8_t* src = bytes.data();

  if (format.isFloat && width == 4) {
    std::memcpy(dst, src, count * 4);
    return;
  }
  for (std::size_t i = 0; i < count; ++i, src += width) {
    float v = 0;
    if (format.isFloat) {
      v = static_cast<float>(load<double>(src));
    } else {
      switch (width) {
        case 1:
          v = (static_cast<float>(*src) - 128.0f) / 128.0f;
          break;
        case 2:
          v = static_cast<float>(load<std::int16_t>(src)) / 32768.0f;
          break;
        case 3:
          v = static_cast<float>(load24(src)) / 8388608.0f;
          break;
        default:
          v = static_cast<float>(static_cast<double>(load<std::int32_t>(src)) / 2147483648.0);
          break;
      }
    }
    dst[i] = v;
  }
}

std::uint64_t limitToFullScale(std::span<float> samples, bool clip) {
  std::uint64_t over = 0;
  for (float& v : samples) {
    if (std::fabs(v) <= 1.0f) continue;  // false for a NaN too
    ++over;
    if (std::isnan(v)) {
      v = 0;
    } else if (clip || std::isinf(v)) {
      v = std::clamp(v, -1.0f, 1.0f);
    }
  }
  return over;
}

}  // namespace zarn::record
