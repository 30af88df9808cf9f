#include "platform/pulse/record_stream.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>
#include <pulse/timeval.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/pulse/objects.h"

namespace zarn::platform::pulse {
namespace {

using ErrorCompletion = CaptureService::ErrorCompletion;

// The longest delivery we ask for. The server runs its processing cycle at the power of two below
// the fragment, so fragments from about 11 to 21 ms cost it the same wake-ups as a 20 ms reader;
// 13 ms stays in that band and, measured on PipeWire, reaches the parent about 5 ms sooner than
// 20 ms. Below it the server's wake-ups double.
constexpr std::uint32_t kFragmentMilliseconds = 13;
// How long a default output that names no listed output is given to settle.
constexpr pa_usec_t kDefaultSettleUsec = 250 * PA_USEC_PER_MSEC;
// Record streams that fail one after the other before one runs: past this, give up.
constexpr int kMaxFailedOpens = 3;

struct PendingCompletion {
  ErrorCompletion done;
  ErrorPtr error;
};

// Runs the completion on the main loop thread soon, never on the caller's thread.
void completeSoon(pa_mainloop_api* api, ErrorCompletion done, ErrorPtr error) {
  auto* pending = new PendingCompletion{std::move(done), std::move(error)};
  pa_mainloop_api_once(
      api,
      [](pa_mainloop_api*, void* data) {
        std::unique_ptr<PendingCompletion> owned(static_cast<PendingCompletion*>(data));
        owned->done(std::move(owned->error));
      },
      pending);
}

void finish(ErrorCompletion& slot, ErrorPtr error) {
  ErrorCompletion done = std::move(slot);
  slot = nullptr;
  if (done) done(std::move(error));
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
        current_(std::move(output)) {}

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
  void connectionLost(const std::string& reason) override;

  std::shared_ptr<Connection> connection;
  StreamDelegate* output = nullptr;

 private:
  enum class Phase { idle, starting, running, stopping, ended };

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
  bool open(const Output& output);
  void dropRecord();
  void lose(const std::string& reason);
  void follow();
  void decide();
  void track(pa_operation* operation);
  void cancelTimer();

  static void onStreamState(pa_stream* stream, void* self);
  static void onRead(pa_stream* stream, std::size_t bytes, void* self);
  static void onMoved(pa_stream* stream, void* self);
  static void onEvent(pa_context*, pa_subscription_event_type_t event, std::uint32_t index,
                      void* self);
  static void onServerInfo(pa_context*, const pa_server_info* info, void* self);
  static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self);
  static void onSettled(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                        void* self);

  RecordStream& owner_;
  StreamDelegate& delegate_;
  const std::uint32_t channels_;

  std::mutex callbackAccess_;
  bool halted_ = false;      // under callbackAccess_
  bool inCallback_ = false;  // under callbackAccess_

  Phase phase_ = Phase::idle;
  ErrorCompletion startDone_;
  ErrorCompletion stopDone_;
  pa_stream* record_ = nullptr;  // the live record stream, if any
  Output current_;               // the output record_ is on
  int failedOpens_ = 0;
  std::string lastLoss_;  // the library's text for the last record stream that ended

  // Following the default output.
  bool querying_ = false;
  bool queryAgain_ = false;
  bool waited_ = false;
  std::string defaultName_;
  std::vector<Output> listed_;
  std::vector<pa_operation*> operations_;
  pa_time_event* settleTimer_ = nullptr;
};

void RecordStream::State::start(ErrorCompletion done) {
  if (phase_ != Phase::idle) {
    return completeSoon(api(), std::move(done), makeError(pa_strerror(PA_ERR_BADSTATE)));
  }
  if (!connection->ready()) {
    return completeSoon(api(), std::move(done), makeError(connection->lastError()));
  }
  connection->setListener(this);
  pa_context_set_subscribe_callback(context(), onEvent, this);
  const auto mask =
      static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK);
  track(pa_context_subscribe(context(), mask, nullptr, nullptr));
  phase_ = Phase::starting;
  startDone_ = std::move(done);
  if (!open(current_)) {
    phase_ = Phase::ended;
    completeSoon(api(), std::exchange(startDone_, nullptr), makeError(connection->lastError()));
  }
}

void RecordStream::State::stop(ErrorCompletion done) {
  if (phase_ == Phase::stopping) {  // the first stop's completion is still to come
    return completeSoon(api(), std::move(done), makeError(pa_strerror(PA_ERR_BADSTATE)));
  }
  cancelTimer();
  if (phase_ == Phase::running && record_ != nullptr &&
      pa_stream_get_state(record_) == PA_STREAM_READY && pa_stream_disconnect(record_) == 0) {
    phase_ = Phase::stopping;
    stopDone_ = std::move(done);
    return;  // the stream's end completes the stop
  }
  // Nothing runs to be stopped: already ended, or between two outputs, or the server is gone.
  ErrorPtr error;
  if (!connection->ready()) {
    error = makeError(connection->lastError());
  } else if (phase_ != Phase::running) {
    error = makeError(pa_strerror(PA_ERR_BADSTATE));
  }
  phase_ = Phase::ended;
  dropRecord();
  completeSoon(api(), std::move(done), std::move(error));
}

