// The audio between the thread that captures it (PipeWire's real-time thread, libpulse's main
// loop) and the thread that hands it to the core. One producer and one consumer, no lock: the
// producer never waits for the consumer, which may be blocked on a parent that stopped reading.
//
// A bipartite ring of records (a rate, a count, that many mono samples). A record never wraps:
// the producer goes on at the start when the end is full, and also whenever nothing waits, so a
// consumer that keeps up keeps the ring within its first pages, and memory is only touched as far
// as a stall fills it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zarn::platform::linux_audio {

class MonoRing {
 public:
  // `slots` floats of address space, mapped lazily.
  explicit MonoRing(std::size_t slots);
  MonoRing(const MonoRing&) = delete;
  MonoRing& operator=(const MonoRing&) = delete;
  ~MonoRing();

  // The producer: mixes `frames` interleaved frames to mono and appends them as one record.
  // False, with nothing appended, when they do not fit or `limit` samples already wait.
  // Never allocates, locks or makes a system call.
  bool append(const float* interleaved, std::size_t frames, std::uint32_t channels,
              std::uint32_t rate, std::size_t limit) noexcept;

  // The consumer: moves up to `most` samples of one rate into `out`, never more than 20 ms of
  // them; 0 when nothing waits. `rate` is theirs.
  std::size_t take(float* out, std::size_t most, std::uint32_t& rate) noexcept;
  bool empty() const noexcept {
    return read_.load(std::memory_order_relaxed) == write_.load(std::memory_order_acquire);
  }  // the same position and parity
  // The producer's view: all it appended has been taken (and what took it is seen).
  bool drained() const noexcept {
    return read_.load(std::memory_order_acquire) == write_.load(std::memory_order_relaxed);
  }

 private:
  static constexpr std::size_t kHeader = 2;  // the rate and the count, in float slots
  // A position and the parity of the wraps so far: the producer's wraps, the consumer's jumps
  // back to the start. They differ while the consumer still reads the end that the producer has
  // left; each side publishes its pair in one atomic.
  static constexpr std::uint64_t kParity = std::uint64_t{1} << 63;

  void putHeader(std::size_t at, std::uint32_t rate, std::uint32_t count) noexcept;
  void getHeader(std::size_t at, std::uint32_t& rate, std::uint32_t& count) const noexcept;

  const std::size_t slots_;
  float* const memory_;
  std::atomic<std::uint64_t> write_{0};  // the producer's: where the next record goes
  std::atomic<std::size_t> end_{0};      // the producer's: where it left the end, at its last wrap
  std::atomic<std::uint64_t> read_{0};   // the consumer's: the next record to read
};

}  // namespace zarn::platform::linux_audio
