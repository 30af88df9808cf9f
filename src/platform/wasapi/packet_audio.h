// The endpoint's mix format and its packets as mono 32-bit floats. Windows' shared mode mixes in
// 32-bit float in practice, but a driver may report integer PCM, so every PCM layout WASAPI can
// describe is converted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace zarn::platform::wasapi {

enum class SampleKind { float32, float64, int16, int24, int32 };

struct MixFormat {
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
  SampleKind kind = SampleKind::float32;
  std::uint32_t blockAlign = 0;  // bytes per frame
};

// The fields of a WAVEFORMATEX (and of its extensible form) that say how samples are laid out.
struct WaveFields {
  bool isFloat = false;  // IEEE float, by format tag or subformat; otherwise integer PCM
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
  std::uint32_t containerBits = 0;  // wBitsPerSample
  std::uint32_t blockAlign = 0;
};

// The format, or nullopt for one this program cannot read.
std::optional<MixFormat> readMixFormat(const WaveFields& fields);

// Turns packets of one format into mono floats, in buffers made once for the largest packet,
// so the capture thread never allocates.
class MonoMixer {
 public:
  MonoMixer(const MixFormat& format, std::uint32_t maxFrames);

  // The packet's frames in mono; valid until the next call. `frames` at most maxFrames.
  const float* mix(const std::uint8_t* data, std::uint32_t frames);

 private:
  MixFormat format_;
  std::vector<float> interleaved_;
  std::vector<float> mono_;
};

}  // namespace zarn::platform::wasapi
