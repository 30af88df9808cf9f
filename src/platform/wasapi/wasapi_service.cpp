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
  control_.async([this, input = std::move(input)]() mutable { handle(std::move(input)); });
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

void WasapiService::handle(Input input) {
  for (std::optional<Input> next = std::move(input); next;) {
    Input current = std::move(*next);
    next.reset();
    if (!concernsUs(current)) continue;
    // A stream that fails after its endpoint went away has lost the endpoint, whatever code it
    // fails with: the parent must not hear of it while another output can be captured.
    if (current.event == Event::streamFailed && !endpoints_->active(capturedId_))
      current.event = Event::endpointLost;
    if (current.event == Event::start && phase_ == Phase::idle) {
      sink_ = current.sink;
      startDone_ = std::move(current.startDone);
    }
    const Step step = nextStep(phase_, current.event);
    phase_ = step.next;
    next = carryOut(step.actions, current);
  }
}

// Returns the event an open gives, which is handled next.
std::optional<WasapiService::Input> WasapiService::carryOut(std::uint32_t actions, Input& why) {
  std::optional<Input> result;
  if (actions & closeStream) closeCapture();
  if (actions & openDefault) result = openCapture();
  if (actions & completeStart) std::exchange(startDone_, nullptr)(std::nullopt);
  if (actions & failStart) std::exchange(startDone_, nullptr)(StartFailure{reason(why)});
  if (actions & reportLoss) sink_->stopped(reason(why));
  if ((actions & completeStop) && why.stopDone) why.stopDone();
  if ((actions & refuseStart) && why.startDone)
    why.startDone(StartFailure{"capture was started already"});
  return result;
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
  lastEnd_ = capture_->close(phase_ == Phase::moving);
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
