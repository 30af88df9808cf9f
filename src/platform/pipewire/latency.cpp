#include "platform/pipewire/latency.h"

namespace zarn::platform::pipewire {

std::uint32_t latencyFrames(std::uint32_t rate) {
  const std::uint32_t tenMilliseconds = rate / 100;
  std::uint32_t frames = 1;
  while (frames < tenMilliseconds && frames < (1u << 16)) frames <<= 1;
  return frames;
}

}  // namespace zarn::platform::pipewire
