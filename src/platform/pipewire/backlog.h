// The audio between PipeWire's real-time thread and the thread that hands it to the core. The
// real-time thread only mixes into it and never waits for the parent; a parent that stops reading
// for a while finds what was captured meanwhile, up to the capacity, as a server's buffer would
// keep it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace zarn::platform::pipewire {

class Backlog {
 public:
  // `capacity` mono samples, reserved but not touched until audio fills them.
  explicit Backlog(std::size_t capacity) : capacity_(capacity), samples_(new float[capacity]) {}

  // The real-time thread: `frames` interleaved frames, averaged to mono. What does not fit is
  // dropped. Samples at another rate replace what is still waiting, which cannot be told apart.
  void append(const float* interleaved, std::size_t frames, std::uint32_t channels,
              std::uint32_t rate);
  // Waits for samples and moves up to `most` into `out`, never more than 20 ms of them; 0 once
  // closed. `rate` is theirs.
  std::size_t take(float* out, std::size_t most, std::uint32_t& rate);
  void close();
  bool empty() {
    std::lock_guard<std::mutex> hold(access_);
    return read_ == write_;
  }
  // Nothing waits and the taker has finished with its last piece (it asks for the next): what
  // comes now may go to the parent directly without overtaking anything.
  bool quiet() {
    std::lock_guard<std::mutex> hold(access_);
    return read_ == write_ && !pieceOut_;
  }

 private:
  const std::size_t capacity_;
  const std::unique_ptr<float[]> samples_;
  std::mutex access_;
  std::condition_variable filled_;
  // Waiting samples are [read_, write_). Both go back to the start whenever everything was taken,
  // so a parent that keeps up only ever touches the first few pages.
  std::size_t read_ = 0, write_ = 0;
  std::uint32_t rate_ = 0;
  bool closed_ = false;
  bool pieceOut_ = false;  // take() returned a piece and has not been called again
};

}  // namespace zarn::platform::pipewire
