#include "platform/pulse/record_stream.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/pulse/objects.h"
#include "platform/pulse/output_query.h"
#include "platform/pulse/record_machine.h"

namespace zarn::platform::pulse {
namespace {

using ErrorCompletion = ScreenCaptureApi::ErrorCompletion;

// The longest delivery we ask for. The server runs its processing cycle at the power of two below
// the fragment, so fragments from about 11 to 21 ms cost it the same wake-ups as a 20 ms reader;
// 13 ms stays in that band and, measured on PipeWire, reaches the parent about 5 ms sooner than
// 20 ms. Below it the server's wake-ups double.
constexpr std::uint32_t kFragmentMilliseconds = 13;
// What the server keeps for us while the parent does not read (deliveries then block): a stall
// of a few seconds loses nothing, and a long one brings at most this much stale audio.
constexpr std::uint32_t kBacklogMilliseconds = 8000;
// How long a default output that names no listed output is given to settle.
constexpr pa_usec_t kDefaultSettleUsec = 250 * PA_USEC_PER_MSEC;

struct PendingCompletion {
  ErrorCompletion done;
  ErrorPtr error;
};

// Runs the completion on the main loop thread soon: never on the caller's thread, and never
// inside a callback that is still changing the stream's state.
void completeSoon(pa_mainloop_api* api, ErrorCompletion done, ErrorPtr error) {
  if (!done) return;
  auto* pending = new PendingCompletion{std::move(done), std::move(error)};
  pa_mainloop_api_once(
      api,
      [](pa_mainloop_api*, void* data) {
        std::unique_ptr<PendingCompletion> owned(static_cast<PendingCompletion*>(data));
        owned->done(std::move(owned->error));
      },
      pending);
}

std::string badState() {
  return pa_strerror(PA_ERR_BADSTATE);
}

}  // namespace

class RecordStream::State final : public ConnectionListener {
 public:
  State(RecordStream& owner, std::shared_ptr<Connection> connection, Output output,
        std::uint32_t channels, StreamDelegate& delegate)
      : connection(std::move(connection)),
        owner_(owner),
        delegate_(delegate),
        channels_(channels),
        next_(std::move(output)) {}

  // Any thread, without the main loop's lock: no call into the core begins after this. True
  // when one is running now (it may be blocked writing to a parent that does not read).
  bool halt() {
    std::lock_guard<std::mutex> hold(callbackAccess_);
    halted_ = true;
    return inCallback_;
  }

  // The rest runs under the main loop's lock or on its thread.
  void start(ErrorCompletion done);
  void stop(ErrorCompletion done);
  void close();
  void connectionLost(const std::string& reason) override {
    apply(RecordEvent::serverLost, reason);
  }

  std::shared_ptr<Connection> connection;
  StreamDelegate* output = nullptr;

 private:
  bool beginCallback() {
    std::lock_guard<std::mutex> hold(callbackAccess_);
    if (halted_) return false;
    inCallback_ = true;
    return true;
  }
  void endCallback() {
    std::lock_guard<std::mutex> hold(callbackAccess_);
    inCallback_ = false;
  }

  pa_context* context() const { return connection->context(); }
  pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(connection->mainloop()); }
  void apply(RecordEvent event, const std::string& reason);
  void carryOut(std::uint32_t actions, const std::string& reason);
  void disconnectRecord();
  bool open(const Output& output);
  void dropRecord();
  void reportLoss(const std::string& reason);
  void query();
  void answer(bool ok, const std::string& defaultName, const std::vector<Output>& sinks);
  void waitToSettle();
  void cancelTimer();
  void deliver(pa_stream* stream, const void* bytes, std::size_t size);

  static void onStreamState(pa_stream* stream, void* self);
  static void onRead(pa_stream* stream, std::size_t bytes, void* self);
  static void onMoved(pa_stream* stream, void* self);
  static void onEvent(pa_context*, pa_subscription_event_type_t event, std::uint32_t index,
                      void* self);
  static void onSettled(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                        void* self);

  RecordStream& owner_;
  StreamDelegate& delegate_;
  const std::uint32_t channels_;  // asked for; 1 means the output's channels averaged

  std::mutex callbackAccess_;
  bool halted_ = false;      // under callbackAccess_
  bool inCallback_ = false;  // under callbackAccess_

  RecordState machine_;
  ErrorCompletion startDone_;
  ErrorCompletion stopDone_;
  ErrorCompletion rejected_;     // a start or stop called in a phase that cannot take it
  pa_stream* record_ = nullptr;  // the live record stream, if any
  Output current_;               // the output record_ is on
  Output next_;                  // the output the next record stream opens on
  std::vector<float> mixed_;     // one delivery averaged to mono

  OutputQuery query_;
  bool queryAgain_ = false;  // the answer under way may already be out of date
  pa_time_event* settleTimer_ = nullptr;
};

