#include "platform/pulse/record_stream.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/delivery.h"
#include "platform/linux/owed_completions.h"
#include "platform/linux/stream_service.h"
#include "platform/pulse/output_query.h"
#include "platform/pulse/stream_phases.h"
#include "platform/step_driver.h"

namespace zarn::platform::pulse {
namespace {

using linux_audio::Completion;
using linux_audio::Outcome;
using linux_audio::OwedCompletions;

// The longest delivery we ask for. The server runs its processing cycle at the power of two below
// the fragment, so fragments from about 11 to 21 ms cost it the same wake-ups as a 20 ms reader;
// 13 ms stays in that band and, measured on PipeWire, reaches the parent about 5 ms sooner than
// 20 ms. Below it the server's wake-ups double.
constexpr std::uint32_t kFragmentMilliseconds = 13;
// What the server may keep for us while our main loop is busy. Audio is taken from the server as
// it comes and waits for a slow parent in our own ring (see Delivery), since the server caps what
// it keeps (4 MB, 2.7 s of a 7.1 output at 48 kHz).
constexpr std::uint32_t kServerBufferMilliseconds = 2000;
// How long a stop waits for a delivery under way (one frame being written) to return.
constexpr auto kDeliverySettle = std::chrono::milliseconds(500);
// How long a default output that names no listed output is given to settle.
constexpr pa_usec_t kDefaultSettleUsec = 250 * PA_USEC_PER_MSEC;

// Runs what is owed on the main loop thread soon: never on the caller's thread, and never inside
// a callback that is still changing the stream's state.
void runSoon(pa_mainloop_api* api, OwedCompletions& owed) {
  if (owed.empty()) return;
  pa_mainloop_api_once(
      api,
      [](pa_mainloop_api*, void* data) {
        std::unique_ptr<OwedCompletions>(static_cast<OwedCompletions*>(data))->run();
      },
      new OwedCompletions(owed.take()));
}

std::string badState() {
  return pa_strerror(PA_ERR_BADSTATE);
}

}  // namespace

class RecordStream::State final : public ConnectionListener {
 public:
  State(std::shared_ptr<Connection> connection, Output output, AudioSink& sink)
      : connection(std::move(connection)),
        sink_(sink),
        next_(std::move(output)),
        delivery_([this](std::span<const float> mono, std::uint32_t rate) { deliver(mono, rate); },
                  [this](const std::string& reason) { sink_.stopped(reason); }, {},
                  [this](std::span<const float> mono, std::uint32_t rate) {
                    return sink_.deliverNow(linux_audio::monoBlock(mono, rate));
                  }) {}

  // Any thread, without the main loop's lock: no call into the core begins after these. True
  // when one is running now (it may be blocked writing to a parent that does not read) / true
  // once none is.
  bool halt() { return delivery_.halt(); }
  bool haltAndSettle() { return delivery_.haltAndSettle(kDeliverySettle); }
  // After halt(): false when a delivery is stuck on the parent; the delivering thread, this
  // object and all it reaches are then left to the process's end.
  bool endDelivering() { return delivery_.finish(); }

  // The rest runs under the main loop's lock or on its thread.
  void start(Completion done);
  void stop(Completion done);
  void close();
  void connectionLost(const std::string& reason) override {
    apply(RecordEvent::serverLost, reason);
  }

  std::shared_ptr<Connection> connection;

 private:
  pa_context* context() const { return connection->context(); }
  pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(connection->mainloop()); }
  struct Raised {
    RecordEvent event;
    std::string reason;  // why, for a failed start or stop or a loss
  };
  friend StepDriver<State, RecordState, Raised>;
  static Decision<RecordState> decide(const RecordState& state, const Raised& raised) {
    const RecordStep step = nextRecordStep(state, raised.event);
    return {step.state, step.actions};
  }
  void apply(RecordEvent event, const std::string& reason) { driver_.raise({event, reason}); }
  void carryOut(std::uint32_t actions, const Raised& raised);
  void disconnectRecord();
  bool open(const Output& output);
  void dropRecord();
  void reportLoss(const std::string& reason);
  void query();
  void answer(bool ok, const std::string& defaultName, const std::vector<Output>& sinks);
  void waitToSettle();
  void cancelTimer();
  void deliver(std::span<const float> mono, std::uint32_t rate);

