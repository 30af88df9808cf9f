#include "platform/wasapi/sample_ring.h"

#include <algorithm>
#include <cstring>

namespace zarn::platform::wasapi {

std::size_t SampleRing::write(const float* samples, std::size_t count) {
  const std::uint64_t written = written_.load(std::memory_order_relaxed);
  const std::uint64_t free = samples_.size() - (written - read_.load(std::memory_order_acquire));
  const std::size_t fits = static_cast<std::size_t>(std::min<std::uint64_t>(count, free));
  for (std::size_t done = 0; done < fits;) {
    const std::size_t at = static_cast<std::size_t>((written + done) % samples_.size());
    const std::size_t piece = std::min(fits - done, samples_.size() - at);
    if (samples)
      std::memcpy(&samples_[at], samples + done, piece * sizeof(float));
    else
      std::fill_n(&samples_[at], piece, 0.0f);
    done += piece;
  }
  written_.store(written + fits, std::memory_order_release);
  if (fits < count) dropped_.fetch_add(count - fits, std::memory_order_relaxed);
  return fits;
}

std::size_t SampleRing::read(float* out, std::size_t count) {
  const std::uint64_t taken = read_.load(std::memory_order_relaxed);
  const std::uint64_t waiting = written_.load(std::memory_order_acquire) - taken;
  const std::size_t got = static_cast<std::size_t>(std::min<std::uint64_t>(count, waiting));
  for (std::size_t done = 0; done < got;) {
    const std::size_t at = static_cast<std::size_t>((taken + done) % samples_.size());
    const std::size_t piece = std::min(got - done, samples_.size() - at);
    std::memcpy(out + done, &samples_[at], piece * sizeof(float));
    done += piece;
  }
  read_.store(taken + got, std::memory_order_release);
  return got;
}

}  // namespace zarn::platform::wasapi