void RecordStream::State::close() {
  connection->setListener(nullptr);
  pa_context_set_subscribe_callback(context(), nullptr, nullptr);
  for (pa_operation* operation : operations_) {
    pa_operation_cancel(operation);
    pa_operation_unref(operation);
  }
  operations_.clear();
  cancelTimer();
  dropRecord();
  phase_ = Phase::ended;
}

void RecordStream::State::connectionLost(const std::string& reason) {
  switch (phase_) {
    case Phase::starting:
      phase_ = Phase::ended;
      dropRecord();
      return finish(startDone_, makeError(reason));
    case Phase::running:
      return lose(reason);
    case Phase::stopping:
      phase_ = Phase::ended;
      dropRecord();
      return finish(stopDone_, makeError(reason));
    case Phase::idle:
    case Phase::ended:
      return;
  }
}

bool RecordStream::State::open(const Output& output) {
  const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, output.rate,
                                    static_cast<std::uint8_t>(channels_)};
  pa_channel_map map;
  pa_channel_map_init_extend(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
  pa_stream* stream = pa_stream_new(context(), "system audio", &sampleFormat, &map);
  if (stream == nullptr) return false;
  pa_stream_set_state_callback(stream, onStreamState, this);
  pa_stream_set_read_callback(stream, onRead, this);
  pa_stream_set_moved_callback(stream, onMoved, this);

  pa_buffer_attr attributes;
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = fragmentBytes(output.rate, sampleFormat.channels, kFragmentMilliseconds);
  // The server must never move the stream (it could pick a microphone); following the default
  // output is done here, with a new stream.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream, output.monitorName.c_str(), &attributes, flags) < 0) {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_moved_callback(stream, nullptr, nullptr);
    pa_stream_unref(stream);
    return false;
  }
  record_ = stream;
  current_ = output;
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

// The platform stopped the stream: said once, and nothing is followed any more.
void RecordStream::State::lose(const std::string& reason) {
  if (phase_ != Phase::running) return;
  phase_ = Phase::ended;
  cancelTimer();
  dropRecord();
  if (!beginCallback()) return;
  delegate_.streamDidStopWithError(owner_, PulseError(reason));
  endCallback();
}

void RecordStream::State::follow() {
  if (phase_ != Phase::running) return;
  if (querying_) {
    queryAgain_ = true;  // the answer under way may already be out of date
    return;
  }
  querying_ = true;
  defaultName_.clear();
  listed_.clear();
  // The replies come in the order of the requests: the end of the list finds both in.
  pa_operation* server = pa_context_get_server_info(context(), onServerInfo, this);
  pa_operation* list = pa_context_get_sink_info_list(context(), onSinkInfo, this);
  track(server);
  track(list);
  if (server == nullptr || list == nullptr) {
    querying_ = false;
    lose(connection->lastError());
  }
}

void RecordStream::State::decide() {
  std::optional<Output> alive;
  if (record_ != nullptr) alive = current_;
  const FollowStep step = nextFollowStep(listed_, defaultName_, alive, waited_);
  switch (step.kind) {
    case FollowStep::Kind::stay:
      waited_ = false;
      return;
    case FollowStep::Kind::switchTo:
      waited_ = false;
      dropRecord();
      if (!open(step.output)) lose(connection->lastError());
      return;
    case FollowStep::Kind::waitForDefault:
      if (settleTimer_ == nullptr) {
        settleTimer_ = pa_context_rttime_new(context(), pa_rtclock_now() + kDefaultSettleUsec,
                                             onSettled, this);
      }
      return;
    case FollowStep::Kind::noOutput:
      return lose(lastLoss_.empty() ? pa_strerror(PA_ERR_NOENTITY) : lastLoss_);
  }
}

void RecordStream::State::track(pa_operation* operation) {
  std::erase_if(operations_, [](pa_operation* done) {
    if (pa_operation_get_state(done) == PA_OPERATION_RUNNING) return false;
    pa_operation_unref(done);
    return true;
  });
  if (operation != nullptr) operations_.push_back(operation);
}

void RecordStream::State::cancelTimer() {
  if (settleTimer_ == nullptr) return;
  api()->time_free(std::exchange(settleTimer_, nullptr));
}

