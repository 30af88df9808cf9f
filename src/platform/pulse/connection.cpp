#include "platform/pulse/connection.h"

#include <thread>

#include "platform/pulse/output_query.h"

namespace zarn::platform::pulse {
namespace {

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
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) {
      error = connection->lastError();
      return nullptr;
    }
    pa_threaded_mainloop_wait(connection->mainloop_);
  }
  connection->connected_ = true;
  return connection;
}

Connection::~Connection() {
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
  while (sent && !answered && ready()) pa_threaded_mainloop_wait(mainloop_);
  if (!ok) error = lastError();
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
