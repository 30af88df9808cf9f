// The audio service over ScreenCaptureKit: capture of the system's audio is a screen stream of the
// first display with audio on and the picture made as small and rare as the platform allows. The
// flow is plain C++ over ScreenCaptureApi, so the scripted twin plays it on every platform.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "audio_service.h"
#include "platform/screencapturekit/screen_capture_api.h"

namespace zarn::platform {

class ScreenAudioService final : public AudioService, public StreamDelegate {
 public:
  // The api outlives this service.
  explicit ScreenAudioService(ScreenCaptureApi& api) : api_(api) {}
  ScreenAudioService(const ScreenAudioService&) = delete;
  ScreenAudioService& operator=(const ScreenAudioService&) = delete;
  ~ScreenAudioService() = default;

  // The content query, the first display, its filter, the stream, the audio output, the start.
  void start(AudioSink& sink, StartDone done) override;
  // Stops the running stream; without one, completes at once (on a task of its own).
  void stop(StopDone done) override;

  // The sample buffer's checks; its first audio buffer goes to the sink as one block.
  void streamDidOutputSampleBuffer(Stream& stream, SampleBuffer& sampleBuffer,
                                   OutputType type) override;
  void streamDidStopWithError(Stream& stream, const Error& error) override;

 private:
  void startWith(ShareableContent& content, StartDone done);
  // Drops the stream that did not start, then says why.
  void failStart(const StartDone& done, const ErrorPtr& error);
  // Drops the stream on a task of its own, then runs `then` there.
  void dropStream(std::function<void()> then);

  ScreenCaptureApi& api_;
  std::atomic<AudioSink*> sink_{nullptr};  // set by start, before any stream exists
  // The stream from when it is made; `running_` once its start completed. The mutex covers only
  // these accesses, never a platform call.
  std::mutex streamAccess_;
  std::shared_ptr<Stream> stream_;
  bool running_ = false;
};

}  // namespace zarn::platform
