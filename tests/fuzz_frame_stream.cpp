// libFuzzer target for the frame-stream reader. The input's first byte picks a split size; the
// rest is fed in pieces and must give exactly what feeding it whole gives: same frames, same error,
// same end-of-stream verdict. Every C frame is decoded and its samples touched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "frame_stream.h"

using zarn::tools::decodeChunk;
using zarn::tools::Frame;
using zarn::tools::FrameStreamReader;

namespace {

// A small bound so that the fuzzer can reach both sides of it.
constexpr std::size_t kMaxPayload = 4096;

void check(bool condition) {
  if (!condition) std::abort();
}

std::vector<Frame> drain(FrameStreamReader& reader) {
  std::vector<Frame> frames;
  while (auto frame = reader.next()) {
    if (frame->type == 'C') {
      auto chunk = decodeChunk(frame->payload);
      check(chunk.has_value());
      check(chunk->samples.size() + 8 == frame->payload.size());
      check(chunk->samples.data() == frame->payload.data() + 8);
      // Reading every sample byte lets the address sanitizer vouch for the view.
      volatile unsigned sum = 0;
      for (std::uint8_t b : chunk->samples) sum = sum + b;
    }
    check(frame->payload.size() <= kMaxPayload);
    frames.push_back(std::move(*frame));
  }
  return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = data[0] % 17;  // 0 mixes in empty feeds
  std::span<const std::uint8_t> stream(data + 1, size - 1);

  FrameStreamReader whole(kMaxPayload);
  whole.feed(stream);
  const auto expected = drain(whole);

  FrameStreamReader pieces(kMaxPayload);
  std::vector<Frame> got;
  std::size_t pos = 0;
  std::size_t turn = 0;
  while (pos < stream.size()) {
    const std::size_t n = std::min(stream.size() - pos, step == 0 ? (turn++ % 3) : step);
    pieces.feed(stream.subspan(pos, n));
    pos += n;
    auto more = drain(pieces);
    got.insert(got.end(), std::make_move_iterator(more.begin()),
               std::make_move_iterator(more.end()));
  }

  check(got.size() == expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    check(got[i].type == expected[i].type);
    check(got[i].payload == expected[i].payload);
  }
  check(pieces.failed() == whole.failed());
  check(pieces.error() == whole.error());
  check(pieces.finish() == whole.finish());
  return 0;
}
