// The process's capture service on Linux, chosen in this one place: PipeWire's own protocol when
// a PipeWire daemon answers, the libpulse service otherwise (PulseAudio). The choice needs the
// server, so it is made in the first content query, on a thread of its own, and holds for that
// query and every later call; start-up never waits for it.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/pipewire/connection.h"
#include "platform/pipewire/pipewire_service.h"
#include "platform/pulse/pulse_service.h"
#include "platform/screencapturekit/screen_audio_service.h"
#include "platform/screencapturekit/screen_capture_api.h"
#include "platform/system_audio_service.h"

namespace zarn::platform {
namespace {

// A daemon that accepts the connection but does not answer one round trip in this time is not
// one to record from.
constexpr std::chrono::milliseconds kProbeBound{1000};

class LinuxService final : public ScreenCaptureApi {
 public:
  void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override {
    std::thread([=, this, done = std::move(completion)]() mutable {
      std::call_once(decided_, [this] {
        std::string ignored;
        std::shared_ptr<pipewire::Connection> found =
            pipewire::Connection::open(kProbeBound, ignored);
        chosen_.store(found ? static_cast<ScreenCaptureApi*>(&pipewire_) : &pulse_);
        if (found) pipewire_.adopt(std::move(found));  // the query below uses it
      });
      chosen().getShareableContent(excludeDesktopWindows, onScreenWindowsOnly, std::move(done));
    }).detach();
  }

  // Everything else comes after a content query has answered, so the choice is made.
  std::vector<std::shared_ptr<Display>> displays(ShareableContent& content) override {
    return chosen().displays(content);
  }
  std::shared_ptr<ContentFilter> makeContentFilter(Display& display) override {
    return chosen().makeContentFilter(display);
  }
  std::shared_ptr<Stream> makeStream(ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     StreamDelegate& delegate) override {
    return chosen().makeStream(filter, configuration, delegate);
  }
  bool addStreamOutput(Stream& stream, StreamDelegate& output, OutputType type,
                       SampleHandlerQueue queue, ErrorPtr& error) override {
    return chosen().addStreamOutput(stream, output, type, queue, error);
  }
  void startCapture(Stream& stream, ErrorCompletion completion) override {
    chosen().startCapture(stream, std::move(completion));
  }
  void stopCapture(Stream& stream, ErrorCompletion completion) override {
    chosen().stopCapture(stream, std::move(completion));
  }
  std::string localizedDescription(const Error& error) override {
    return chosen().localizedDescription(error);
  }
  bool sampleBufferIsValid(SampleBuffer& buffer) override {
    return chosen().sampleBufferIsValid(buffer);
  }
  bool sampleBufferDataIsReady(SampleBuffer& buffer) override {
    return chosen().sampleBufferDataIsReady(buffer);
  }
  const FormatDescription* sampleBufferFormatDescription(SampleBuffer& buffer) override {
    return chosen().sampleBufferFormatDescription(buffer);
  }
  bool streamBasicDescription(const FormatDescription& format,
                              StreamDescription& description) override {
    return chosen().streamBasicDescription(format, description);
  }
  std::int32_t audioBufferListWithRetainedBlockBuffer(SampleBuffer& buffer, OneBufferList& list,
                                                      BlockBuffer*& retainedBlock) override {
    return chosen().audioBufferListWithRetainedBlockBuffer(buffer, list, retainedBlock);
  }
  void releaseBlockBuffer(BlockBuffer* block) override { chosen().releaseBlockBuffer(block); }

 private:
  ScreenCaptureApi& chosen() { return *chosen_.load(std::memory_order_acquire); }

  std::once_flag decided_;
  std::atomic<ScreenCaptureApi*> chosen_{nullptr};
  pulse::PulseService pulse_;
  pipewire::PipeWireService pipewire_;
};

}  // namespace

// Until the Linux services speak audio themselves, the screen flow drives them.
AudioService& systemAudioService() {
  static AudioService* const service =
      new ScreenAudioService(*new LinuxService);  // never destroyed
  return *service;
}

}  // namespace zarn::platform
