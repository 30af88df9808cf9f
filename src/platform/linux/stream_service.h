// What both Linux capture services share above their streams: the audio seam's contract, kept
// here once. A backend opens its connection and makes a stream on the system's default output; this
// starts it, stops it and drops it where the contract says.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "audio_service.h"

namespace zarn::platform::linux_audio {

// Why there is nothing to record: no output, or none with a monitor.
inline constexpr const char* kNoOutputText = "no sound output to capture";

// What every Linux stream delivers: mono 32-bit float at the output's rate.
inline AudioBlock monoBlock(std::span<const float> mono, std::uint32_t rate) {
  return {{static_cast<double>(rate), 1, 32, true},
          {reinterpret_cast<const std::uint8_t*>(mono.data()), mono.size_bytes()}};
}

// A capture stream on the default output, delivering to the sink it was made with. Each
// completion runs once, on a thread of the stream's own, never inside the call.
class CaptureStream {
 public:
  using StartDone = std::function<void(std::optional<std::string> error)>;
  using StopDone = std::function<void()>;

  virtual ~CaptureStream() = default;
  virtual void start(StartDone done) = 0;
  // Also while the start is pending, which then fails.
  virtual void stop(StopDone done) = 0;
};

// A stream made but not started, or why none could be.
using Opened = std::variant<std::shared_ptr<CaptureStream>, std::string>;

class StreamService : public AudioService {
 public:
  void start(AudioSink& sink, StartDone done) final;
  void stop(StopDone done) final;

 protected:
  ~StreamService() = default;
  // On a thread of the service's own; may block, within its bound.
  virtual Opened open(AudioSink& sink) = 0;

 private:
  // Drops the stream on a task of its own (never on one of its threads), then runs `then`.
  void drop(std::function<void()> then);

  std::mutex access_;  // covers the two below, never a call into a stream
  std::shared_ptr<CaptureStream> stream_;
  bool stopped_ = false;
};

}  // namespace zarn::platform::linux_audio
