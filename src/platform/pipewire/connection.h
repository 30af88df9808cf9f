// One connection to the PipeWire daemon: a thread loop of its own, a core on it, and what the
// registry says about outputs (sinks), links and the default output. The content query opens it;
// the displays, the filter and the stream made from that content share it, and the last of them
// to go closes it.
#pragma once

#include <pipewire/core.h>
#include <pipewire/thread-loop.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/answer_watch.h"
#include "platform/loop_lock.h"

namespace zarn::platform::pipewire {

struct Sink {
  std::string name;
  std::uint32_t rate = 0;      // the output's own rate; 0 when it does not say
  std::uint32_t channels = 0;  // likewise
};

// Told on the loop thread, under its lock.
class GraphListener {
 public:
  virtual void graphChanged() = 0;  // sinks, their formats, links or the default output
  virtual void connectionLost(const std::string& reason) = 0;

 protected:
  ~GraphListener() = default;
};

class Connection {
 public:
  // Connects and waits, at most `bound`, until the daemon has answered and told what it holds.
  // Blocks: never call it on a loop thread. On failure returns null and sets `error`.
  static std::shared_ptr<Connection> open(std::chrono::milliseconds bound, std::string& error);

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  pw_thread_loop* threadLoop() const { return threadLoop_; }
  pw_core* core() const { return core_; }

  // The rest under the lock.
  bool ready() const { return lost_.empty(); }
  const std::string& lossReason() const { return lost_; }
  const std::map<std::uint32_t, Sink>& sinks() const { return sinks_; }
  // The sinks' names, the default output first.
  std::vector<std::string> outputNames() const;
  std::optional<Sink> defaultSink() const;
  // The node has links, and every one of them comes from an output (its monitor).
  bool linkedOnlyToOutputs(std::uint32_t node) const;
  void setListener(GraphListener* listener) { listener_ = listener; }

  struct Lock : LoopLock<pw_thread_loop, pw_thread_loop_lock, pw_thread_loop_unlock> {
    explicit Lock(const Connection& connection) : LoopLock(connection.threadLoop_) {}
  };

  struct Registry;  // the registry and the objects bound from it

 private:
  Connection() = default;
  bool connect(std::chrono::milliseconds bound, std::string& error);
  void changed();
  void lose(const std::string& reason);
  void startWatch();
  static void onWatchTick(void* data, std::uint64_t);

  pw_thread_loop* threadLoop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  std::unique_ptr<Registry> registry_;
  bool running_ = false;
  int syncsLeft_ = 2;  // the first round binds the objects, the second brings their details
  int syncSeq_ = 0;
  std::string lost_;
  linux_audio::AnswerWatch watch_;  // a daemon that stops answering is lost
  spa_source* watchTimer_ = nullptr;
  int watchSeq_ = -1;

  std::map<std::uint32_t, Sink> sinks_;
  std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> links_;  // output, input node
  std::string defaultName_;
  GraphListener* listener_ = nullptr;
};

}  // namespace zarn::platform::pipewire
