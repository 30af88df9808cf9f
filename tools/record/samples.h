// The helper's sample bytes as the floats the file writer and resampler take.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frame_stream.h"

namespace zarn::record {

// "48000 Hz, 1 ch, float32"
std::string describeFormat(const tools::ChunkFormat& format);

// Why a format cannot be recorded, or none when it can. Integer samples are signed, except 8-bit
// ones, which by long custom are unsigned.
std::optional<std::string> unsupportedFormat(const tools::ChunkFormat& format);

// Bytes per interleaved frame (all channels of one instant) of a supported format.
std::size_t bytesPerFrame(const tools::ChunkFormat& format);

// Appends the samples (native byte order, as the helper sends them) as floats in [-1, 1]. The
// format must be supported and the byte count a whole number of frames.
void appendAsFloat(const tools::ChunkFormat& format, std::span<const std::uint8_t> bytes,
                   std::vector<float>& out);

// Counts the samples beyond full scale (and any that are not numbers), and brings them into
// range: clipped to [-1, 1] when `clip`, else only what is not finite (a NaN becomes 0).
std::uint64_t limitToFullScale(std::span<float> samples, bool clip);

}  // namespace zarn::record
