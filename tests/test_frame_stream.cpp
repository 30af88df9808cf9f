// The parent's frame-stream reader: framing across arbitrary splits, the C header, and every way a
// stream can be malformed or cut.
#include "frame_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace zarn::parent {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes frameBytes(std::uint8_t type, const Bytes& payload) {
  Bytes out{type};
  const auto n = static_cast<std::uint32_t>(payload.size());
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(n >> shift));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes header(std::uint8_t type, std::uint32_t length) {
  return {type, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
}

Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes chunkPayload(const Bytes& head, std::size_t sampleBytes) {
  Bytes out = head;
  for (std::size_t i = 0; i < sampleBytes; ++i) out.push_back(static_cast<std::uint8_t>(i * 7));
  return out;
}

std::vector<Frame> drain(FrameStreamReader& reader) {
  std::vector<Frame> frames;
  while (auto frame = reader.next()) frames.push_back(std::move(*frame));
  return frames;
}

// A realistic session: running, a pong, audio, an error text with a two-byte character, audio.
Bytes session() {
  Bytes all;
  auto add = [&](const Bytes& b) { all.insert(all.end(), b.begin(), b.end()); };
  add(frameBytes('R', {}));
  add(frameBytes('O', {}));
  add(frameBytes('C', chunkPayload({0x80, 0xBB, 0, 0, 1, 32, 1, 0}, 1024)));
  add(frameBytes('E', text("stream stopped with error: caf\xc3\xa9")));
  add(frameBytes('C', chunkPayload({0x44, 0xAC, 0, 0, 2, 16, 0, 0}, 300)));
  return all;
}

TEST(FrameStreamReader, WholeStreamAtOnceGivesFramesInOrder) {
  FrameStreamReader reader;
  const Bytes all = session();
  ASSERT_TRUE(reader.feed(all));
  const auto frames = drain(reader);
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[0].type, 'R');
  EXPECT_TRUE(frames[0].payload.empty());
  EXPECT_EQ(frames[1].type, 'O');
  EXPECT_EQ(frames[2].type, 'C');
  EXPECT_EQ(frames[2].payload.size(), 1032u);
  EXPECT_EQ(frames[3].type, 'E');
  EXPECT_EQ(std::string(frames[3].payload.begin(), frames[3].payload.end()),
            "stream stopped with error: caf\xc3\xa9");
  EXPECT_EQ(frames[4].payload.size(), 308u);
  EXPECT_EQ(reader.finish(), "");
  EXPECT_FALSE(reader.failed());
}

TEST(FrameStreamReader, AnySplitGivesTheSameFrames) {
  const Bytes all = session();
  FrameStreamReader whole;
  whole.feed(all);
  const auto expected = drain(whole);

  // One byte at a time, then random splits including empty feeds.
  std::mt19937 rng(1234);
  for (int round = 0; round < 50; ++round) {
    FrameStreamReader reader;
    std::vector<Frame> got;
    std::size_t pos = 0;
    while (pos < all.size()) {
      std::size_t n = round == 0 ? 1 : std::uniform_int_distribution<std::size_t>(0, 40)(rng);
      n = std::min(n, all.size() - pos);
      ASSERT_TRUE(reader.feed(std::span(all).subspan(pos, n)));
      pos += n;
      for (auto f = reader.next(); f; f = reader.next()) got.push_back(std::move(*f));
    }
    ASSERT_EQ(got.size(), expected.size()) << "round " << round;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].type, expected[i].type);
      EXPECT_EQ(got[i].payload, expected[i].payload);
    }
    EXPECT_EQ(reader.finish(), "");
  }
}

TEST(FrameStreamReader, UnknownTypeIsAProtocolErrorAndLaterBytesAreIgnored) {
  // Command letters and lower case are not frame types.
  for (std::uint8_t type :
       {std::uint8_t{'A'}, std::uint8_t{'c'}, std::uint8_t{0}, std::uint8_t{0xFF}}) {
    FrameStreamReader reader;
    Bytes all = frameBytes('O', {});
    const Bytes bad = frameBytes(type, {});
    all.insert(all.end(), bad.begin(), bad.end());
    EXPECT_FALSE(reader.feed(all));
    EXPECT_TRUE(reader.failed());
    EXPECT_NE(reader.error().find("unknown frame type"), std::string::npos) << reader.error();
    // The frame before the fault is still delivered, nothing after it.
    auto first = reader.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->type, 'O');
    EXPECT_FALSE(reader.feed(frameBytes('O', {})));
    EXPECT_FALSE(reader.next());
    EXPECT_EQ(reader.finish(), reader.error());
  }
  FrameStreamReader reader;
  reader.feed(header('Z', 0));
  EXPECT_NE(reader.error().find("'Z'"), std::string::npos) << reader.error();
}

