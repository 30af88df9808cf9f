// The capture object's arm state, its start and stop, and a stop with an error.
#include "sys_audio_capture.h"

#include <memory>
#include <optional>
#include <utility>

#include "frames.h"
#include "platform/task.h"

namespace zarn {

void SysAudioCapture::setArmed(bool armed) {
  armQueue_.sync([this, armed] {
    armed_ = armed;
    forwarding_.store(armed, std::memory_order_release);
  });
}

void SysAudioCapture::arm() {
  setArmed(true);
}

void SysAudioCapture::disarm() {
  setArmed(false);
}

bool SysAudioCapture::readArmed() {
  bool value = false;
  armQueue_.sync([this, &value] { value = armed_; });
  return value;
}

void SysAudioCapture::start() {
  // Shared, so a completion that comes after the waiter has gone still has somewhere to write.
  using Outcome = std::optional<StartFailure>;
  auto outcome = std::make_shared<platform::Completion<Outcome>>();
  service_.start(*this, [outcome](Outcome failure) { outcome->complete(std::move(failure)); });
  if (const Outcome failure = outcome->wait()) {
    return sendError(failure->complete ? failure->text : "start failed: " + failure->text);
  }
  {
    std::lock_guard<std::mutex> hold(runningAccess_);
    running_ = true;
  }
  writeFrame(kFrameRunning);
}

void SysAudioCapture::stop() {
  {
    std::lock_guard<std::mutex> hold(runningAccess_);
    if (!running_) return;
  }
  auto stopped = std::make_shared<platform::Completion<bool>>();
  service_.stop([stopped] { stopped->complete(true); });
  (void)stopped->wait();
  std::lock_guard<std::mutex> hold(runningAccess_);
  running_ = false;
}

void SysAudioCapture::stopped(const std::string& text) {
  sendError("stream stopped with error: " + text);
}

}  // namespace zarn
