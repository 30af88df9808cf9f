#include "platform/pulse/connection.h"

#include <thread>
#include <utility>

#include "platform/pulse/output_query.h"

namespace zarn::platform::pulse {
namespace {

// How long the connection and the first listing may take. libpulse's own limit is about 30 s; a
// server that accepts and never answers must give "start failed" sooner.
constexpr std::chrono::milliseconds kAnswerBound{4000};

pa_usec_t after(std::chrono::milliseconds span) {
  return pa_rtclock_now() + static_cast<pa_usec_t>(span.count()) * PA_USEC_PER_MSEC;
}

void closeNow(pa_threaded_mainloop* mainloop, pa_context* context, bool running) {
  if (context != nullptr) {
    if (running) pa_threaded_mainloop_lock(mainloop);
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    if (running) pa_threaded_mainloop_unlock(mainloop);
  }
  if (mainloop != nullptr) {
    if (running) pa_threaded_mainloop_stop(mainloop);
    pa_threaded_mainloop_free(mainloop);
  }
}

}  // namespace

std::shared_ptr<Connection> Connection::open(std::string& error) {
  if (!library::load(error)) return nullptr;
  std::shared_ptr<Connection> connection(new Connection);
  connection->mainloop_ = pa_threaded_mainloop_new();
  if (connection->mainloop_ == nullptr) {
    error = pa_strerror(PA_ERR_INTERNAL);
    return nullptr;
  }
  connection->context_ =
      pa_context_new(pa_threaded_mainloop_get_api(connection->mainloop_), "zarn-audio");
  if (connection->context_ == nullptr) {
    error = pa_strerror(PA_ERR_INTERNAL);
    return nullptr;
  }
  pa_context_set_state_callback(connection->context_, onStateChange, connection.get());
  if (pa_threaded_mainloop_start(connection->mainloop_) < 0) {
    error = pa_strerror(PA_ERR_INTERNAL);
    return nullptr;
  }
  connection->running_ = true;

  Lock lock(*connection);
  pa_context* context = connection->context_;
  // A helper that finds no server says so; it never starts one.
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    error = connection->lastError();
    return nullptr;
  }
  const bool answered = connection->waitBounded([context] {
    const pa_context_state_t state = pa_context_get_state(context);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
  });
  if (!answered || !connection->ready()) {
    error = answered ? connection->lastError() : "the sound server did not answer";
    return nullptr;
  }
  connection->connected_ = true;
  connection->watchAfter(linux_audio::AnswerWatch::kTick);
  return connection;
}

template <class Done>
bool Connection::waitBounded(Done done) {
  overdue_ = false;
  pa_time_event* timer = pa_context_rttime_new(context_, after(kAnswerBound), onOverdue, this);
  while (!done() && !overdue_) pa_threaded_mainloop_wait(mainloop_);
  if (timer != nullptr && !overdue_) pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
  return done();
}

void Connection::onOverdue(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                           void* data) {
  auto* self = static_cast<Connection*>(data);
  api->time_free(event);
  self->overdue_ = true;
  pa_threaded_mainloop_signal(self->mainloop_, 0);
}

// A question per tick while the connection lives; a server stopped or hung never answers it.
void Connection::watchAfter(std::chrono::milliseconds span) {
  watchTimer_ = pa_context_rttime_new(context_, after(span), onWatchTick, this);
}

void Connection::onWatchTick(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                             void* data) {
  auto* self = static_cast<Connection*>(data);
  api->time_free(event);
  self->watchTimer_ = nullptr;
  if (!self->ready()) return;
  switch (self->watch_.tick(linux_audio::AnswerWatch::Clock::now())) {
    case linux_audio::AnswerWatch::Verdict::ask:
      self->question_ = pa_context_get_server_info(self->context_, onServerInfo, self);
      break;
    case linux_audio::AnswerWatch::Verdict::silent:
      self->stoppedAnswering_ = true;
      if (self->listener_ != nullptr) {
        self->listener_->connectionLost(linux_audio::AnswerWatch::kStoppedText);
      }
      return;  // said once; nothing more to watch
    case linux_audio::AnswerWatch::Verdict::wait:
      break;
  }
  self->watchAfter(linux_audio::AnswerWatch::kTick);
}

void Connection::onServerInfo(pa_context*, const pa_server_info*, void* data) {
  auto* self = static_cast<Connection*>(data);
  if (self->question_ != nullptr) pa_operation_unref(std::exchange(self->question_, nullptr));
  self->watch_.answered();
}

Connection::~Connection() {
  // The watch reaches this object: it ends now, not with the main loop.
  if (running_ && (watchTimer_ != nullptr || question_ != nullptr)) {
    const bool inLoop = pa_threaded_mainloop_in_thread(mainloop_);
    if (!inLoop) pa_threaded_mainloop_lock(mainloop_);
    if (watchTimer_ != nullptr) pa_threaded_mainloop_get_api(mainloop_)->time_free(watchTimer_);
    if (question_ != nullptr) {
      pa_operation_cancel(question_);
      pa_operation_unref(question_);
    }
    if (!inLoop) pa_threaded_mainloop_unlock(mainloop_);
  }
  if (running_ && pa_threaded_mainloop_in_thread(mainloop_)) {
    // The main loop cannot stop itself from inside; let a thread of its own close it.
    std::thread(closeNow, mainloop_, context_, running_).detach();
    return;
  }
  closeNow(mainloop_, context_, running_);
}

bool Connection::listOutputs(std::vector<Output>& sinks, std::string& defaultName,
                             std::string& error) {
  Lock lock(*this);
  bool answered = false;
  bool ok = false;
  OutputQuery query;
  const bool sent = query.send(
      context_, [&](bool good, const std::string& name, const std::vector<Output>& list) {
        answered = true;
        ok = good;
        defaultName = name;
        sinks = list;
        pa_threaded_mainloop_signal(mainloop_, 0);
      });
  const bool inTime = sent && waitBounded([&] { return answered || !ready(); });
  if (!ok) error = sent && !inTime ? "the sound server did not answer" : lastError();
  return ok;
}

bool Connection::ready() const {
  return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

std::string Connection::lastError() const {
  return pa_strerror(pa_context_errno(context_));
}

void Connection::onStateChange(pa_context* context, void* data) {
  auto* self = static_cast<Connection*>(data);
  pa_threaded_mainloop_signal(self->mainloop_, 0);
  if (!self->connected_ || self->listener_ == nullptr) return;
  if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) return;
  self->listener_->connectionLost(self->lastError());
}

}  // namespace zarn::platform::pulse
