// The parent's frame-stream reader against the golden transcripts in docs/transcripts/: each
// recorded output, fed whole, a byte at a time and in random pieces, must give the frames its
// .json lists, and the frames written out again must be the recorded bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

#include "frame_stream.h"

namespace zarn::tools {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A frame's type and, for E, its text; the payloads are compared whole, as bytes.
std::string render(const Frame& frame) {
  std::string line = "type " + std::string(1, static_cast<char>(frame.type));
  if (frame.type == kFrameError)
    line += " text " + std::string(frame.payload.begin(), frame.payload.end());
  return line;
}

// The same of each frame line of a .json (the recorded texts hold nothing JSON escapes).
std::vector<std::string> expectedFrames(const fs::path& json) {
  static const std::regex frameLine(R"re(^  \{"type": "(.)"(?:, "text": "(.*)")?)re");
  std::ifstream in(json);
  std::vector<std::string> lines;
  std::smatch match;
  for (std::string line; std::getline(in, line);) {
    if (!std::regex_search(line, match, frameLine)) continue;
    lines.push_back("type " + match.str(1) + (match[2].matched ? " text " + match.str(2) : ""));
  }
  return lines;
}

struct Replayed {
  std::vector<std::string> frames;
  Bytes bytes;  // the frames written out again
};

// Feeds `out` in pieces of the sizes `pieceSize` returns.
template <class PieceSize>
Replayed replay(const Bytes& out, PieceSize pieceSize) {
  FrameStreamReader reader;
  Replayed replayed;
  for (std::size_t pos = 0; pos < out.size();) {
    const std::size_t n = std::min(pieceSize(), out.size() - pos);
    EXPECT_TRUE(reader.feed(std::span(out).subspan(pos, n))) << reader.error();
    pos += n;
    while (auto frame = reader.next()) {
      replayed.frames.push_back(render(*frame));
      const auto size = static_cast<std::uint32_t>(frame->payload.size());
      replayed.bytes.push_back(frame->type);
      for (int i = 0; i < 4; ++i)
        replayed.bytes.push_back(static_cast<std::uint8_t>(size >> 8 * i));
      replayed.bytes.insert(replayed.bytes.end(), frame->payload.begin(), frame->payload.end());
    }
  }
  EXPECT_EQ(reader.finish(), "");
  return replayed;
}

TEST(Transcripts, EveryRecordedOutputGivesItsListedFramesHoweverItIsSplit) {
  std::vector<fs::path> cases;
  for (const auto& entry : fs::directory_iterator(ZARN_TRANSCRIPTS_DIR)) {
    if (entry.path().extension() == ".out") cases.push_back(entry.path());
  }
  ASSERT_GE(cases.size(), 10u) << "transcripts missing in " << ZARN_TRANSCRIPTS_DIR;
  std::mt19937 rng(20);
  for (fs::path path : cases) {
    SCOPED_TRACE(path.stem().string());
    std::ifstream in(path, std::ios::binary);
    const Bytes out(std::istreambuf_iterator<char>(in), {});
    const auto expected = expectedFrames(path.replace_extension(".json"));
    ASSERT_FALSE(expected.empty());
    const auto whole = [&] { return out.size(); };
    const auto byte = [] { return std::size_t{1}; };
    const auto random = [&] { return std::uniform_int_distribution<std::size_t>(0, 9000)(rng); };
    for (const Replayed& replayed : {replay(out, whole), replay(out, byte), replay(out, random)}) {
      EXPECT_EQ(replayed.frames, expected);
      EXPECT_TRUE(replayed.bytes == out);
    }
  }
}

}  // namespace
}  // namespace zarn::tools
