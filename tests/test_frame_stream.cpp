// The parent's frame-stream reader: framing across arbitrary splits, the C header, and every way a
// stream can be malformed or cut.
#include "frame_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

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

const Bytes kHead48k{0x80, 0xBB, 0, 0, 1, 32, 1, 0};  // 48000 Hz, 1 ch, 32 bits, float

Bytes chunkPayload(Bytes out, std::size_t sampleBytes) {
  for (std::size_t i = 0; i < sampleBytes; ++i) out.push_back(static_cast<std::uint8_t>(i * 7));
  return out;
}

Bytes encode(const std::vector<Frame>& frames) {
  Bytes out;
  for (const Frame& f : frames) std::ranges::copy(frame(f.type, f.payload), back_inserter(out));
  return out;
}

TEST(FrameStreamReader, OneByteAtATimeOrAllAtOnceGivesTheSameFrames) {
  const std::string text = "stream stopped with error: caf\xc3\xa9";
  const std::vector<Frame> sent{{'R', {}},
                                {'O', {}},
                                {'C', chunkPayload(kHead48k, 1024)},
                                {'E', Bytes(text.begin(), text.end())},
                                {'C', chunkPayload({0x01, 0x02, 0x03, 0x84, 2, 16, 0, 0}, 300)}};
  const Bytes all = encode(sent);
  // One byte at a time, then all at once; other splits are the fuzzer's (fuzz_frame_stream).
  for (const std::size_t step : {std::size_t{1}, all.size()}) {
    FrameStreamReader reader;
    std::vector<Frame> got;
    for (std::size_t pos = 0; pos < all.size(); pos += step) {
      ASSERT_TRUE(reader.feed(std::span(all).subspan(pos, std::min(step, all.size() - pos))));
      while (auto f = reader.next()) got.push_back(std::move(*f));
    }
    EXPECT_EQ(encode(got), all) << "step " << step;
    EXPECT_EQ(reader.finish(), "");
    // All four bytes of the rate, least significant first. (Real rates and widths show in
    // test_transcripts, which decodes real output.)
    const auto chunk = decodeChunk(got.at(4).payload);
    EXPECT_EQ(chunk.value().format, (ChunkFormat{0x84030201u, 2, 16, false}));
    EXPECT_EQ(chunk->samples.size(), 300u);
  }
}

// A protocol error stops the stream where it is: the frames before it are still delivered,
// nothing after it. A stream cut inside a frame is told apart from one that ends between frames.
TEST(FrameStreamReader, MalformedOrCutStreamsAreReportedAfterTheFramesBeforeThem) {
  const Bytes whole = frame('C', chunkPayload(kHead48k, 100));
  const std::pair<Bytes, const char*> cases[] = {
      {frame('A', {}), "unknown frame type 0x41 ('A')"},  // command letters are not frame types
      {frame(0xFF, {}), "unknown frame type 0xFF"},
      {frame('C', {}, 0xFFFFFFFFu), "declares 4294967295"},  // on the header, before any payload
      {frame('E', {}, FrameStreamReader::kDefaultMaxPayload + 1), "more than the limit"},
      {frame('C', {}), "8-byte header"},
      {frame('C', {1, 2, 3, 4, 5, 6, 7}), "8-byte header"},
      {{'C', 0x10}, "stream cut inside a frame header: 2 of 5"},
      {Bytes(whole.begin(), whole.end() - 40), "stream cut inside a frame 0x43 ('C'): 68 of 108"},
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