  static void onStreamState(pa_stream* stream, void* self);
  static void onRead(pa_stream* stream, std::size_t bytes, void* self);
  static void onMoved(pa_stream* stream, void* self);
  static void onEvent(pa_context*, pa_subscription_event_type_t event, std::uint32_t index,
                      void* self);
  static void onSettled(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                        void* self);

  AudioSink& sink_;

  StepDriver<State, RecordState, Raised> driver_{*this, RecordState{}};
  Completion startDone_;
  Completion stopDone_;
  Completion rejected_;          // a start or stop called in a phase that cannot take it
  pa_stream* record_ = nullptr;  // the live record stream, if any
  Output current_;               // the output record_ is on
  Output next_;                  // the output the next record stream opens on

  OutputQuery query_;
  bool queryAgain_ = false;  // the answer under way may already be out of date
  pa_time_event* settleTimer_ = nullptr;
  linux_audio::Delivery delivery_;  // last: its thread uses everything above
};

void RecordStream::State::start(Completion done) {
  if (driver_.phase().phase != RecordPhase::idle) {
    rejected_ = std::move(done);
    return apply(RecordEvent::start, badState());
  }
  startDone_ = std::move(done);
  connection->setListener(this);
  pa_context_set_subscribe_callback(context(), onEvent, this);
  const auto mask =
      static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK);
  pa_operation* subscribed = pa_context_subscribe(context(), mask, nullptr, nullptr);
  if (subscribed != nullptr) pa_operation_unref(subscribed);
  apply(RecordEvent::start, connection->lastError());
  // Silence seen before anyone listened still ends the start.
  if (connection->stoppedAnswering()) connectionLost(linux_audio::AnswerWatch::kStoppedText);
}

void RecordStream::State::stop(Completion done) {
  const bool taken =
      driver_.phase().phase != RecordPhase::stopping && driver_.phase().phase != RecordPhase::ended;
  (taken ? stopDone_ : rejected_) = std::move(done);
  apply(RecordEvent::stop, connection->ready() ? badState() : connection->lastError());
}

void RecordStream::State::close() {
  connection->setListener(nullptr);
  pa_context_set_subscribe_callback(context(), nullptr, nullptr);
  query_.cancel();
  cancelTimer();
  dropRecord();
  RecordState closed = driver_.phase();
  closed.phase = RecordPhase::ended;
  driver_.setPhase(closed);
}

// A record stream that cannot be opened ends the step: its failure is the next event.
void RecordStream::State::carryOut(std::uint32_t actions, const Raised& raised) {
  const std::string& reason = raised.reason;
  if (actions & kDropRecord) dropRecord();
  if (actions & kDisconnectRecord) disconnectRecord();
  if (actions & kOpenRecord && !open(next_)) {
    return apply(RecordEvent::recordFailed, connection->lastError());
  }
  if (actions & kQuery) query();
  if (actions & kWaitToSettle) waitToSettle();
  OwedCompletions owed;
  if (actions & kStartSucceeded) owed.owe(startDone_, std::nullopt);
  if (actions & kStartFailed) owed.owe(startDone_, reason);
  if (actions & kStopDone) owed.owe(stopDone_, std::nullopt);
  if (actions & kStopFailed) owed.owe(stopDone_, reason);
  if (actions & kRejectCall) owed.owe(rejected_, badState());
  runSoon(api(), owed);
  if (actions & kReportLoss) reportLoss(reason);
}

