// The parent's frame-stream reader against the golden transcripts in docs/transcripts/: each
// recorded output, fed whole, a byte at a time and in random pieces, must give exactly the frames
// its .json lists (rendered the same way, one frame a line).
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "frame_stream.h"

namespace zarn::tools {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// SHA-256 (FIPS 180-4), for the sample digests the transcripts list.
std::string sha256Hex(std::span<const std::uint8_t> data) {
  static constexpr std::uint32_t k[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
      0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
      0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
      0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
      0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
      0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
      0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
      0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};
  std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  Bytes message(data.begin(), data.end());
  const std::uint64_t bits = std::uint64_t{data.size()} * 8;
  message.push_back(0x80);
  while (message.size() % 64 != 56) message.push_back(0);
  for (int i = 7; i >= 0; --i) message.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  for (std::size_t block = 0; block < message.size(); block += 64) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      const std::uint8_t* p = &message[block + 4 * i];
      w[i] =
          std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
    }
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    auto v = h;  // a..h
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t t1 = v[7] + (rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25)) +
                               ((v[4] & v[5]) ^ (~v[4] & v[6])) + k[i] + w[i];
      const std::uint32_t t2 = (rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22)) +
                               ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
      std::copy_backward(v.begin(), v.end() - 1, v.end());
      v[4] += t1;
      v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i) h[i] += v[i];
  }
  std::string hex;
  for (std::uint32_t word : h) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", word);
    hex += part;
  }
  return hex;
}

// A JSON string as Python's json.dumps(..., ensure_ascii=False) writes it.
std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += {'\\', c};
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string render(const Frame& frame) {
  std::ostringstream line;
  line << "{\"type\": " << jsonString(std::string(1, static_cast<char>(frame.type)));
  if (frame.type == kFrameError) {
    line << ", \"text\": " << jsonString(std::string(frame.payload.begin(), frame.payload.end()));
  } else if (frame.type == kFrameChunk) {
    const auto chunk = decodeChunk(frame.payload);
    if (!chunk) return "C frame shorter than its header";
    line << ", \"rate\": " << chunk->format.sampleRate
         << ", \"channels\": " << int{chunk->format.channels}
         << ", \"bits\": " << int{chunk->format.bitsPerChannel}
         << ", \"float\": " << (chunk->format.isFloat ? "true" : "false")
         << ", \"bytes\": " << chunk->samples.size() << ", \"sha256\": \""
         << sha256Hex(chunk->samples) << "\"";
  } else if (!frame.payload.empty()) {
    line << ", \"payload bytes\": " << frame.payload.size();  // never in a transcript
  }
  line << "}";
  return line.str();
}

// The frame lines of a .json: those that start with two blanks and a brace.
std::vector<std::string> expectedFrames(const fs::path& json) {
  std::ifstream in(json);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("  {")) continue;
    if (line.ends_with(",")) line.pop_back();
    lines.push_back(line.substr(2));
  }
  return lines;
}

Bytes readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Feeds `out` in pieces of the sizes `pieceSize` returns and renders the frames.
template <class PieceSize>
std::vector<std::string> replay(const Bytes& out, PieceSize pieceSize) {
  FrameStreamReader reader;
  std::vector<std::string> frames;
  for (std::size_t pos = 0; pos < out.size();) {
    const std::size_t n = std::min(pieceSize(), out.size() - pos);
    EXPECT_TRUE(reader.feed(std::span(out).subspan(pos, n))) << reader.error();
    pos += n;
    while (auto frame = reader.next()) frames.push_back(render(*frame));
  }
  EXPECT_EQ(reader.finish(), "");
  return frames;
}

std::vector<fs::path> transcripts() {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(ZARN_TRANSCRIPTS_DIR)) {
    if (entry.path().extension() == ".out") found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

TEST(Transcripts, EveryRecordedOutputGivesItsListedFramesHoweverItIsSplit) {
  const auto cases = transcripts();
  ASSERT_GE(cases.size(), 10u) << "transcripts missing in " << ZARN_TRANSCRIPTS_DIR;
  std::mt19937 rng(20);
  for (const fs::path& out : cases) {
    SCOPED_TRACE(out.stem().string());
    const Bytes bytes = readAll(out);
    fs::path json = out;
    const auto expected = expectedFrames(json.replace_extension(".json"));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(replay(bytes, [&] { return bytes.size(); }), expected);
    EXPECT_EQ(replay(bytes, [] { return std::size_t{1}; }), expected);
    EXPECT_EQ(
        replay(bytes, [&] { return std::uniform_int_distribution<std::size_t>(0, 9000)(rng); }),
        expected);
  }
}

}  // namespace
}  // namespace zarn::tools
