#include "platform/linux/mono_ring.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "platform/mono_mix.h"

namespace zarn::platform::linux_audio {

MonoRing::MonoRing(std::size_t slots)
    : slots_(slots),
      memory_(static_cast<float*>(::mmap(nullptr, slots * sizeof(float), PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0))) {
  if (memory_ == MAP_FAILED) throw std::bad_alloc();
}

MonoRing::~MonoRing() {
  ::munmap(memory_, slots_ * sizeof(float));
}

void MonoRing::putHeader(std::size_t at, std::uint32_t rate, std::uint32_t count) noexcept {
  memory_[at] = std::bit_cast<float>(rate);
  memory_[at + 1] = std::bit_cast<float>(count);
}

void MonoRing::getHeader(std::size_t at, std::uint32_t& rate, std::uint32_t& count) const noexcept {
  rate = std::bit_cast<std::uint32_t>(memory_[at]);
  count = std::bit_cast<std::uint32_t>(memory_[at + 1]);
}

bool MonoRing::append(const float* interleaved, std::size_t frames, std::uint32_t channels,
                      std::uint32_t rate, std::size_t limit) noexcept {
  if (frames == 0 || channels == 0) return true;
  const std::size_t need = kHeader + frames;
  const std::uint64_t written = write_.load(std::memory_order_relaxed);
  const std::uint64_t readState = read_.load(std::memory_order_acquire);
  const std::size_t write = written & ~kParity, read = readState & ~kParity;
  const std::size_t end = end_.load(std::memory_order_relaxed);
  const bool split = (written & kParity) != (readState & kParity);  // the reader is on the end
  if ((split ? end - read + write : write - read) + frames > limit + kHeader) return false;
  bool wrap = false;
  if (split) {
    // The reader that has finished the end only has to jump back: all after write is free.
    if (write + need > (read == end ? slots_ : read)) return false;
  } else if (write == read && write > 0 && need <= slots_) {
    wrap = true;  // nothing waits: back to the start, so the first pages stay warm
  } else if (write + need > slots_) {
    if (need > read) return false;
    wrap = true;  // the end is full: on at the start, before the reader
  }
  const std::size_t at = wrap ? 0 : write;
  putHeader(at, rate, static_cast<std::uint32_t>(frames));
  mixToMono(interleaved, frames, channels, memory_ + at + kHeader);
  if (wrap) end_.store(write, std::memory_order_relaxed);
  const std::uint64_t parity = (written & kParity) ^ (wrap ? kParity : 0);
  write_.store((at + need) | parity, std::memory_order_release);
  return true;
}

std::size_t MonoRing::take(float* out, std::size_t most, std::uint32_t& rate) noexcept {
  const std::uint64_t readState = read_.load(std::memory_order_relaxed);
  const std::uint64_t written = write_.load(std::memory_order_acquire);
  const std::size_t write = written & ~kParity, end = end_.load(std::memory_order_relaxed);
  std::size_t read = readState & ~kParity;
  std::uint64_t parity = readState & kParity;
  const auto jumpAtEnd = [&] {
    if (parity != (written & kParity) && read == end) read = 0, parity = written & kParity;
  };
  std::size_t count = 0;
  for (jumpAtEnd(); count < most && (read != write || parity != (written & kParity)); jumpAtEnd()) {
    std::uint32_t recordRate = 0, recordCount = 0;
    getHeader(read, recordRate, recordCount);
    if (count > 0 && recordRate != rate) break;
    rate = recordRate;
    most = std::min(most, std::max<std::size_t>(rate / 50, 1));
    const std::size_t part = std::min<std::size_t>(recordCount, most - count);
    std::memcpy(out + count, memory_ + read + kHeader, part * sizeof(float));
    count += part;
    if (part == recordCount) {
      read += kHeader + part;
    } else {  // the rest of the record keeps a header of its own, in the consumer's space
      read += part;
      putHeader(read, recordRate, static_cast<std::uint32_t>(recordCount - part));
    }
  }
  read_.store(read | parity, std::memory_order_release);
  return count;
}

}  // namespace zarn::platform::linux_audio
