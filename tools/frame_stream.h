// Parent-side reader of the helper's frame stream: type byte, u32 little-endian payload length,
// payload. Fed whatever bytes the pipe gives (any split), it hands back whole frames in order and
// turns anything malformed into one protocol error instead of a crash or a huge allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "wire_format.h"

namespace zarn::tools {

struct Frame {
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;

  friend bool operator==(const Frame&, const Frame&) = default;
};

struct ChunkFormat {
  std::uint32_t sampleRate = 0;
  std::uint8_t channels = 0;
  std::uint8_t bitsPerChannel = 0;
  bool isFloat = false;

  friend bool operator==(const ChunkFormat&, const ChunkFormat&) = default;
};

struct Chunk {
  ChunkFormat format;
  std::span<const std::uint8_t> samples;  // a view into the frame's payload, no copy
};

// Splits a C payload into its header and samples; nullopt when shorter than the header.
std::optional<Chunk> decodeChunk(std::span<const std::uint8_t> payload);

class FrameStreamReader {
 public:
  static constexpr std::size_t kDefaultMaxPayload = 16u << 20;

  explicit FrameStreamReader(std::size_t maxPayload = kDefaultMaxPayload);

  // Consumes bytes; returns false once the stream is in error. Bytes after an error are ignored.
  bool feed(std::span<const std::uint8_t> bytes);

  // The next whole frame, in order. Frames completed before an error are still handed out.
  std::optional<Frame> next();

  // At end of stream: "" if it ended between frames, else a description of the cut (or of the
  // protocol error, if there was one).
  std::string finish() const;

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  void fail(std::string message);

  std::size_t maxPayload_;
  std::deque<Frame> ready_;
  std::uint8_t header_[kFrameHeaderSize] = {};
  std::size_t headerFill_ = 0;
  bool inPayload_ = false;
  Frame current_;
  std::size_t expected_ = 0;
  std::string error_;
};

}  // namespace zarn::tools