void RecordStream::State::start(ErrorCompletion done) {
  if (machine_.phase != RecordPhase::idle) {
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
}

void RecordStream::State::stop(ErrorCompletion done) {
  const bool taken =
      machine_.phase != RecordPhase::stopping && machine_.phase != RecordPhase::ended;
  (taken ? stopDone_ : rejected_) = std::move(done);
  apply(RecordEvent::stop, connection->ready() ? badState() : connection->lastError());
}

void RecordStream::State::close() {
  connection->setListener(nullptr);
  pa_context_set_subscribe_callback(context(), nullptr, nullptr);
  query_.cancel();
  cancelTimer();
  dropRecord();
  machine_.phase = RecordPhase::ended;
}

void RecordStream::State::apply(RecordEvent event, const std::string& reason) {
  const RecordStep step = nextRecordStep(machine_, event);
  machine_ = step.state;
  carryOut(step.actions, reason);
}

void RecordStream::State::carryOut(std::uint32_t actions, const std::string& reason) {
  if (actions & kDropRecord) dropRecord();
  if (actions & kDisconnectRecord) disconnectRecord();
  if (actions & kOpenRecord && !open(next_)) {
    return apply(RecordEvent::recordFailed, connection->lastError());
  }
  if (actions & kQuery) query();
  if (actions & kWaitToSettle) waitToSettle();
  if (actions & kStartSucceeded) completeSoon(api(), std::move(startDone_), nullptr);
  if (actions & kStartFailed) completeSoon(api(), std::move(startDone_), makeTextError(reason));
  if (actions & kStopDone) completeSoon(api(), std::move(stopDone_), nullptr);
  if (actions & kStopFailed) completeSoon(api(), std::move(stopDone_), makeTextError(reason));
  if (actions & kRejectCall) completeSoon(api(), std::move(rejected_), makeTextError(badState()));
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
  const auto channels = channels_ == 1 ? std::max<std::uint32_t>(output.channels, 1) : channels_;
  const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, output.rate,
                                    static_cast<std::uint8_t>(std::min(channels, 32u))};
  pa_channel_map map;
  pa_channel_map_init_extend(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
  pa_stream* stream = pa_stream_new(context(), "system audio", &sampleFormat, &map);
  if (stream == nullptr) return false;
  pa_stream_set_state_callback(stream, onStreamState, this);
  pa_stream_set_read_callback(stream, onRead, this);
  pa_stream_set_moved_callback(stream, onMoved, this);

  pa_buffer_attr attributes;
  attributes.maxlength = fragmentBytes(output.rate, sampleFormat.channels, kBacklogMilliseconds);
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

void RecordStream::State::reportLoss(const std::string& reason) {
  if (!beginCallback()) return;
  delegate_.streamDidStopWithError(owner_, TextError(reason));
  endCallback();
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
  const FollowStep step = nextFollowStep(sinks, defaultName, alive, machine_.waited);
  if (step.kind == FollowStep::Kind::switchTo) next_ = step.output;
  apply(answerEvent(step.kind), kNoOutputText);
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

void RecordStream::State::onRead(pa_stream* stream, std::size_t, void* data) {
  auto* self = static_cast<State*>(data);
  // The main loop thread delivers, under its lock; see the service's notes on blocking.
  while (stream == self->record_) {
    const void* bytes = nullptr;
    std::size_t size = 0;
    if (pa_stream_peek(stream, &bytes, &size) < 0 || size == 0) return;  // nothing buffered
    if (!self->beginCallback()) return;  // stopping: the data dies with the stream
    self->deliver(stream, bytes, size);
    self->endCallback();
    pa_stream_drop(stream);
  }
}

void RecordStream::State::deliver(pa_stream* stream, const void* bytes, std::size_t size) {
  const pa_sample_spec* sampleFormat = pa_stream_get_sample_spec(stream);
  FloatSampleBuffer buffer;
  buffer.data = bytes;  // null for a hole, which the core drops
  buffer.size = size;
  buffer.format.rate = sampleFormat->rate;
  buffer.format.channels = sampleFormat->channels;
  if (channels_ == 1 && sampleFormat->channels > 1 && bytes != nullptr) {
    buffer.size =
        averageToMono(static_cast<const float*>(bytes), size, sampleFormat->channels, mixed_) *
        sizeof(float);
    buffer.data = mixed_.data();
    buffer.format.channels = 1;
  }
  if (output != nullptr) output->streamDidOutputSampleBuffer(owner_, buffer, OutputType::audio);
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

RecordStream::RecordStream(std::shared_ptr<Connection> connection, Output output,
                           std::uint32_t channels, StreamDelegate& delegate)
    : state_(new State(*this, std::move(connection), std::move(output), channels, delegate)) {}

RecordStream::~RecordStream() {
  // A delivery still blocked on the parent holds the main loop: closing would wait for the
  // parent. The process is on its way out then, so everything is left to its end.
  if (state_->halt()) return;
  {
    Connection::Lock lock(*state_->connection);
    state_->close();
  }
  delete state_;
}

void RecordStream::setAudioOutput(StreamDelegate* output) {
  Connection::Lock lock(*state_->connection);
  state_->output = output;
}

void RecordStream::start(ScreenCaptureApi::ErrorCompletion completion) {
  Connection::Lock lock(*state_->connection);
  state_->start(std::move(completion));
}

void RecordStream::stop(ScreenCaptureApi::ErrorCompletion completion) {
  if (state_->halt()) {
    // A delivery is blocked on the parent and holds the main loop; the stream is left to the
    // process's end, and the stop is confirmed from a thread of its own.
    std::thread([done = std::move(completion)] { done(nullptr); }).detach();
    return;
  }
  Connection::Lock lock(*state_->connection);
  state_->stop(std::move(completion));
}

}  // namespace zarn::platform::pulse