TEST(FrameStreamReader, LengthAboveTheLimitFailsAsSoonAsTheHeaderArrives) {
  FrameStreamReader reader;
  // Only the header: no payload needs to arrive for the lie to be caught.
  EXPECT_FALSE(reader.feed(header('C', 0xFFFFFFFFu)));
  EXPECT_NE(reader.error().find("4294967295"), std::string::npos) << reader.error();

  FrameStreamReader atDefault;
  EXPECT_FALSE(atDefault.feed(header('E', FrameStreamReader::kDefaultMaxPayload + 1)));

  // The limit itself is allowed.
  FrameStreamReader small(16);
  ASSERT_TRUE(small.feed(frameBytes('E', Bytes(16, 'x'))));
  EXPECT_EQ(small.next()->payload.size(), 16u);
  EXPECT_FALSE(small.feed(frameBytes('E', Bytes(17, 'x'))));
}

TEST(FrameStreamReader, ChunkShorterThanItsHeaderIsAProtocolError) {
  for (std::uint32_t length : {0u, 1u, 7u}) {
    FrameStreamReader reader;
    EXPECT_FALSE(reader.feed(header('C', length))) << length;
    EXPECT_NE(reader.error().find("8-byte header"), std::string::npos) << reader.error();
  }
  // Other types may be short or empty.
  FrameStreamReader reader;
  EXPECT_TRUE(reader.feed(frameBytes('E', {})));
}

TEST(FrameStreamReader, ChunkOfOnlyAHeaderIsValidAndHasNoSamples) {
  FrameStreamReader reader;
  ASSERT_TRUE(reader.feed(frameBytes('C', {0x80, 0xBB, 0, 0, 1, 32, 1, 0})));
  auto frame = reader.next();
  ASSERT_TRUE(frame);
  auto chunk = decodeChunk(frame->payload);
  ASSERT_TRUE(chunk);
  EXPECT_TRUE(chunk->samples.empty());
}

TEST(FrameStreamReader, StreamCutInsideAFrameIsReported) {
  FrameStreamReader inHeader;
  inHeader.feed(frameBytes('R', {}));
  inHeader.feed(Bytes{'C', 0x10});
  EXPECT_FALSE(inHeader.failed());
  EXPECT_NE(inHeader.finish().find("header: 2 of 5"), std::string::npos) << inHeader.finish();

  FrameStreamReader inPayload;
  Bytes frame = frameBytes('C', chunkPayload({0x80, 0xBB, 0, 0, 1, 32, 1, 0}, 100));
  frame.resize(frame.size() - 40);
  inPayload.feed(frame);
  EXPECT_FALSE(inPayload.next());
  EXPECT_NE(inPayload.finish().find("68 of 108"), std::string::npos) << inPayload.finish();
}

TEST(DecodeChunk, ReadsTheHeaderLittleEndian) {
  const Bytes payload = chunkPayload({0x80, 0xBB, 0, 0, 1, 32, 1, 0}, 16);
  auto chunk = decodeChunk(payload);
  ASSERT_TRUE(chunk);
  EXPECT_EQ(chunk->format.sampleRate, 48000u);
  EXPECT_EQ(chunk->format.channels, 1);
  EXPECT_EQ(chunk->format.bitsPerChannel, 32);
  EXPECT_TRUE(chunk->format.isFloat);

  const Bytes other = chunkPayload({0x44, 0xAC, 0, 0, 2, 16, 0, 0}, 4);
  chunk = decodeChunk(other);
  ASSERT_TRUE(chunk);
  EXPECT_EQ(chunk->format.sampleRate, 44100u);
  EXPECT_EQ(chunk->format.channels, 2);
  EXPECT_EQ(chunk->format.bitsPerChannel, 16);
  EXPECT_FALSE(chunk->format.isFloat);

  // All four bytes of the rate count.
  const Bytes high = chunkPayload({0x01, 0x02, 0x03, 0x84, 1, 32, 1, 0}, 0);
  EXPECT_EQ(decodeChunk(high)->format.sampleRate, 0x84030201u);
}

TEST(DecodeChunk, SamplesAreAViewAndShortPayloadsAreRejected) {
  const Bytes payload = chunkPayload({0x80, 0xBB, 0, 0, 1, 32, 1, 0}, 12);
  auto chunk = decodeChunk(payload);
  ASSERT_TRUE(chunk);
  EXPECT_EQ(chunk->samples.data(), payload.data() + 8);
  EXPECT_EQ(chunk->samples.size(), 12u);

  EXPECT_FALSE(decodeChunk({}));
  const Bytes seven{0x80, 0xBB, 0, 0, 1, 32, 1};
  EXPECT_FALSE(decodeChunk(seven));
}

}  // namespace
}  // namespace zarn::parent
