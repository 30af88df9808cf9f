#include "platform/pipewire/monitor_stream.h"

#include <pipewire/keys.h>
#include <pipewire/stream.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "platform/linux/delivery.h"
#include "platform/linux/owed_completions.h"
#include "platform/linux/stream_service.h"
#include "platform/pipewire/latency.h"
#include "platform/pipewire/stream_phases.h"
#include "platform/step_driver.h"

namespace zarn::platform::pipewire {
namespace {

using linux_audio::Completion;
using linux_audio::Outcome;
using linux_audio::OwedCompletions;
using namespace std::chrono_literals;

// An unlinked stream is made anew this often: after the session manager restarts, streams it had
// linked may stay unlinked while a new one is linked at once. Past the grace period with nothing
// linked the parent is told, so it can start over.
constexpr auto kRetryEvery = 750ms;
constexpr auto kLinkGrace = 3000ms;
// A stream linked to an output that has not started yet (a Bluetooth output can take seconds) is
// left alone by the retry and given this much more time.
constexpr auto kSlowOutputGrace = 7000ms;
// How long a stop waits for a delivery under way (one frame being written) to return.
constexpr auto kDeliverySettle = 500ms;
constexpr std::uint32_t kUnknownRate = 48000;  // for the latency, when the output does not say

timespec after(std::chrono::nanoseconds span) {
  return {static_cast<time_t>(span.count() / 1000000000),
          static_cast<long>(span.count() % 1000000000)};
}

}  // namespace

class State;

// One pw_stream and its listener, so a callback of a dropped stream is never taken for the
// current one's.
struct Tap {
  State* const state;
  pw_stream* stream = nullptr;
  spa_hook listener{};
};

// Everything the library's callbacks reach: the stream's phase, its pw_stream, the backlog and the
// delivering thread.
class State final : public GraphListener {
 public:
  State(std::shared_ptr<Connection> connection, AudioSink& sink)
      : connection(std::move(connection)),
        sink_(sink),
        delivery_([this](std::span<const float> mono, std::uint32_t rate) { deliver(mono, rate); },
                  [this](const std::string& reason) { sink_.stopped(reason); }, {},
                  [this](std::span<const float> mono, std::uint32_t rate) {
                    return sink_.deliverNow(linux_audio::monoBlock(mono, rate));
                  }) {}

  // Any thread, without the loop's lock: no delivery or report begins after these.
  bool halt() { return delivery_.halt(); }  // true when one is under way now
  bool haltAndSettle() { return delivery_.haltAndSettle(kDeliverySettle); }
  // After halt(): false when a delivery is stuck on the parent; the thread, this object and all
  // it reaches are then left to the process's end.
  bool endDelivering() { return delivery_.finish(); }

  // The rest under the loop's lock. Completions are collected, for the caller to run.
  void start(Completion done);
  void stop(Completion done);
  void close();
  OwedCompletions takeOwed() { return owed_.take(); }
  void graphChanged() override { evaluate(); }
  void connectionLost(const std::string& reason) override {
    reason_ = reason;
    driver_.raise(Event::connectionLost);
  }

  const std::shared_ptr<Connection> connection;

 private:
  friend StepDriver<State, Phase, Event>;
  static Decision<Phase> decide(Phase phase, Event event) { return nextStep(phase, event); }
  void carryOut(std::uint32_t actions, Event);
  void open();
  void drop();
  void setTimers(bool armed);
  void evaluate();
  void report();
  bool linkPending();
  void deliver(std::span<const float> mono, std::uint32_t rate);
  // Loop-thread callbacks end by running what they completed.
  void settle() { owed_.run(); }

