// Keeps the captured audio continuous on the endpoint's clock. Windows sends no loopback packets
// while nothing plays, so the stream is filled with zeros for the time that passed, and each
// packet that does not follow the last one on the device's position is placed at the time the
// endpoint says it was captured: a gap before it becomes zeros, and what would overlap audio
// already sent is dropped. Times are in 100-ns units of the clock that GetBuffer's
// performance-counter position uses; all of it runs on the capture thread.
#pragma once

#include <cstdint>

namespace zarn::platform::wasapi {

struct Placement {
  std::uint32_t zerosBefore = 0;  // silence to send before the packet
  std::uint32_t skipFrames = 0;   // frames at the packet's start already covered
};

class Timeline {
 public:
  // How long no packet may come before silence is filled in, and how far behind the clock the
  // filled silence stays, so that a packet captured just before it arrived still finds its place.
  static constexpr std::uint64_t kQuietAfter = 300'000;  // 30 ms
  static constexpr std::uint64_t kHoldBack = 300'000;

  explicit Timeline(std::uint32_t rate) : rate_(rate) {}

  // Continues from the end of an earlier stream at the same rate, so a move to another endpoint
  // leaves no gap either.
  void continueFrom(std::uint64_t end) { end_ = end, started_ = true; }

  // A packet of `frames` at `position` on the device's own count, captured at `capturedAt`.
  // `discontinuous`: the endpoint says it is not the continuation of the last one.
  Placement place(std::uint64_t position, std::uint64_t capturedAt, std::uint32_t frames,
                  bool discontinuous, std::uint64_t arrivedAt);

  // Zeros to send now, when no packet has come since the last call.
  std::uint32_t fillQuiet(std::uint64_t now);

  // Where the audio sent so far ends.
  std::uint64_t end() const { return end_; }

 private:
  std::uint64_t framesToTicks(std::uint64_t frames) const;
  std::uint64_t ticksToFrames(std::uint64_t ticks) const;

  std::uint32_t rate_;
  bool started_ = false;
  std::uint64_t end_ = 0;           // the time where the audio sent so far ends
  std::uint64_t lastArrival_ = 0;   // when the last packet arrived
  std::uint64_t nextPosition_ = 0;  // the device position that would continue the last packet
  bool followsOn_ = false;          // a packet at nextPosition_ continues what was sent
};

}  // namespace zarn::platform::wasapi