// The stream's end completes the stop; one that cannot be asked to end has ended already.
void RecordStream::State::disconnectRecord() {
  if (record_ != nullptr && pa_stream_get_state(record_) == PA_STREAM_READY &&
      pa_stream_disconnect(record_) == 0) {
    return;
  }
  apply(RecordEvent::recordTerminated, {});
}

bool RecordStream::State::open(const Output& output) {
  // The output's own channels, averaged here (mixToMono), so every server gives the same level.
  const auto channels = std::clamp<std::uint32_t>(output.channels, 1, PA_CHANNELS_MAX);
  const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, output.rate,
                                    static_cast<std::uint8_t>(channels)};
  pa_channel_map map;
  pa_channel_map_init_extend(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
  pa_stream* stream = pa_stream_new(context(), "system audio", &sampleFormat, &map);
  if (stream == nullptr) return false;
  pa_stream_set_state_callback(stream, onStreamState, this);
  pa_stream_set_read_callback(stream, onRead, this);
  pa_stream_set_moved_callback(stream, onMoved, this);

  pa_buffer_attr attributes;
  attributes.maxlength =
      fragmentBytes(output.rate, sampleFormat.channels, kServerBufferMilliseconds);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = fragmentBytes(output.rate, sampleFormat.channels, kFragmentMilliseconds);
  // The server must never move the stream (it could pick a microphone); following the default
  // output is done here, with a new stream.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  record_ = stream;
  current_ = output;
  if (pa_stream_connect_record(stream, output.monitorName.c_str(), &attributes, flags) < 0) {
    dropRecord();
    return false;
  }
  return true;
}

void RecordStream::State::dropRecord() {
  if (record_ == nullptr) return;
  pa_stream* stream = std::exchange(record_, nullptr);
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  pa_stream_set_moved_callback(stream, nullptr, nullptr);
  if (pa_stream_get_state(stream) == PA_STREAM_READY) pa_stream_disconnect(stream);
  pa_stream_unref(stream);
}

// After the audio taken before it; no record stream is left to bring more.
void RecordStream::State::reportLoss(const std::string& reason) {
  dropRecord();
  delivery_.reportAfterDrain(reason);
}

void RecordStream::State::query() {
  if (query_.busy()) {
    queryAgain_ = true;
    return;
  }
  const bool sent = query_.send(
      context(), [this](bool ok, const std::string& defaultName, const std::vector<Output>& sinks) {
        answer(ok, defaultName, sinks);
      });
  if (!sent) apply(RecordEvent::serverLost, connection->lastError());
}

void RecordStream::State::answer(bool ok, const std::string& defaultName,
                                 const std::vector<Output>& sinks) {
  if (!ok) return apply(RecordEvent::serverLost, connection->lastError());
  if (std::exchange(queryAgain_, false)) return query();
  std::optional<Output> alive;
  if (record_ != nullptr) alive = current_;
  const FollowStep step = nextFollowStep(sinks, defaultName, alive, driver_.phase().waited);
  if (step.kind == FollowStep::Kind::switchTo) next_ = step.output;
  apply(answerEvent(step.kind), linux_audio::kNoOutputText);
}

void RecordStream::State::waitToSettle() {
  if (settleTimer_ != nullptr) return;
  settleTimer_ =
      pa_context_rttime_new(context(), pa_rtclock_now() + kDefaultSettleUsec, onSettled, this);
}

void RecordStream::State::cancelTimer() {
  if (settleTimer_ == nullptr) return;
  api()->time_free(std::exchange(settleTimer_, nullptr));
}

void RecordStream::State::onStreamState(pa_stream* stream, void* data) {
  auto* self = static_cast<State*>(data);
  if (stream != self->record_) return;
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) return self->apply(RecordEvent::recordReady, {});
  if (state == PA_STREAM_TERMINATED) return self->apply(RecordEvent::recordTerminated, {});
  if (state != PA_STREAM_FAILED) return;
  // The context's error is the stream's; a stream that fails with its connection is the loss of
  // the server.
  const std::string reason = self->connection->lastError();
  const bool serverGone = !self->connection->ready();
  self->apply(serverGone ? RecordEvent::serverLost : RecordEvent::recordFailed, reason);
}

