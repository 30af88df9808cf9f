// The hand-over from the capture thread to the delivering thread: one writer, one reader, no
// lock, storage made once. The writer never waits: what does not fit is dropped and counted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zarn::platform::wasapi {

class SampleRing {
 public:
  explicit SampleRing(std::size_t capacity) : samples_(capacity) {}

  // Writer: the samples, or `count` zeros when `samples` is null. Returns how many fitted.
  std::size_t write(const float* samples, std::size_t count);
  // Reader: up to `count` samples into `out`; returns how many.
  std::size_t read(float* out, std::size_t count);

  // Reader: how many samples wait.
  std::size_t waiting() const {
    return static_cast<std::size_t>(written_.load(std::memory_order_acquire) -
                                    read_.load(std::memory_order_relaxed));
  }
  std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  std::vector<float> samples_;
  std::atomic<std::uint64_t> written_{0};  // totals; their difference is what waits
  std::atomic<std::uint64_t> read_{0};
  std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace zarn::platform::wasapi
