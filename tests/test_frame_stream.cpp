// The parent's frame-stream reader: the golden transcripts in docs/transcripts/ fed whole, a byte
// at a time and in random pieces, the C header, and every way a stream can be malformed or cut.
// (That the transcripts are the helper's real output is checked by the transcripts_current test.)
#include "frame_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

namespace zarn::tools {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A frame header declaring `length` (default: the payload's size), then the payload.
Bytes frame(std::uint8_t type, const Bytes& payload, std::optional<std::uint32_t> length = {}) {
  const std::uint32_t n = length.value_or(static_cast<std::uint32_t>(payload.size()));
  Bytes out{type, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// Feeds `out` in pieces of `pieceSize()` bytes; returns the frames it gives, written out again.
Bytes replay(const Bytes& out, const std::function<std::size_t()>& pieceSize) {
  FrameStreamReader reader;
  Bytes written;
  for (std::size_t pos = 0, n; pos < out.size(); pos += n) {
    n = std::min(pieceSize(), out.size() - pos);
    EXPECT_TRUE(reader.feed(std::span(out).subspan(pos, n))) << reader.error();
    while (auto f = reader.next())
      std::ranges::copy(frame(f->type, f->payload), back_inserter(written));
  }
  EXPECT_EQ(reader.finish(), "");
  return written;
}

TEST(FrameStreamReader, EveryTranscriptGivesItsFramesHoweverItIsSplit) {
  std::mt19937 rng(20);
  std::uniform_int_distribution<std::size_t> randomSize(0, 9000);
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(ZARN_TRANSCRIPTS_DIR)) {
    const auto& path = entry.path();
    if (path.extension() != ".out") continue;
    SCOPED_TRACE(path.stem().string());
    ++count;
    std::ifstream in(path, std::ios::binary);
    const Bytes out(std::istreambuf_iterator<char>(in), {});
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(replay(out, [&] { return out.size(); }) == out);
    EXPECT_TRUE(replay(out, [] { return std::size_t{1}; }) == out);
    EXPECT_TRUE(replay(out, [&] { return randomSize(rng); }) == out);
  }
  EXPECT_GE(count, 10u) << "transcripts missing in " << ZARN_TRANSCRIPTS_DIR;
  // All four bytes of the rate, least significant first; flags without bit 0: not float.
  Bytes odd{0x01, 0x02, 0x03, 0x84, 2, 16, 0, 0};
  odd.resize(odd.size() + 300, 0x5A);
  const auto chunk = decodeChunk(odd);
  EXPECT_EQ(chunk.value().format, (ChunkFormat{0x84030201u, 2, 16, false}));
  EXPECT_EQ(chunk->samples.size(), 300u);
}

// A protocol error stops the stream where it is: the frames before it are still delivered,
// nothing after it. A stream cut inside a frame is told apart from one that ends between frames.
TEST(FrameStreamReader, MalformedOrCutStreamsAreReportedAfterTheFramesBeforeThem) {
  const Bytes whole = frame('C', Bytes(40, 1));
  const std::pair<Bytes, const char*> cases[] = {
      {frame('A', {}), "unknown frame type 0x41 ('A')"},  // command letters are not frame types
      {frame(0xFF, {}), "unknown frame type 0xFF"},
      {frame('C', {}, 0xFFFFFFFFu), "declares 4294967295"},  // on the header, before any payload
      {frame('E', {}, FrameStreamReader::kDefaultMaxPayload + 1), "more than the limit"},
      {frame('C', {}), "8-byte header"},
      {frame('C', {1, 2, 3, 4, 5, 6, 7}), "8-byte header"},
      {{'C', 0x10}, "stream cut inside a frame header: 2 of 5"},
      {Bytes(whole.begin(), whole.end() - 10), "stream cut inside a frame 0x43 ('C'): 30 of 40"},
  };
  for (const auto& [bad, mention] : cases) {
    FrameStreamReader reader;
    Bytes all = frame('O', {});  // in the same feed as the fault
    all.insert(all.end(), bad.begin(), bad.end());
    const bool cut = std::string_view(mention).starts_with("stream cut");  // else an error
    EXPECT_EQ(reader.feed(all), cut);
    EXPECT_NE(reader.finish().find(mention), std::string::npos) << reader.finish();
    EXPECT_EQ(reader.next().value_or(Frame{}).type, 'O');
    EXPECT_EQ(reader.feed(frame('O', {})), cut);
    EXPECT_FALSE(reader.next()) << mention;
  }
  // The limit itself is allowed.
  FrameStreamReader small(16);
  ASSERT_TRUE(small.feed(frame('E', Bytes(16, 'x'))));
  EXPECT_EQ(small.next().value_or(Frame{}).payload.size(), 16u);
  EXPECT_FALSE(small.feed(frame('E', Bytes(17, 'x'))));
}

}  // namespace
}  // namespace zarn::tools