// The main loop thread takes each fragment as it comes and never waits for the parent: the
// delivering thread does that.
void RecordStream::State::onRead(pa_stream* stream, std::size_t, void* data) {
  auto* self = static_cast<State*>(data);
  const pa_sample_spec* format = pa_stream_get_sample_spec(stream);
  while (stream == self->record_) {
    const void* bytes = nullptr;
    std::size_t size = 0;
    if (pa_stream_peek(stream, &bytes, &size) < 0 || size == 0) return;  // nothing buffered
    // A hole (no bytes) is dropped, and so is what no armed parent will hear.
    if (bytes != nullptr && self->sink_.forwarding()) {
      self->delivery_.push(static_cast<const float*>(bytes),
                           size / (sizeof(float) * format->channels), format->channels,
                           format->rate);
    }
    pa_stream_drop(stream);
  }
}

// On the delivering thread, which may block here on the parent.
void RecordStream::State::deliver(std::span<const float> mono, std::uint32_t rate) {
  sink_.deliver(linux_audio::monoBlock(mono, rate));
}

void RecordStream::State::onMoved(pa_stream* stream, void* data) {
  auto* self = static_cast<State*>(data);
  if (stream != self->record_) return;
  const char* device = pa_stream_get_device_name(stream);
  if (device != nullptr && self->current_.monitorName == device) return;
  self->apply(RecordEvent::moved, {});
}

void RecordStream::State::onEvent(pa_context*, pa_subscription_event_type_t event,
                                  std::uint32_t index, void* data) {
  auto* self = static_cast<State*>(data);
  const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
    return self->apply(RecordEvent::defaultChanged, {});
  }
  if (facility != PA_SUBSCRIPTION_EVENT_SINK) return;
  if (type == PA_SUBSCRIPTION_EVENT_NEW) return self->apply(RecordEvent::outputAdded, {});
  if (type == PA_SUBSCRIPTION_EVENT_REMOVE && self->record_ != nullptr &&
      index == self->current_.index) {
    self->apply(RecordEvent::outputRemoved, {});
  }
}

void RecordStream::State::onSettled(pa_mainloop_api* api, pa_time_event* event,
                                    const struct timeval*, void* data) {
  auto* self = static_cast<State*>(data);
  api->time_free(event);
  self->settleTimer_ = nullptr;
  self->apply(RecordEvent::settled, {});
}

RecordStream::RecordStream(std::shared_ptr<Connection> connection, Output output, AudioSink& sink)
    : state_(new State(std::move(connection), std::move(output), sink)) {}

// The process's end takes a State whose delivery is stuck on the parent, kept reachable like the
// process-wide objects.
static std::atomic<RecordStream::State*> abandoned{nullptr};

RecordStream::~RecordStream() {
  if (state_->halt() && !state_->endDelivering()) {
    abandoned.store(state_);
    return;
  }
  {
    Connection::Lock lock(*state_->connection);
    state_->close();
  }
  if (!state_->endDelivering()) {
    abandoned.store(state_);
    return;
  }
  delete state_;
}

void RecordStream::start(StartDone completion) {
  Connection::Lock lock(*state_->connection);
  state_->start(std::move(completion));
}

// On a thread of its own: it may wait for a delivery under way.
void RecordStream::stop(StopDone completion) {
  std::thread([state = state_, done = std::move(completion)] {
    if (!state->haltAndSettle()) return done();  // stuck: left to the process's end
    Connection::Lock lock(*state->connection);
    state->stop([done](Outcome) { done(); });  // an error from stopping is the stream's own
  }).detach();
}

}  // namespace zarn::platform::pulse
