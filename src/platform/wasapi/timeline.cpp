#include "platform/wasapi/timeline.h"

#include <algorithm>

namespace zarn::platform::wasapi {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;

std::uint32_t clampFrames(std::uint64_t frames) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, UINT32_MAX));
}

}  // namespace

std::uint64_t Timeline::framesToTicks(std::uint64_t frames) const {
  return frames * kTicksPerSecond / rate_;
}

std::uint64_t Timeline::ticksToFrames(std::uint64_t ticks) const {
  return ticks * rate_ / kTicksPerSecond;
}

Placement Timeline::place(std::uint64_t position, std::uint64_t capturedAt, std::uint32_t frames,
                          bool discontinuous, std::uint64_t arrivedAt) {
  Placement placement;
  // On the device's own count, a packet that follows the last one needs no clock: the two clocks'
  // jitter would only invent gaps and overlaps.
  const bool continues = followsOn_ && position == nextPosition_ && !discontinuous;
  if (started_ && !continues) {
    if (capturedAt > end_) {
      placement.zerosBefore = clampFrames(ticksToFrames(capturedAt - end_));
    } else {
      placement.skipFrames = std::min(clampFrames(ticksToFrames(end_ - capturedAt)), frames);
    }
  }
  started_ = followsOn_ = true;
  nextPosition_ = position + frames;
  lastArrival_ = arrivedAt;
  // The packet's own time anchors the end again, so the two clocks never drift apart.
  const std::uint64_t packetEnd = capturedAt + framesToTicks(frames);
  end_ = continues || placement.zerosBefore > 0 ? packetEnd : std::max(end_, packetEnd);
  return placement;
}

std::uint32_t Timeline::fillQuiet(std::uint64_t now) {
  if (!started_) {  // silence from the very start: the stream begins now
    // Held back like any silence, so a first packet captured just before now is not cut.
    started_ = true;
    end_ = now - kHoldBack;
    lastArrival_ = now;
    return 0;
  }
  if (now < lastArrival_ + kQuietAfter || now < end_ + kHoldBack) return 0;
  const std::uint64_t frames = ticksToFrames(now - kHoldBack - end_);
  end_ += framesToTicks(frames);
  followsOn_ = false;  // what comes next is placed by the clock
  return clampFrames(frames);
}

}  // namespace zarn::platform::wasapi
