// The one mix to mono of the Linux services: the parent gets one channel whatever the output has.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zarn::platform::linux_audio {

// Averages each frame of `channels` interleaved samples into one: sound in every channel keeps
// its level, sound in one of two channels arrives at half, and the mix never exceeds the loudest
// channel.
void averageChannels(const float* interleaved, std::size_t frames, std::uint32_t channels,
                     float* mono);

}  // namespace zarn::platform::linux_audio
