// SysAudioCapture: the one capture object of the process. It owns the capture stream, the arm
// state and the two callbacks the stream makes: delivered audio and a stop with an error.
#pragma once

#include <memory>
#include <mutex>

#include "platform/capture_service.h"
#include "platform/serial_queue.h"

namespace zarn {

class SysAudioCapture final : public platform::StreamDelegate {
 public:
  // On the process's capture service.
  SysAudioCapture();
  explicit SysAudioCapture(platform::CaptureService& service);

  // Asynchronous operations: each runs inside a task, which waits on the platform without
  // holding any lock, and returns when its work is done. Neither fails towards its caller; start
  // reports through frames, stop writes nothing.
  void start();
  void stop();

  // Set or clear the arm state synchronously on armQueue.
  void arm();
  void disarm();
  // The synchronous read of the arm state on armQueue.
  bool readArmed();

  void streamDidOutputSampleBuffer(platform::Stream& stream, platform::SampleBuffer& sampleBuffer,
                                   platform::OutputType type) override;
  void streamDidStopWithError(platform::Stream& stream, const platform::Error& error) override;

 private:
  void reportStartFailure(const platform::ErrorPtr& error);

  platform::CaptureService& service_;
  // Written once by start, read and cleared by stop. The mutex only covers those accesses, never
  // a wait, so a stop that overlaps the end of start is not a data race.
  std::mutex streamAccess_;
  std::shared_ptr<platform::Stream> stream_;
  platform::SerialQueue armQueue_{"zarn.audio.arm-state"};
  bool armed_ = false;  // only touched by synchronous items on armQueue_
};

}  // namespace zarn
