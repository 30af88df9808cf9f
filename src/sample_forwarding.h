// The C frame's payload: an 8-byte format header, then the samples unchanged.
#pragma once

#include <cstdint>

#include "audio_service.h"
#include "wire_format.h"

namespace zarn {

// Fills the header: sample rate (truncated, u32 LE), channels, bits, float flag, a zero byte.
// False when a value does not fit its field (a rate that is not finite, <= -1 or >= 2^32, more
// than 255 channels or bits); such a block is dropped rather than described wrongly.
bool encodeChunkHeader(const AudioFormat& format, std::uint8_t header[kChunkHeaderSize]);

}  // namespace zarn
