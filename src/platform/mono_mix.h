// The one mix to mono, for every service whose system delivers more channels than the parent
// gets. Written for a real-time thread: no allocation, no lock, no call out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zarn::platform {

// Averages each of `frames` frames of `channels` interleaved 32-bit float samples into one sample
// of `mono` (room for `frames`; it may be `interleaved` itself, since frame i is read before sample
// i is written). Sound in every channel keeps its level, sound in one channel of two arrives at
// half, and the mix never exceeds the loudest channel. `channels` is at least 1.
void mixToMono(const float* interleaved, std::size_t frames, std::uint32_t channels, float* mono);

}  // namespace zarn::platform