void RecordStream::State::onStreamState(pa_stream* stream, void* data) {
  auto* self = static_cast<State*>(data);
  if (stream != self->record_) return;
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) {
    self->failedOpens_ = 0;
    if (self->phase_ == Phase::starting) {
      self->phase_ = Phase::running;
      finish(self->startDone_, nullptr);
      self->follow();  // the default may have changed while the stream was being set up
    }
    return;
  }
  if (PA_STREAM_IS_GOOD(state)) return;

  // The stream ended. The context's error is the stream's.
  const std::string reason = self->connection->lastError();
  self->dropRecord();
  switch (self->phase_) {
    case Phase::starting:
      self->phase_ = Phase::ended;
      return finish(self->startDone_, makeError(reason));
    case Phase::stopping:
      self->phase_ = Phase::ended;
      return finish(self->stopDone_, state == PA_STREAM_TERMINATED ? nullptr : makeError(reason));
    case Phase::running:
      break;
    case Phase::idle:
    case Phase::ended:
      return;
  }
  if (!self->connection->ready()) return self->lose(reason);
  // The output went away (or the server ended the stream): follow the default output, unless
  // new streams keep failing.
  self->lastLoss_ = reason;
  if (++self->failedOpens_ > kMaxFailedOpens) return self->lose(reason);
  self->follow();
}

void RecordStream::State::onRead(pa_stream* stream, std::size_t, void* data) {
  auto* self = static_cast<State*>(data);
  if (stream != self->record_) return;
  // The main loop thread delivers, under its lock; see the service's notes on blocking.
  for (;;) {
    const void* bytes = nullptr;
    std::size_t size = 0;
    if (pa_stream_peek(stream, &bytes, &size) < 0 || size == 0) return;  // nothing buffered
    if (!self->beginCallback()) return;  // stopping: the data dies with the stream
    const pa_sample_spec* sampleFormat = pa_stream_get_sample_spec(stream);
    PulseSampleBuffer buffer;
    buffer.data = bytes;  // null for a hole, which the core drops
    buffer.size = size;
    buffer.format.rate = sampleFormat->rate;
    buffer.format.channels = sampleFormat->channels;
    if (self->output != nullptr) {
      self->output->streamDidOutputSampleBuffer(self->owner_, buffer, OutputType::audio);
    }
    self->endCallback();
    pa_stream_drop(stream);
  }
}

void RecordStream::State::onMoved(pa_stream* stream, void* data) {
  auto* self = static_cast<State*>(data);
  if (stream != self->record_) return;
  const char* device = pa_stream_get_device_name(stream);
  if (device != nullptr && self->current_.monitorName == device) return;
  // Somebody moved it anyway; whatever it records now, it is not ours to forward.
  self->lastLoss_ = pa_strerror(PA_ERR_NOENTITY);
  self->dropRecord();
  self->follow();
}

void RecordStream::State::onEvent(pa_context*, pa_subscription_event_type_t event,
                                  std::uint32_t index, void* data) {
  auto* self = static_cast<State*>(data);
  const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER) return self->follow();  // the default may differ
  if (facility != PA_SUBSCRIPTION_EVENT_SINK) return;
  if (type == PA_SUBSCRIPTION_EVENT_NEW) return self->follow();
  if (type == PA_SUBSCRIPTION_EVENT_REMOVE && index == self->current_.index) {
    // Not every server ends a stream whose output is gone; it must not record silence.
    self->lastLoss_ = pa_strerror(PA_ERR_NOENTITY);
    self->dropRecord();
    self->follow();
  }
}

void RecordStream::State::onServerInfo(pa_context*, const pa_server_info* info, void* data) {
  auto* self = static_cast<State*>(data);
  if (info != nullptr && info->default_sink_name != nullptr) {
    self->defaultName_ = info->default_sink_name;
  }
}

void RecordStream::State::onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data) {
  auto* self = static_cast<State*>(data);
  if (eol == 0) {
    if (info != nullptr) {
      self->listed_.push_back({info->name ? info->name : "", info->index,
                               info->monitor_source_name ? info->monitor_source_name : "",
                               info->sample_spec.rate});
    }
    return;
  }
  self->querying_ = false;
  if (eol < 0) return self->lose(self->connection->lastError());
  if (std::exchange(self->queryAgain_, false)) return self->follow();
  self->decide();
}

void RecordStream::State::onSettled(pa_mainloop_api* api, pa_time_event* event,
                                    const struct timeval*, void* data) {
  auto* self = static_cast<State*>(data);
  api->time_free(event);
  self->settleTimer_ = nullptr;
  self->waited_ = true;
  self->follow();
}

RecordStream::RecordStream(std::shared_ptr<Connection> connection, Output output,
                           std::uint32_t channels, StreamDelegate& delegate)
    : state_(new State(*this, std::move(connection), std::move(output), channels, delegate)) {}

// A stream left to the process's end, kept reachable like the process-wide objects.
std::atomic<RecordStream::State*> abandoned{nullptr};

RecordStream::~RecordStream() {
  // A delivery still blocked on the parent holds the main loop: closing would wait for the
  // parent. The process is on its way out then, so everything is left to its end.
  if (state_->halt()) {
    abandoned.store(state_);
    return;
  }
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

void RecordStream::start(CaptureService::ErrorCompletion completion) {
  Connection::Lock lock(*state_->connection);
  state_->start(std::move(completion));
}

void RecordStream::stop(CaptureService::ErrorCompletion completion) {
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
