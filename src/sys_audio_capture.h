// SysAudioCapture: the one capture object of the process. It is the audio service's sink: it
// starts and stops the service, keeps the arm state, and turns delivered audio and a stop with an
// error into frames.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "audio_service.h"
#include "platform/serial_queue.h"

namespace zarn {

class SysAudioCapture final : public AudioSink {
 public:
  // The service outlives the capture object.
  explicit SysAudioCapture(AudioService& service) : service_(service) {}

  // Each waits for the service without holding any lock and returns when its work is done.
  // Neither fails towards its caller: start reports through frames (R or one E), stop writes
  // nothing. A stop before the capture runs returns at once.
  void start();
  void stop();

  // Set or clear the arm state synchronously on armQueue, the one place it changes.
  void arm();
  void disarm();
  // The synchronous read of the arm state on armQueue.
  bool readArmed();

  // One block becomes at most one C frame: only while armed (read once), and only if its format
  // fits the header.
  void deliver(const AudioBlock& block) override;
  // The same without waiting, for a real-time thread: armed by the mirror below, and written only
  // if the frame can go out whole at once (see tryWriteFrameNow). True when it was handled.
  bool deliverNow(const AudioBlock& block) noexcept override;
  void stopped(const std::string& text) override;
  // The arm state's mirror, for a service that wants to skip blocks nobody forwards.
  bool forwarding() const noexcept override { return forwarding_.load(std::memory_order_acquire); }

 private:
  void setArmed(bool armed);

  AudioService& service_;
  // Set once start's completion said the capture runs, before R; read and cleared by stop. The
  // mutex covers only those accesses, never a wait.
  std::mutex runningAccess_;
  bool running_ = false;
  platform::SerialQueue armQueue_{"zarn.audio.arm-state"};
  bool armed_ = false;  // only touched by synchronous items on armQueue_
  // Written only inside those items, lock-free to read from any thread.
  std::atomic<bool> forwarding_{false};
};

}  // namespace zarn
