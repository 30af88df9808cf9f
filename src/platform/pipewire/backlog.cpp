#include "platform/pipewire/backlog.h"

#include <algorithm>
#include <cstring>

#include "platform/pipewire/mono_mix.h"

namespace zarn::platform::pipewire {

void Backlog::append(const float* interleaved, std::size_t frames, std::uint32_t channels,
                     std::uint32_t rate) {
  {
    std::lock_guard<std::mutex> hold(access_);
    if (rate != rate_) read_ = write_ = 0;
    rate_ = rate;
    if (write_ + frames > capacity_ && read_ > 0) {
      // Only when the parent has fallen behind: the waiting samples move to the front.
      std::memmove(samples_.get(), samples_.get() + read_, (write_ - read_) * sizeof(float));
      write_ -= read_;
      read_ = 0;
    }
    frames = std::min(frames, capacity_ - write_);
    averageChannels(interleaved, frames, channels, samples_.get() + write_);
    write_ += frames;
  }
  filled_.notify_one();
}

std::size_t Backlog::take(float* out, std::size_t most, std::uint32_t& rate) {
  std::unique_lock<std::mutex> hold(access_);
  pieceOut_ = false;
  filled_.wait(hold, [this] { return closed_ || read_ < write_; });
  if (closed_) return 0;
  pieceOut_ = true;
  const std::size_t piece = std::max<std::size_t>(rate_ / 50, 1);
  const std::size_t count = std::min({most, piece, write_ - read_});
  std::memcpy(out, samples_.get() + read_, count * sizeof(float));
  read_ += count;
  if (read_ == write_) read_ = write_ = 0;
  rate = rate_;
  return count;
}

void Backlog::close() {
  {
    std::lock_guard<std::mutex> hold(access_);
    closed_ = true;
  }
  filled_.notify_all();
}

}  // namespace zarn::platform::pipewire
