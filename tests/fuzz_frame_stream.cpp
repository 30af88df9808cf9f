// libFuzzer target for the frame-stream reader. The input's first byte picks a split size; the
// rest is fed in pieces and must give exactly what feeding it whole gives: same frames, same error,
// same end-of-stream verdict. Every C frame is decoded and its samples touched.
#include <algorithm>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "frame_stream.h"

using namespace zarn::tools;

namespace {

// A small bound so that the fuzzer can reach both sides of it.
constexpr std::size_t kMaxPayload = 4096;

void drain(FrameStreamReader& reader, std::vector<Frame>& frames) {
  while (auto frame = reader.next()) {
    if (frame->payload.size() > kMaxPayload) std::abort();
    if (frame->type == 'C') {
      const auto chunk = decodeChunk(frame->payload);  // the recorder takes it as certain
      if (!chunk) std::abort();
      // Reading every sample byte lets the address sanitizer vouch for the view.
      volatile unsigned sum = 0;
      for (std::uint8_t b : chunk->samples) sum = sum + b;
    }
    frames.push_back(std::move(*frame));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = data[0] % 17;  // 0: pieces of 0, 1 and 2 bytes in turn
  const std::span<const std::uint8_t> stream(data + 1, size - 1);
  FrameStreamReader whole(kMaxPayload), pieces(kMaxPayload);
  std::vector<Frame> expected, got;
  whole.feed(stream);
  drain(whole, expected);
  for (std::size_t pos = 0, turn = 0, n = 0; pos < stream.size(); pos += n) {
    n = std::min(stream.size() - pos, step == 0 ? turn++ % 3 : step);
    pieces.feed(stream.subspan(pos, n));
    drain(pieces, got);
  }
  if (got != expected || pieces.error() != whole.error() || pieces.finish() != whole.finish()) {
    std::abort();
  }
  return 0;
}
