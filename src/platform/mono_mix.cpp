#include "platform/mono_mix.h"

namespace zarn::platform {

void mixToMono(const float* interleaved, std::size_t frames, std::uint32_t channels, float* mono) {
  const float scale = 1.0f / static_cast<float>(channels);
  for (std::size_t frame = 0; frame < frames; ++frame, interleaved += channels) {
    float sum = 0;
    for (std::uint32_t channel = 0; channel < channels; ++channel) sum += interleaved[channel];
    mono[frame] = sum * scale;
  }
}

}  // namespace zarn::platform
