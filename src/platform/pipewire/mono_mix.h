// Turning what the output's monitor delivers into what the parent gets: mono, in pieces no longer
// than a frame may carry.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zarn::platform::pipewire {

// Averages each frame of `channels` interleaved samples into one: sound in every channel keeps
// its level, sound in one of two channels arrives at half.
void averageChannels(const float* interleaved, std::size_t frames, std::uint32_t channels,
                     float* mono);

// The quantum to ask for at `rate`: the graph runs at powers of two, so the smallest one that
// holds 10 ms; a frame then never carries more than 20 ms.
std::uint32_t latencyFrames(std::uint32_t rate);

}  // namespace zarn::platform::pipewire