  static void onProcess(void* data);
  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error);
  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
  static void onRetry(void* data, std::uint64_t);
  static void onDeadline(void* data, std::uint64_t);
  // Only the callbacks the stream needs; the rest stay null.
  static constexpr pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.param_changed = onParamChanged;
    events.process = onProcess;
    return events;
  }();

  AudioSink& sink_;

  // Read by the real-time thread.
  std::atomic<bool> forwarding_{false};
  std::atomic<std::uint32_t> rate_{0}, channels_{0};  // the current stream's format

  Completion startDone_, stopDone_, refused_;
  OwedCompletions owed_;
  StepDriver<State, Phase, Event> driver_{*this, Phase::idle};
  std::unique_ptr<Tap> tap_;
  Sink requested_;       // the format the current stream asked for
  std::string reason_;   // why the stream could not start or ended
  std::string failure_;  // the last stream error
  spa_source* retry_ = nullptr;
  spa_source* deadline_ = nullptr;
  bool graceExtended_ = false;      // the deadline was moved once for an output slow to start
  linux_audio::Delivery delivery_;  // last: its thread uses everything above
};

void State::start(Completion done) {
  connection->setListener(this);
  if (!connection->ready()) connectionLost(connection->lossReason());
  (driver_.phase() == Phase::idle ? startDone_ : refused_) = std::move(done);
  driver_.raise(Event::start);
}

void State::stop(Completion done) {
  stopDone_ = std::move(done);
  driver_.raise(Event::stop);
}

void State::close() {
  driver_.raise(Event::stop);  // resolves a start still pending
  connection->setListener(nullptr);
  pw_loop* loop = pw_thread_loop_get_loop(connection->threadLoop());
  for (spa_source* timer : {retry_, deadline_}) {
    if (timer != nullptr) pw_loop_destroy_source(loop, timer);
  }
  retry_ = deadline_ = nullptr;
}

void State::carryOut(std::uint32_t actions, Event) {
  if (actions & stopForwarding) forwarding_.store(false);
  if (actions & dropStream) drop();
  if (actions & openStream) open();
  if (actions & armTimers) setTimers(true);
  if (actions & cancelTimers) setTimers(false);
  if (actions & startForwarding) forwarding_.store(true);
  if (actions & completeStart) owed_.owe(startDone_, std::nullopt);
  if (actions & failStart) owed_.owe(startDone_, reason_);
  if (actions & reportLoss) report();
  if (actions & completeStop) owed_.owe(stopDone_, std::nullopt);
  if (actions & refuseStop) owed_.owe(stopDone_, "nothing is being captured");
  if (actions & refuseStart) {
    owed_.owe(refused_, driver_.phase() == Phase::ended && !reason_.empty()
                            ? reason_
                            : "capture has already been started");
  }
}

