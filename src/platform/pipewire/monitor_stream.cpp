#include "platform/pipewire/monitor_stream.h"

#include <pipewire/keys.h>
#include <pipewire/stream.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/pipewire/backlog.h"
#include "platform/pipewire/capture_phases.h"
#include "platform/pipewire/mono_mix.h"
#include "platform/pipewire/objects.h"
#include "platform/std_handles.h"
#include "wire_format.h"

namespace zarn::platform::pipewire {
namespace {

using ErrorCompletion = ScreenCaptureApi::ErrorCompletion;
using namespace std::chrono_literals;

// An unlinked stream is made anew this often: after the session manager restarts, streams it had
// linked may stay unlinked while a new one is linked at once. Past the grace period with nothing
// linked the parent is told, so it can start over.
constexpr auto kRetryEvery = 750ms;
constexpr auto kLinkGrace = 3000ms;
// How long a stop waits for a delivery under way (one frame being written) to return.
constexpr auto kDeliverySettle = 500ms;
constexpr std::size_t kPieceCapacity = 8192;         // mono samples per piece: 20 ms up to 409 kHz
constexpr std::size_t kBacklogSamples = 10 * 48000;  // what a parent may fall behind by
constexpr std::uint32_t kUnknownRate = 48000;  // for the latency, when the output does not say

struct Due {
  ErrorCompletion done;
  ErrorPtr error;
};

void runAll(std::vector<Due> due) {
  for (Due& each : due) each.done(std::move(each.error));
}

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
  State(Stream& owner, std::shared_ptr<Connection> connection, StreamDelegate& delegate)
      : connection(std::move(connection)),
        owner_(owner),
        delegate_(delegate),
        deliverer_([this] { deliverAll(); }) {}

  // Without the loop's lock, after halt(): the delivering thread ends, or is left to the
  // process's end when its delivery is stuck.
  void endDelivering(bool stuck) {
    backlog_.close();
    if (stuck) {
      deliverer_.detach();
    } else {
      deliverer_.join();
    }
  }

  // Any thread, without the loop's lock: no delivery or report begins after these.
  bool halt() {  // true when one is under way now
    std::lock_guard<std::mutex> hold(gate_);
    halted_ = true;
    return inside_ > 0;
  }
  bool haltAndSettle() {  // true once none is under way
    std::unique_lock<std::mutex> hold(gate_);
    halted_ = true;
    return settled_.wait_for(hold, kDeliverySettle, [this] { return inside_ == 0; });
  }

  // The rest under the loop's lock. Completions are collected, for the caller to run.
  void start(ErrorCompletion done);
  void stop(ErrorCompletion done);
  void close();
  std::vector<Due> takeDue() { return std::exchange(due_, {}); }
  void graphChanged() override { evaluate(); }
  void connectionLost(const std::string& reason) override {
    reason_ = reason;
    handle(Event::connectionLost);
  }

  const std::shared_ptr<Connection> connection;
  std::atomic<StreamDelegate*> output{nullptr};

 private:
  void handle(Event event);
  void carryOut(std::uint32_t actions);
  void open();
  void drop();
  void setTimers(bool armed);
  void evaluate();
  void report();
  void finish(ErrorCompletion& slot, ErrorPtr error) {
    if (slot) due_.push_back({std::exchange(slot, nullptr), std::move(error)});
  }
  bool beginCall() {
    std::lock_guard<std::mutex> hold(gate_);
    if (halted_) return false;
    ++inside_;
    return true;
  }
  void endCall() {
    std::lock_guard<std::mutex> hold(gate_);
    if (--inside_ == 0 && halted_) settled_.notify_all();
  }
  void deliverAll();
  bool deliverNow(const float* interleaved, std::size_t frames, std::uint32_t channels,
                  std::uint32_t rate);
  void deliver(const float* samples, std::size_t count, std::uint32_t rate);
  // Loop-thread callbacks end by running what they completed.
  void settle() { runAll(takeDue()); }

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

  Stream& owner_;  // the handle below; only used while a call is under way (beginCall)
  StreamDelegate& delegate_;

  std::mutex gate_;
  std::condition_variable settled_;
  bool halted_ = false;  // under gate_
  int inside_ = 0;       // deliveries and reports under way; under gate_

  // Read by the real-time thread.
  std::atomic<bool> forwarding_{false};
  std::atomic<std::uint32_t> rate_{0}, channels_{0};  // the current stream's format
  Backlog backlog_{kBacklogSamples};
  const std::unique_ptr<float[]> direct_{new float[kPieceCapacity]};  // the real-time thread's

