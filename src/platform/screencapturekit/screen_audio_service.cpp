#include "platform/screencapturekit/screen_audio_service.h"

#include <cstdint>
#include <string>
#include <utility>

#include "platform/task.h"

namespace zarn::platform {
namespace {

StreamConfiguration audioOnlyConfiguration() {
  StreamConfiguration configuration;
  configuration.capturesAudio = true;
  configuration.channelCount = 1;
  configuration.excludesCurrentProcessAudio = true;
  configuration.width = 2;
  configuration.height = 2;
  configuration.minimumFrameInterval = {1, 1};
  configuration.showsCursor = false;
  return configuration;
}

AudioFormat audioFormatOf(const StreamDescription& description) {
  return {description.sampleRate, description.channelsPerFrame, description.bitsPerChannel,
          (description.formatFlags & kAudioFormatFlagIsFloat) != 0};
}

}  // namespace

void ScreenAudioService::start(AudioSink& sink, StartDone done) {
  sink_.store(&sink, std::memory_order_release);
  api_.getShareableContent(
      false, true,
      [this, done = std::move(done)](std::shared_ptr<ShareableContent> content, ErrorPtr error) {
        if (!content) return failStart(done, error);
        startWith(*content, done);
      });
}

void ScreenAudioService::startWith(ShareableContent& content, StartDone done) {
  auto displays = api_.displays(content);
  if (displays.empty()) return done(StartFailure{"no displays available", true});
  auto filter = api_.makeContentFilter(*displays.front());
  std::shared_ptr<Stream> stream = api_.makeStream(*filter, audioOnlyConfiguration(), *this);
  {
    std::lock_guard<std::mutex> hold(streamAccess_);
    stream_ = stream;
  }
  ErrorPtr error;
  if (!api_.addStreamOutput(*stream, *this, OutputType::audio,
                            SampleHandlerQueue::globalUserInitiated, error)) {
    stream.reset();
    return failStart(done, error);
  }
  Stream& starting = *stream;
  stream.reset();  // stream_ keeps it; a failed start drops it there
  api_.startCapture(starting, [this, done = std::move(done)](ErrorPtr error) {
    if (error) return failStart(done, error);
    {
      std::lock_guard<std::mutex> hold(streamAccess_);
      running_ = true;
    }
    done(std::nullopt);
  });
}

void ScreenAudioService::failStart(const StartDone& done, const ErrorPtr& error) {
  // A query that brings neither content nor an error is a failure with nothing to describe.
  StartFailure failure{error ? api_.localizedDescription(*error) : std::string()};
  dropStream([done, failure = std::move(failure)] { done(failure); });
}

void ScreenAudioService::dropStream(std::function<void()> then) {
  std::shared_ptr<Stream> dropped;
  {
    std::lock_guard<std::mutex> hold(streamAccess_);
    running_ = false;
    dropped = std::move(stream_);
  }
  // Not on the completion's thread: a service may end a stream's threads when it goes, and that
  // thread may be one of them. Gone before `then` tells anyone.
  launchTask([dropped = std::move(dropped), then = std::move(then)]() mutable {
    dropped.reset();
    then();
  });
}

void ScreenAudioService::stop(StopDone done) {
  std::shared_ptr<Stream> stream;
  {
    std::lock_guard<std::mutex> hold(streamAccess_);
    if (running_) stream = stream_;
  }
  if (!stream) return launchTask(std::move(done));
  // An error from stopping is dropped: the caller is going away either way.
  api_.stopCapture(*stream, [this, done = std::move(done)](ErrorPtr) { dropStream(done); });
}

void ScreenAudioService::streamDidOutputSampleBuffer(Stream&, SampleBuffer& sampleBuffer,
                                                     OutputType type) {
  AudioSink* sink = sink_.load(std::memory_order_acquire);
  if (type != OutputType::audio || sink == nullptr) return;
  if (!sink->forwarding()) return;  // a disarmed parent: the buffer is not even looked at
  if (!api_.sampleBufferIsValid(sampleBuffer)) return;
  if (!api_.sampleBufferDataIsReady(sampleBuffer)) return;
  // The format description follows the Get rule: dropping the pointer is all its release is.
  const FormatDescription* format = api_.sampleBufferFormatDescription(sampleBuffer);
  if (format == nullptr) return;
  StreamDescription description;
  if (!api_.streamBasicDescription(*format, description)) return;

  OneBufferList list;
  BlockBuffer* retained = nullptr;
  const std::int32_t status =
      api_.audioBufferListWithRetainedBlockBuffer(sampleBuffer, list, retained);
  // Released after the sink is done with the bytes, on every path.
  auto release = [this](BlockBuffer* block) { api_.releaseBlockBuffer(block); };
  std::unique_ptr<BlockBuffer, decltype(release)> block(retained, release);
  const AudioBuffer& samples = list.buffer;
  if (status != kNoErr || samples.data == nullptr || samples.dataByteSize == 0) return;
  sink->deliver({audioFormatOf(description),
                 {static_cast<const std::uint8_t*>(samples.data), samples.dataByteSize}});
}

void ScreenAudioService::streamDidStopWithError(Stream&, const Error& error) {
  AudioSink* sink = sink_.load(std::memory_order_acquire);
  if (sink != nullptr) sink->stopped(api_.localizedDescription(error));
}

}  // namespace zarn::platform
