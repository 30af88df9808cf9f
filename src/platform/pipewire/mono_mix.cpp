#include "platform/pipewire/mono_mix.h"

namespace zarn::platform::pipewire {

void averageChannels(const float* interleaved, std::size_t frames, std::uint32_t channels,
                     float* mono) {
  const float scale = 1.0f / static_cast<float>(channels);
  for (std::size_t frame = 0; frame < frames; ++frame, interleaved += channels) {
    float sum = 0;
    for (std::uint32_t channel = 0; channel < channels; ++channel) sum += interleaved[channel];
    mono[frame] = sum * scale;
  }
}

std::uint32_t latencyFrames(std::uint32_t rate) {
  const std::uint32_t tenMilliseconds = rate / 100;
  std::uint32_t frames = 1;
  while (frames < tenMilliseconds && frames < (1u << 16)) frames <<= 1;
  return frames;
}

}  // namespace zarn::platform::pipewire
