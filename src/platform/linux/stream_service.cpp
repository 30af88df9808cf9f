#include "platform/linux/stream_service.h"

#include <utility>

#include "platform/task.h"

namespace zarn::platform::linux_audio {

void StreamService::start(AudioSink& sink, StartDone done) {
  launchTask([this, &sink, done = std::move(done)]() mutable {
    Opened opened = open(sink);
    if (const auto* error = std::get_if<std::string>(&opened)) return done(StartFailure{*error});
    std::shared_ptr<CaptureStream> stream = std::get<0>(std::move(opened));
    bool stopped = false;
    {
      std::lock_guard<std::mutex> hold(access_);
      stopped = stopped_;
      if (!stopped) stream_ = stream;
    }
    if (stopped) return;  // stopped meanwhile: dropped here, and start never completes
    stream->start([this, done = std::move(done)](std::optional<std::string> error) {
      if (!error) return done(std::nullopt);
      drop([done, failure = StartFailure{*error}] { done(failure); });
    });
  });
}

void StreamService::stop(StopDone done) {
  std::shared_ptr<CaptureStream> stream;
  {
    std::lock_guard<std::mutex> hold(access_);
    stopped_ = true;
    stream = stream_;
  }
  if (!stream) return launchTask(std::move(done));
  stream->stop([this, done = std::move(done)] { drop(done); });
}

void StreamService::drop(std::function<void()> then) {
  std::shared_ptr<CaptureStream> dropped;
  {
    std::lock_guard<std::mutex> hold(access_);
    dropped = std::move(stream_);
  }
  launchTask([dropped = std::move(dropped), then = std::move(then)]() mutable {
    dropped.reset();
    then();
  });
}

}  // namespace zarn::platform::linux_audio
