// The delivering thread of a Linux capture: the capturing thread pushes audio into a MonoRing and
// wakes this thread at most once; this thread hands the audio to the core one piece (at most
// 20 ms) at a time, and may block there on a parent that stopped reading. What comes meanwhile
// waits in the ring: up to kBacklogSeconds at any rate up to kHighestRate, after which new audio
// is dropped. Memory: kRingSlots floats of address space (8 MB), touched only as far as a stall
// fills it.
//
// While nothing waits and this thread is idle, the capturing thread may hand a block on itself
// through `now` (AudioSink::deliverNow: at once or not at all), which spares waking this thread
// for every server cycle; what `now` refuses goes through the ring.
//
// The loss of a capture is told after the audio captured before it: reportAfterDrain() lets
// this thread deliver what waits and then report, so no audio ever follows the report.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "platform/linux/mono_ring.h"

namespace zarn::platform::linux_audio {

inline constexpr std::size_t kBacklogSeconds = 10;
inline constexpr std::size_t kHighestRate = 192000;
inline constexpr std::size_t kRingSlots = kBacklogSeconds * kHighestRate * 105 / 100;

class Delivery {
 public:
  using Deliver = std::function<void(std::span<const float> mono, std::uint32_t rate)>;
  using Report = std::function<void(const std::string& reason)>;
  // Never waits; false when it did not hand the block on.
  using DeliverNow = std::function<bool(std::span<const float> mono, std::uint32_t rate)>;
  // Most frames a block handed on at once may have (the mix is on the capturing thread's stack).
  static constexpr std::size_t kNowMost = 1024;

  // `taken` runs on the delivering thread between taking a piece and delivering it (tests hold
  // the thread there).
  Delivery(Deliver deliver, Report report, std::function<void()> taken = {}, DeliverNow now = {});
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;
  // Only after finish() returned true.
  ~Delivery();

  // The capturing thread, a real-time one included: hands the block on at once where it may (see
  // above), else mixes it to mono into the ring and wakes the delivering thread if it sleeps.
  // Never waits, locks (stdoutLock is only tried) or allocates. Its system calls: a write that
  // cannot block, and when that one is refused or not allowed, the one wake-up.
  void push(const float* interleaved, std::size_t frames, std::uint32_t channels,
            std::uint32_t rate) noexcept;

  // Any thread. Once the waiting audio is delivered, the report runs (once, and only if no halt
  // came first) and the thread ends. Nothing pushed after this call is delivered.
  void reportAfterDrain(const std::string& reason);
  // No delivery or report begins after these, and no block goes out at once (one under way is
  // waited out: a mix and a write that cannot block). True when a delivery is under way now /
  // true once none is.
  bool halt();
  bool haltAndSettle(std::chrono::milliseconds bound);
  // After a halt: ends the thread. False when a delivery is stuck on the parent: the thread is
  // then left to the process's end, and with it this object and all a delivery reaches.
  bool finish();

 private:
  void run();
  bool begin();
  void end();
  void wake() noexcept;
  void sleep();
  bool handOnNow(const float* interleaved, std::size_t frames, std::uint32_t channels,
                 std::uint32_t rate) noexcept;
  void settleNow() const;

  const Deliver deliver_;
  const Report report_;
  const std::function<void()> taken_;
  const DeliverNow now_;
  MonoRing ring_{kRingSlots};
  const int wakeFd_;
  std::atomic<bool> sleeping_{false};
  std::atomic<bool> ending_{false};     // a report waits for the ring to drain, or a halt came
  std::atomic<bool> carrying_{false};   // this thread may hold a piece taken from the ring
  std::atomic<bool> handingOn_{false};  // the capturing thread is inside now_

  std::mutex gate_;
  std::condition_variable settled_;
  bool halted_ = false;     // under gate_
  int inside_ = 0;          // deliveries and reports under way; under gate_
  std::string reason_;      // under gate_
  bool reportDue_ = false;  // under gate_
  bool detached_ = false;   // the owner's thread only

  std::thread thread_;  // last: it uses everything above
};

}  // namespace zarn::platform::linux_audio