void State::open() {
  failure_.clear();  // an earlier stream's error is not this one's
  requested_ = connection->defaultSink().value_or(Sink{});
  rate_.store(0);
  channels_.store(0);
  const std::uint32_t rate = requested_.rate ? requested_.rate : kUnknownRate;
  // The default output's monitor, never a source: with no target the session manager links the
  // default output and moves the stream along when the default changes.
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_STREAM_CAPTURE_SINK,
      "true", PW_KEY_NODE_NAME, "zarn-audio", PW_KEY_APP_NAME, "zarn-audio", nullptr);
  pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", latencyFrames(rate), rate);
  auto tap = std::make_unique<Tap>(Tap{this});
  tap->stream = pw_stream_new(connection->core(), "system audio", props);
  if (tap->stream == nullptr) {
    failure_ = std::strerror(errno);
    return driver_.raise(Event::streamFailed);
  }
  pw_stream_add_listener(tap->stream, &tap->listener, &kStreamEvents, tap.get());

  // The output's own rate and channels where it says them; the graph's otherwise.
  spa_audio_info_raw format{};
  format.format = SPA_AUDIO_FORMAT_F32;
  format.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
  format.rate = requested_.rate;
  format.channels = std::min<std::uint32_t>(requested_.channels, SPA_AUDIO_MAX_CHANNELS);
  std::uint8_t space[256];
  spa_pod_builder builder;
  spa_pod_builder_init(&builder, space, sizeof space);
  const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
  const auto flags = static_cast<pw_stream_flags>(
      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  tap_ = std::move(tap);
  const int result =
      pw_stream_connect(tap_->stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
  if (result < 0) {
    failure_ = std::strerror(-result);
    driver_.raise(Event::streamFailed);
  }
}

void State::drop() {
  if (!tap_) return;
  // Taken out first: the state change the destruction brings belongs to no current stream.
  const std::unique_ptr<Tap> tap = std::move(tap_);
  pw_stream_destroy(tap->stream);  // waits for a process call under way
}

void State::setTimers(bool armed) {
  pw_loop* loop = pw_thread_loop_get_loop(connection->threadLoop());
  if (retry_ == nullptr) retry_ = pw_loop_add_timer(loop, onRetry, this);
  if (deadline_ == nullptr) deadline_ = pw_loop_add_timer(loop, onDeadline, this);
  graceExtended_ = false;
  timespec retryAt = armed ? after(kRetryEvery) : timespec{};
  timespec deadlineAt = armed ? after(kLinkGrace) : timespec{};
  timespec once{};
  pw_loop_update_timer(loop, retry_, &retryAt, &retryAt, false);
  pw_loop_update_timer(loop, deadline_, &deadlineAt, &once, false);
}

void State::evaluate() {
  if (driver_.phase() != Phase::starting && driver_.phase() != Phase::running &&
      driver_.phase() != Phase::relinking)
    return;
  if (!tap_) return;  // the next retry makes one
  const std::optional<Sink> sink = connection->defaultSink();
  if (sink && (sink->rate != requested_.rate || sink->channels != requested_.channels)) {
    return driver_.raise(Event::formatChanged);
  }
  const bool linked = pw_stream_get_state(tap_->stream, nullptr) == PW_STREAM_STATE_STREAMING &&
                      channels_.load() > 0 &&
                      connection->linkedOnlyToOutputs(pw_stream_get_node_id(tap_->stream));
  driver_.raise(linked ? Event::linked : Event::unlinked);
}

// The platform stopped the stream: said once, unless a stop came first, and after the audio
// captured before it (the stream is already dropped, so nothing more comes).
void State::report() {
  delivery_.reportAfterDrain(reason_);
}

// On the delivering thread, which may block here on the parent.
void State::deliver(std::span<const float> mono, std::uint32_t rate) {
  sink_.deliver(linux_audio::monoBlock(mono, rate));
}

// PipeWire's real-time thread (PW_STREAM_FLAG_RT_PROCESS). The rule here: never wait. It takes no
// lock another thread holds, allocates nothing and makes no system call but the one wake-up of
// the delivering thread (Delivery::push): it reads atomics (the arm state through the sink's
// mirror, never armQueue), mixes the buffer into the lock-free ring and gives the buffer back.
// Frames, armQueue and stdoutLock belong to the delivering thread.
void State::onProcess(void* data) {
  auto* tap = static_cast<Tap*>(data);
  State* self = tap->state;
  pw_buffer* buffer = pw_stream_dequeue_buffer(tap->stream);
  if (buffer == nullptr) return;
  const std::uint32_t channels = self->channels_.load(), rate = self->rate_.load();
  // Nothing is mixed for a parent that is not armed (the arm state's lock-free mirror).
  if (buffer->buffer->n_datas > 0 && self->forwarding_.load() && self->sink_.forwarding() &&
      channels > 0) {
    const spa_data& block = buffer->buffer->datas[0];
    if (block.data != nullptr && block.chunk != nullptr) {
      const std::uint32_t offset = std::min(block.chunk->offset, block.maxsize);
      const std::uint32_t size = std::min(block.chunk->size, block.maxsize - offset);
      const auto* samples =
          reinterpret_cast<const float*>(static_cast<const char*>(block.data) + offset);
      self->delivery_.push(samples, size / (sizeof(float) * channels), channels, rate);
    }
  }
  pw_stream_queue_buffer(tap->stream, buffer);
}

void State::onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto* tap = static_cast<Tap*>(data);
  State* self = tap->state;
  if (tap != self->tap_.get()) return;
  if (state == PW_STREAM_STATE_ERROR) {
    self->failure_ = error ? error : "the stream failed";
    self->driver_.raise(Event::streamFailed);
  } else {
    self->evaluate();
  }
  self->settle();
}