  Phase phase_ = Phase::idle;
  ErrorCompletion startDone_, stopDone_, refused_;
  std::vector<Due> due_;
  std::vector<Event> queued_;
  bool handling_ = false;
  std::unique_ptr<Tap> tap_;
  Sink requested_;       // the format the current stream asked for
  std::string reason_;   // why the stream could not start or ended
  std::string failure_;  // the last stream error
  spa_source* retry_ = nullptr;
  spa_source* deadline_ = nullptr;
  std::thread deliverer_;  // last: it uses everything above
};

void State::start(ErrorCompletion done) {
  connection->setListener(this);
  if (!connection->ready()) connectionLost(connection->lossReason());
  (phase_ == Phase::idle ? startDone_ : refused_) = std::move(done);
  handle(Event::start);
}

void State::stop(ErrorCompletion done) {
  stopDone_ = std::move(done);
  handle(Event::stop);
}

void State::close() {
  handle(Event::stop);  // resolves a start still pending
  connection->setListener(nullptr);
  pw_loop* loop = pw_thread_loop_get_loop(connection->threadLoop());
  for (spa_source* timer : {retry_, deadline_}) {
    if (timer != nullptr) pw_loop_destroy_source(loop, timer);
  }
  retry_ = deadline_ = nullptr;
}

// Events raised while the actions of another are carried out wait their turn.
void State::handle(Event event) {
  queued_.push_back(event);
  if (handling_) return;
  handling_ = true;
  while (!queued_.empty()) {
    const Event next = queued_.front();
    queued_.erase(queued_.begin());
    const Step step = nextStep(phase_, next);
    phase_ = step.next;
    carryOut(step.actions);
  }
  handling_ = false;
}

void State::carryOut(std::uint32_t actions) {
  if (actions & stopForwarding) forwarding_.store(false);
  if (actions & dropStream) drop();
  if (actions & openStream) open();
  if (actions & armTimers) setTimers(true);
  if (actions & cancelTimers) setTimers(false);
  if (actions & startForwarding) forwarding_.store(true);
  if (actions & completeStart) finish(startDone_, nullptr);
  if (actions & failStart) finish(startDone_, makeTextError(reason_));
  if (actions & reportLoss) report();
  if (actions & completeStop) finish(stopDone_, nullptr);
  if (actions & refuseStop) finish(stopDone_, makeTextError("nothing is being captured"));
  if (actions & refuseStart) {
    finish(refused_, makeTextError(phase_ == Phase::ended && !reason_.empty()
                                       ? reason_
                                       : "capture has already been started"));
  }
}

void State::open() {
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
    return handle(Event::streamFailed);
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
    handle(Event::streamFailed);
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
  timespec retryAt = armed ? after(kRetryEvery) : timespec{};
  timespec deadlineAt = armed ? after(kLinkGrace) : timespec{};
  timespec once{};
  pw_loop_update_timer(loop, retry_, &retryAt, &retryAt, false);
  pw_loop_update_timer(loop, deadline_, &deadlineAt, &once, false);
}

void State::evaluate() {
  if (phase_ != Phase::starting && phase_ != Phase::running && phase_ != Phase::relinking) return;
  if (!tap_) return;  // the next retry makes one
  const std::optional<Sink> sink = connection->defaultSink();
  if (sink && (sink->rate != requested_.rate || sink->channels != requested_.channels)) {
    return handle(Event::formatChanged);
  }
  const bool linked = pw_stream_get_state(tap_->stream, nullptr) == PW_STREAM_STATE_STREAMING &&
                      channels_.load() > 0 &&
                      connection->linkedOnlyToOutputs(pw_stream_get_node_id(tap_->stream));
  handle(linked ? Event::linked : Event::unlinked);
}

// The platform stopped the stream: said once, unless a stop came first. What is still waiting is
// dropped first, so no audio follows the report but a delivery already under way.
void State::report() {
  backlog_.close();
  if (!beginCall()) return;
  delegate_.streamDidStopWithError(owner_, TextError(reason_));
  endCall();
}

// The delivering thread: one frame per piece; a parent that does not read holds up only this.
void State::deliverAll() {
  const std::unique_ptr<float[]> piece(new float[kPieceCapacity]);
  std::uint32_t rate = 0;
  while (const std::size_t count = backlog_.take(piece.get(), kPieceCapacity, rate)) {
    deliver(piece.get(), count, rate);
  }
}

// On the real-time thread, when the parent keeps up (the usual case): the frame goes out from
// here, sparing the delivering thread's wake-up, which costs about as much as the rest of a
// delivery. Only when nothing waits in the backlog, so frames keep their order, and only when
// writing cannot block.
bool State::deliverNow(const float* interleaved, std::size_t frames, std::uint32_t channels,
                       std::uint32_t rate) {
  const std::size_t frameBytes = kFrameHeaderSize + kChunkHeaderSize + frames * sizeof(float);
  if (frames > kPieceCapacity || !standardOutputTakesNow(frameBytes) || !backlog_.quiet()) {
    return false;
  }
  averageChannels(interleaved, frames, channels, direct_.get());
  deliver(direct_.get(), frames, rate);
  return true;
}

void State::deliver(const float* samples, std::size_t count, std::uint32_t rate) {
  StreamDelegate* const target = output.load();
  FloatSampleBuffer buffer;
  buffer.data = samples;
  buffer.size = count * sizeof(float);
  buffer.format.rate = rate;
  if (target == nullptr || !beginCall()) return;
  target->streamDidOutputSampleBuffer(owner_, buffer, OutputType::audio);
  endCall();
}

// On PipeWire's real-time thread, never waiting for the parent: written now when that cannot
// block, mixed into the backlog otherwise.
void State::onProcess(void* data) {
  auto* tap = static_cast<Tap*>(data);
  State* self = tap->state;
  pw_buffer* buffer = pw_stream_dequeue_buffer(tap->stream);
  if (buffer == nullptr) return;
  const std::uint32_t channels = self->channels_.load(), rate = self->rate_.load();
  if (buffer->buffer->n_datas > 0 && self->forwarding_.load() && channels > 0) {
    const spa_data& block = buffer->buffer->datas[0];
    if (block.data != nullptr && block.chunk != nullptr) {
      const std::uint32_t offset = std::min(block.chunk->offset, block.maxsize);
      const std::uint32_t size = std::min(block.chunk->size, block.maxsize - offset);
      const auto* samples =
          reinterpret_cast<const float*>(static_cast<const char*>(block.data) + offset);
      const std::size_t frames = size / (sizeof(float) * channels);
      if (!self->deliverNow(samples, frames, channels, rate)) {
        self->backlog_.append(samples, frames, channels, rate);
      }
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
    self->handle(Event::streamFailed);
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

void State::onRetry(void* data, std::uint64_t) {
  auto* self = static_cast<State*>(data);
  self->handle(Event::retryDue);
  self->settle();
}

void State::onDeadline(void* data, std::uint64_t) {
  auto* self = static_cast<State*>(data);
  if (self->connection->sinks().empty()) {
    self->reason_ = kNoOutputText;
  } else {
    self->reason_ = self->failure_.empty() ? "no sound output could be linked" : self->failure_;
  }
  self->handle(Event::deadlinePassed);
  self->settle();
}

namespace {

// A stream left to the process's end, kept reachable like the process-wide objects.
std::atomic<State*> abandoned{nullptr};

// The core's handle on the stream. Its State outlives it when a delivery is still blocked at its
// end: the process is on its way out then, and everything is left to its end.
class MonitorStream final : public FloatStream {
 public:
  MonitorStream(std::shared_ptr<Connection> connection, StreamDelegate& delegate)
      : state_(new State(*this, std::move(connection), delegate)) {}

  ~MonitorStream() override {
    if (state_->halt()) {  // the delivering thread is stuck on the parent and cannot be joined
      state_->endDelivering(true);
      abandoned.store(state_);
      return;
    }
    std::vector<Due> due;
    {
      Connection::Lock lock(*state_->connection);
      state_->close();
      due = state_->takeDue();
    }
    state_->endDelivering(false);
    delete state_;
    if (!due.empty()) std::thread(runAll, std::move(due)).detach();
  }

  void setAudioOutput(StreamDelegate* output) override { state_->output.store(output); }

  void start(ScreenCaptureApi::ErrorCompletion completion) override {
    std::vector<Due> due;
    {
      Connection::Lock lock(*state_->connection);
      state_->start(std::move(completion));
      due = state_->takeDue();
    }
    if (!due.empty()) std::thread(runAll, std::move(due)).detach();  // never the caller's thread
  }

  // On a thread of its own: it may wait for a delivery under way.
  void stop(ScreenCaptureApi::ErrorCompletion completion) override {
    std::thread([state = state_, connection = state_->connection,
                 done = std::move(completion)]() mutable {
      if (!state->haltAndSettle()) return done(nullptr);  // stuck: left to the process's end
      std::vector<Due> due;
      {
        Connection::Lock lock(*connection);
        state->stop(std::move(done));
        due = state->takeDue();
      }
      runAll(std::move(due));
    }).detach();
  }

 private:
  State* const state_;
};

}  // namespace

std::shared_ptr<FloatStream> makeMonitorStream(std::shared_ptr<Connection> connection,
                                               StreamDelegate& delegate) {
  return std::make_shared<MonitorStream>(std::move(connection), delegate);
}

}  // namespace zarn::platform::pipewire
