// The capture stream's start and stop, and the stream's error callback.
#include <string>
#include <utility>

#include "capture_object.h"
#include "frames.h"
#include "platform/task.h"

namespace zarn {

using platform::ErrorPtr;

namespace {

// The completion only hands its result over; the task goes on on its own thread. Shared, so a
// completion that comes after the waiter has gone still finds something to write to.
template <class T>
T await(const std::function<void(std::function<void(T)>)>& operation) {
  auto completion = std::make_shared<platform::Completion<T>>();
  operation([completion](T value) { completion->complete(std::move(value)); });
  return completion->wait();
}

}  // namespace

void SysAudioCapture::start() {
  using Content = std::shared_ptr<platform::ShareableContent>;
  auto [content, queryError] = await<std::pair<Content, ErrorPtr>>([this](auto done) {
    service_.getShareableContent(false, true, [done](Content content, ErrorPtr error) {
      done({std::move(content), std::move(error)});
    });
  });
  if (!content) return reportStartFailure(queryError);

  auto displays = service_.displays(*content);
  if (displays.empty()) return sendError("no displays available");
  auto filter = service_.makeContentFilter(*displays.front());

  platform::StreamConfiguration configuration;
  configuration.capturesAudio = true;
  configuration.channelCount = 1;
  configuration.excludesCurrentProcessAudio = true;
  configuration.width = 2;
  configuration.height = 2;
  configuration.minimumFrameInterval = {1, 1};
  configuration.showsCursor = false;

  // Dropped unstored and unstopped if anything below fails.
  std::shared_ptr<platform::Stream> stream = service_.makeStream(*filter, configuration, *this);
  ErrorPtr error;
  if (!service_.addStreamOutput(*stream, *this, platform::OutputType::audio,
                                platform::SampleHandlerQueue::globalUserInitiated, error)) {
    return reportStartFailure(error);
  }
  error = await<ErrorPtr>([&](auto done) { service_.startCapture(*stream, done); });
  if (error) return reportStartFailure(error);

  {
    std::lock_guard<std::mutex> hold(streamAccess_);
    stream_ = std::move(stream);
  }
  writeFrame(kFrameRunning);
}

void SysAudioCapture::reportStartFailure(const ErrorPtr& error) {
  // A query that brings neither content nor an error is a failure with nothing to describe.
  sendError("start failed: " + (error ? service_.localizedDescription(*error) : std::string()));
}

void SysAudioCapture::stop() {
  std::shared_ptr<platform::Stream> stream;
  {
    std::lock_guard<std::mutex> hold(streamAccess_);
    stream = stream_;
  }
  if (!stream) return;
  // An error from stopping is dropped: the process is going away either way.
  (void)await<ErrorPtr>([&](auto done) { service_.stopCapture(*stream, done); });
  std::lock_guard<std::mutex> hold(streamAccess_);
  stream_.reset();  // the local reference keeps the object until after the lock is released
}

void SysAudioCapture::streamDidStopWithError(platform::Stream&, const platform::Error& error) {
  sendError("stream stopped with error: " + service_.localizedDescription(error));
}

}  // namespace zarn
