// The helper's standard output as the program writes it and parents read it: frames of a type
// byte, the payload length (unsigned 32-bit, little-endian) and the payload; a C payload starts
// with an 8-byte format header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zarn {

inline constexpr std::uint8_t kFrameError = 'E';
inline constexpr std::uint8_t kFramePong = 'O';
inline constexpr std::uint8_t kFrameRunning = 'R';
inline constexpr std::uint8_t kFrameChunk = 'C';

inline constexpr std::size_t kFrameHeaderSize = 5;
// Sample rate (u32 LE), channels, bits per channel, 1 if floating point, a zero byte.
inline constexpr std::size_t kChunkHeaderSize = 8;

constexpr void putLe32(std::uint8_t* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

constexpr std::uint32_t getLe32(const std::uint8_t* in) {
  return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 |
         std::uint32_t{in[3]} << 24;
}

constexpr std::array<std::uint8_t, kFrameHeaderSize> frameHeader(std::uint8_t type,
                                                                 std::uint32_t length) {
  std::array<std::uint8_t, kFrameHeaderSize> header{type};
  putLe32(header.data() + 1, length);
  return header;
}

}  // namespace zarn
