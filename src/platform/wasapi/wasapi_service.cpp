#include "platform/wasapi/wasapi_service.h"

#include <utility>

namespace zarn::platform::wasapi {
namespace {

constexpr const char* kNoOutputText = "no sound output to capture";

}  // namespace

WasapiService::WasapiService(std::unique_ptr<Endpoints> endpoints)
    : endpoints_(std::move(endpoints)) {
  control_.async([this] {
    endpoints_->enterThread(false);
    (void)endpoints_->watch(*this);  // without notifications, a failing stream still moves on
  });
}

WasapiService::~WasapiService() {
  // A failure the capture posts while it closes finds no capture any more.
  control_.sync([this] { capture_.reset(); });
}

void WasapiService::start(AudioSink& sink, StartDone done) {
  post({.event = Event::start, .sink = &sink, .startDone = std::move(done)});
}

void WasapiService::stop(StopDone done) {
  post({.event = Event::stop, .stopDone = std::move(done)});
}

void WasapiService::defaultChanged(const std::string& id) {
  post({.event = Event::defaultChanged, .id = id});
}

void WasapiService::endpointGone(const std::string& id) {
  post({.event = Event::endpointLost, .id = id});
}

void WasapiService::post(Input input) {
  control_.async([this, input = std::move(input)]() mutable { driver_.raise(std::move(input)); });
}

// Notifications about other endpoints, a default that is the one captured, and failures of a
// capture already closed are no events for the machine.
bool WasapiService::concernsUs(const Input& input) const {
  switch (input.event) {
    case Event::defaultChanged:
      return input.id != capturedId_ || capturedId_.empty();
    case Event::endpointLost:
      return !capturedId_.empty() && (input.id == capturedId_ || input.generation == generation_);
    case Event::streamFailed:
      return input.generation == generation_;
    default:
      return true;
  }
}

// An input that is no event for the machine leaves it as it is.
Decision<Phase> WasapiService::decide(Phase phase, Input& input) {
  if (!concernsUs(input)) return {phase, 0};
  // A stream that fails after its endpoint went away has lost the endpoint, whatever code it
  // fails with: the parent must not hear of it while another output can be captured.
  if (input.event == Event::streamFailed && !endpoints_->active(capturedId_))
    input.event = Event::endpointLost;
  if (input.event == Event::start && phase == Phase::idle) {
    sink_ = input.sink;
    startDone_ = std::move(input.startDone);
  }
  return nextStep(phase, input.event);
}

// The event an open gives is handled once these actions are done.
void WasapiService::carryOut(std::uint32_t actions, Input& why) {
  if (actions & closeStream) closeCapture();
  if (actions & openDefault) driver_.raise(openCapture());
  if (actions & completeStart) std::exchange(startDone_, nullptr)(std::nullopt);
  if (actions & failStart) std::exchange(startDone_, nullptr)(StartFailure{reason(why)});
  if (actions & reportLoss) sink_->stopped(reason(why));
  if ((actions & completeStop) && why.stopDone) why.stopDone();
  if ((actions & refuseStart) && why.startDone)
    why.startDone(StartFailure{"capture was started already"});
}

WasapiService::Input WasapiService::openCapture() {
  std::unique_ptr<LoopbackStream> stream;
  std::string id;
  const Hresult result = endpoints_->openDefault(stream, id);
  if (result == kNotFound) return {.event = Event::noEndpoint};
  if (failed(result) || !stream) return {.event = Event::openFailed, .result = result};
  const std::uint64_t generation = ++generation_;
  const auto onFailure = [this, generation](Hresult failure) {
    post({.event = failure == kDeviceInvalidated ? Event::endpointLost : Event::streamFailed,
          .result = failure,
          .generation = generation});
  };
  const bool continues = lastEnd_ && stream->format().rate == lastRate_;
  capturedId_ = id;
  capture_ = std::make_unique<LoopbackCapture>(*endpoints_, std::move(stream), *sink_, onFailure,
                                               continues ? lastEnd_ : std::nullopt);
  return {.event = Event::opened};
}

void WasapiService::closeCapture() {
  if (!capture_) return;
  // Moving on to another endpoint, what the last one captured still goes to the parent.
  lastEnd_ = capture_->close(driver_.phase() == Phase::moving);
  lastRate_ = capture_->rate();
  capture_.reset();
  capturedId_.clear();
}

std::string WasapiService::reason(const Input& why) {
  switch (why.event) {
    case Event::noEndpoint:
      return kNoOutputText;
    case Event::stop:
      return "capture was stopped before it started";
    default:
      return endpoints_->describe(why.result);
  }
}

}  // namespace zarn::platform::wasapi
