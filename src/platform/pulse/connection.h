// One connection to the sound server: a threaded main loop of its own and a context on it. The
// content query opens it; the displays, the filter and the stream made from that content share
// it, and the last of them to go closes it.
#pragma once

#include "platform/pulse/library.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/answer_watch.h"
#include "platform/loop_lock.h"
#include "platform/pulse/outputs.h"

namespace zarn::platform::pulse {

// Told, on the main loop thread, when the connection fails after it was made.
class ConnectionListener {
 public:
  virtual void connectionLost(const std::string& reason) = 0;

 protected:
  ~ConnectionListener() = default;
};

class Connection {
 public:
  // Connects, never starting a server, and waits until the connection is ready or has failed.
  // Blocks: never call it on a main loop thread. On failure returns null and sets `error` to
  // the library's text.
  static std::shared_ptr<Connection> open(std::string& error);

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  // Lists the server's outputs and its default output's name. Blocks like open().
  bool listOutputs(std::vector<Output>& sinks, std::string& defaultName, std::string& error);

  pa_threaded_mainloop* mainloop() const { return mainloop_; }
  pa_context* context() const { return context_; }
  bool ready() const;  // under the lock
  // The library's text for the context's last error.
  std::string lastError() const;

  // Under the lock: the server left a question unanswered for too long (see AnswerWatch).
  bool stoppedAnswering() const { return stoppedAnswering_; }
  // Under the lock. At most one listener; null to stop listening.
  void setListener(ConnectionListener* listener) { listener_ = listener; }

  // Holds the main loop's lock for a scope; not for the main loop thread, which already has it
  // whenever it runs our code.
  static void lockLoop(pa_threaded_mainloop* loop) { pa_threaded_mainloop_lock(loop); }
  static void unlockLoop(pa_threaded_mainloop* loop) { pa_threaded_mainloop_unlock(loop); }
  struct Lock : LoopLock<pa_threaded_mainloop, lockLoop, unlockLoop> {
    explicit Lock(const Connection& connection) : LoopLock(connection.mainloop_) {}
  };

 private:
  Connection() = default;
  // Under the lock: waits until `done` holds or the server has had kAnswerBound to make it so.
  template <class Done>
  bool waitBounded(Done done);
  void watchAfter(std::chrono::milliseconds span);
  static void onStateChange(pa_context* context, void* self);
  static void onOverdue(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                        void* self);
  static void onWatchTick(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                          void* self);
  static void onServerInfo(pa_context*, const pa_server_info*, void* self);

  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  bool running_ = false;    // the main loop thread was started
  bool connected_ = false;  // reached the ready state once; a failure now is a loss
  ConnectionListener* listener_ = nullptr;
  bool overdue_ = false;  // a bounded wait ran out
  linux_audio::AnswerWatch watch_;
  bool stoppedAnswering_ = false;
  pa_time_event* watchTimer_ = nullptr;
  pa_operation* question_ = nullptr;  // the watch's question under way
};

}  // namespace zarn::platform::pulse
