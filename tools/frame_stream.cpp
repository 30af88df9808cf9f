#include "frame_stream.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace zarn::tools {
namespace {

// A declared length is only a promise: memory is reserved for at most this much before the bytes
// actually arrive, so a lying header cannot make us allocate megabytes up front.
constexpr std::size_t kInitialReserve = 64u << 10;

bool isKnownType(std::uint8_t type) {
  return type == kFrameError || type == kFramePong || type == kFrameRunning || type == kFrameChunk;
}

std::string describeType(std::uint8_t type) {
  char text[32];
  if (type >= 0x20 && type < 0x7f) {
    std::snprintf(text, sizeof text, "0x%02X ('%c')", type, type);
  } else {
    std::snprintf(text, sizeof text, "0x%02X", type);
  }
  return text;
}

}  // namespace

std::optional<Chunk> decodeChunk(std::span<const std::uint8_t> payload) {
  if (payload.size() < kChunkHeaderSize) return std::nullopt;
  Chunk chunk;
  chunk.format.sampleRate = getLe32(payload.data());
  chunk.format.channels = payload[4];
  chunk.format.bitsPerChannel = payload[5];
  chunk.format.isFloat = payload[6] != 0;
  chunk.samples = payload.subspan(kChunkHeaderSize);
  return chunk;
}

FrameStreamReader::FrameStreamReader(std::size_t maxPayload) : maxPayload_(maxPayload) {}

void FrameStreamReader::fail(std::string message) {
  error_ = "protocol error: " + std::move(message);
  current_ = Frame{};
  inPayload_ = false;
  headerFill_ = 0;
}

bool FrameStreamReader::feed(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty() && !failed()) {
    if (!inPayload_) {
      const std::size_t take = std::min(bytes.size(), sizeof header_ - headerFill_);
      std::copy_n(bytes.begin(), take, header_ + headerFill_);
      headerFill_ += take;
      bytes = bytes.subspan(take);
      if (headerFill_ < sizeof header_) break;

      headerFill_ = 0;
      const std::uint8_t type = header_[0];
      const std::uint32_t length = getLe32(header_ + 1);
      if (!isKnownType(type)) {
        fail("unknown frame type " + describeType(type));
        break;
      }
      if (length > maxPayload_) {
        fail("frame " + describeType(type) + " declares " + std::to_string(length) +
             " payload bytes, more than the limit of " + std::to_string(maxPayload_));
        break;
      }
      if (type == kFrameChunk && length < kChunkHeaderSize) {
        fail("audio chunk payload of " + std::to_string(length) +
             " bytes is shorter than its 8-byte header");
        break;
      }
      current_ = Frame{type, {}};
      expected_ = length;
      if (expected_ == 0) {
        ready_.push_back(std::move(current_));
        current_ = Frame{};
        continue;
      }
      current_.payload.reserve(std::min(expected_, kInitialReserve));
      inPayload_ = true;
    }

    const std::size_t take = std::min(bytes.size(), expected_ - current_.payload.size());
    current_.payload.insert(current_.payload.end(), bytes.begin(), bytes.begin() + take);
    bytes = bytes.subspan(take);
    if (current_.payload.size() == expected_) {
      ready_.push_back(std::move(current_));
      current_ = Frame{};
      inPayload_ = false;
    }
  }
  return !failed();
}

std::optional<Frame> FrameStreamReader::next() {
  if (ready_.empty()) return std::nullopt;
  Frame frame = std::move(ready_.front());
  ready_.pop_front();
  return frame;
}

std::string FrameStreamReader::finish() const {
  if (failed()) return error_;
  if (inPayload_) {
    return "stream cut inside a frame " + describeType(current_.type) + ": " +
           std::to_string(current_.payload.size()) + " of " + std::to_string(expected_) +
           " payload bytes arrived";
  }
  if (headerFill_ > 0) {
    return "stream cut inside a frame header: " + std::to_string(headerFill_) +
           " of 5 bytes arrived";
  }
  return {};
}

}  // namespace zarn::tools
