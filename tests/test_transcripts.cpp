// The parent's frame-stream reader against the golden transcripts in docs/transcripts/: each
// recorded output, fed whole, a byte at a time and in random pieces, must come out as frames that,
// written out again, are the recorded bytes: every boundary, type and payload as the helper sent
// it. (That the recordings and their .json listings are the helper's real output is checked by
// the transcripts_current test.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "frame_stream.h"

namespace zarn::tools {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Feeds `out` in pieces of `pieceSize()` bytes; returns the frames written out again.
Bytes replay(const Bytes& out, const std::function<std::size_t()>& pieceSize) {
  FrameStreamReader reader;
  Bytes written;
  for (std::size_t pos = 0; pos < out.size();) {
    const std::size_t n = std::min(pieceSize(), out.size() - pos);
    EXPECT_TRUE(reader.feed(std::span(out).subspan(pos, n))) << reader.error();
    pos += n;
    while (auto frame = reader.next()) {
      const auto size = static_cast<std::uint32_t>(frame->payload.size());
      written.push_back(frame->type);
      for (int i = 0; i < 4; ++i) written.push_back(static_cast<std::uint8_t>(size >> 8 * i));
      written.insert(written.end(), frame->payload.begin(), frame->payload.end());
    }
  }
  EXPECT_EQ(reader.finish(), "");
  return written;
}

TEST(Transcripts, EveryRecordedOutputGivesItsFramesHoweverItIsSplit) {
  std::vector<std::filesystem::path> cases;
  for (const auto& entry : std::filesystem::directory_iterator(ZARN_TRANSCRIPTS_DIR)) {
    if (entry.path().extension() == ".out") cases.push_back(entry.path());
  }
  ASSERT_GE(cases.size(), 10u) << "transcripts missing in " << ZARN_TRANSCRIPTS_DIR;
  std::mt19937 rng(20);
  std::uniform_int_distribution<std::size_t> randomSize(0, 9000);
  for (const auto& path : cases) {
    SCOPED_TRACE(path.stem().string());
    std::ifstream in(path, std::ios::binary);
    const Bytes out(std::istreambuf_iterator<char>(in), {});
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(replay(out, [&] { return out.size(); }) == out);
    EXPECT_TRUE(replay(out, [] { return std::size_t{1}; }) == out);
    EXPECT_TRUE(replay(out, [&] { return randomSize(rng); }) == out);
  }
}

}  // namespace
}  // namespace zarn::tools
