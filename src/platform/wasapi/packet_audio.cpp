#include "platform/wasapi/packet_audio.h"

#include <cstring>

#include "platform/mono_mix.h"

namespace zarn::platform::wasapi {
namespace {

template <class T>
T load(const std::uint8_t* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);  // packets need not be aligned for T
  return value;
}

float sampleAt(SampleKind kind, const std::uint8_t* bytes) {
  switch (kind) {
    case SampleKind::float32:
      return load<float>(bytes);
    case SampleKind::float64:
      return static_cast<float>(load<double>(bytes));
    case SampleKind::int16:
      return static_cast<float>(load<std::int16_t>(bytes)) / 32768.0f;
    case SampleKind::int24: {
      // Little-endian, sign taken from the top byte.
      const std::int32_t value = static_cast<std::int32_t>(
          static_cast<std::uint32_t>(bytes[0]) << 8 | static_cast<std::uint32_t>(bytes[1]) << 16 |
          static_cast<std::uint32_t>(bytes[2]) << 24);
      return static_cast<float>(value) / 2147483648.0f;
    }
    case SampleKind::int32:  // 24 valid bits sit at the top of the container: the same scale
      return static_cast<float>(load<std::int32_t>(bytes)) / 2147483648.0f;
  }
  return 0;
}

std::uint32_t bytesOf(SampleKind kind) {
  switch (kind) {
    case SampleKind::int16:
      return 2;
    case SampleKind::int24:
      return 3;
    case SampleKind::float64:
      return 8;
    case SampleKind::float32:
    case SampleKind::int32:
      return 4;
  }
  return 0;
}

}  // namespace

std::optional<MixFormat> readMixFormat(const WaveFields& fields) {
  MixFormat format{fields.rate, fields.channels, SampleKind::float32, fields.blockAlign};
  if (fields.isFloat && fields.containerBits == 64)
    format.kind = SampleKind::float64;
  else if (!fields.isFloat && fields.containerBits == 16)
    format.kind = SampleKind::int16;
  else if (!fields.isFloat && fields.containerBits == 24)
    format.kind = SampleKind::int24;
  else if (!fields.isFloat && fields.containerBits == 32)
    format.kind = SampleKind::int32;
  else if (!fields.isFloat || fields.containerBits != 32)
    return std::nullopt;
  // A frame holds every channel's sample, back to back; anything else is not a layout we know.
  if (format.rate == 0 || format.channels == 0 ||
      format.blockAlign != format.channels * bytesOf(format.kind))
    return std::nullopt;
  return format;
}

MonoMixer::MonoMixer(const MixFormat& format, std::uint32_t maxFrames)
    : format_(format), interleaved_(std::size_t{maxFrames} * format.channels), mono_(maxFrames) {}

const float* MonoMixer::mix(const std::uint8_t* data, std::uint32_t frames) {
  const float* samples = interleaved_.data();
  if (format_.kind == SampleKind::float32 && reinterpret_cast<std::uintptr_t>(data) % 4 == 0) {
    samples = reinterpret_cast<const float*>(data);
  } else {
    const std::uint32_t step = bytesOf(format_.kind);
    for (std::size_t i = 0; i < std::size_t{frames} * format_.channels; ++i)
      interleaved_[i] = sampleAt(format_.kind, data + i * step);
  }
  mixToMono(samples, frames, format_.channels, mono_.data());
  return mono_.data();
}

}  // namespace zarn::platform::wasapi
