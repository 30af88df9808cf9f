// The latency the native stream asks the graph for.
#pragma once

#include <cstdint>

namespace zarn::platform::pipewire {

// The quantum to ask for at `rate`: the graph runs at powers of two, so the smallest one that
// holds 10 ms; a delivery then never carries more than 20 ms.
std::uint32_t latencyFrames(std::uint32_t rate);

}  // namespace zarn::platform::pipewire