void State::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  auto* tap = static_cast<Tap*>(data);
  State* self = tap->state;
  if (tap != self->tap_.get() || id != SPA_PARAM_Format) return;
  spa_audio_info_raw format{};
  const bool usable = param != nullptr && spa_format_audio_raw_parse(param, &format) >= 0 &&
                      format.format == SPA_AUDIO_FORMAT_F32 && format.rate > 0;
  self->rate_.store(usable ? format.rate : 0);
  self->channels_.store(usable ? format.channels : 0);
  self->evaluate();
  self->settle();
}

// Linked to outputs that have not started yet (a Bluetooth output can take seconds): a new stream
// would only start the wait over.
bool State::linkPending() {
  return tap_ && pw_stream_get_state(tap_->stream, nullptr) != PW_STREAM_STATE_STREAMING &&
         connection->linkedOnlyToOutputs(pw_stream_get_node_id(tap_->stream));
}

void State::onRetry(void* data, std::uint64_t) {
  auto* self = static_cast<State*>(data);
  if (self->linkPending()) return;
  self->driver_.raise(Event::retryDue);
  self->settle();
}

void State::onDeadline(void* data, std::uint64_t) {
  auto* self = static_cast<State*>(data);
  if (self->linkPending() && !self->graceExtended_) {
    self->graceExtended_ = true;
    timespec at = after(kSlowOutputGrace), once{};
    pw_loop_update_timer(pw_thread_loop_get_loop(self->connection->threadLoop()), self->deadline_,
                         &at, &once, false);
    return;
  }
  if (self->connection->sinks().empty()) {
    self->reason_ = linux_audio::kNoOutputText;
  } else {
    self->reason_ = self->failure_.empty() ? "no sound output could be linked" : self->failure_;
  }
  self->driver_.raise(Event::deadlinePassed);
  self->settle();
}

namespace {

// A stream left to the process's end, kept reachable like the process-wide objects.
std::atomic<State*> abandoned{nullptr};

// The core's handle on the stream. Its State outlives it when a delivery is still blocked at its
// end: the process is on its way out then, and everything is left to its end.
class MonitorStream final : public linux_audio::CaptureStream {
 public:
  MonitorStream(std::shared_ptr<Connection> connection, AudioSink& sink)
      : state_(new State(std::move(connection), sink)) {}

  ~MonitorStream() override {
    if (state_->halt() && !state_->endDelivering()) {  // stuck on the parent: cannot be joined
      abandoned.store(state_);
      return;
    }
    OwedCompletions owed;
    {
      Connection::Lock lock(*state_->connection);
      state_->close();
      owed = state_->takeOwed();
    }
    if (!state_->endDelivering()) {  // a delivery began before the halt and is still stuck
      abandoned.store(state_);
    } else {
      delete state_;
    }
    owed.runElsewhere();
  }

  void start(StartDone done) override {
    OwedCompletions owed;
    {
      Connection::Lock lock(*state_->connection);
      state_->start(std::move(done));
      owed = state_->takeOwed();
    }
    owed.runElsewhere();
  }

  // On a thread of its own: it may wait for a delivery under way.
  void stop(StopDone done) override {
    std::thread([state = state_, connection = state_->connection, done = std::move(done)] {
      if (!state->haltAndSettle()) return done();  // stuck: left to the process's end
      OwedCompletions owed;
      {
        Connection::Lock lock(*connection);
        state->stop([done](Outcome) { done(); });  // an error from stopping is the stream's own
        owed = state->takeOwed();
      }
      owed.run();  // this thread is the stop's own
    }).detach();
  }

 private:
  State* const state_;
};

}  // namespace

std::shared_ptr<linux_audio::CaptureStream> makeMonitorStream(
    std::shared_ptr<Connection> connection, AudioSink& sink) {
  return std::make_shared<MonitorStream>(std::move(connection), sink);
}

}  // namespace zarn::platform::pipewire
