// Fault injection between the product and a private sound server: a proxy on the client library's
// native socket that passes whole packets on, in order, and can hold, delay or cut them; without a
// server behind it, a server that accepts connections and never answers.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zarn::test {

class FaultProxy {
 public:
  enum Way { replies, requests };  // server to client, client to server

  // Listens on the unix socket `path`; each client gets a connection of its own to `server`, or,
  // with no server, is accepted and never answered. Throws if it cannot listen.
  FaultProxy(std::string path, std::string server);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  const std::string& path() const { return path_; }

  // From now on, packets that way wait (a packet half passed on is finished first).
  void hold(Way way);
  static constexpr std::uint32_t kAnyCommand = 0xFFFFFFFF;
  // Once a request carrying `command` (or any, with kAnyCommand) comes, packets `way` wait from it
  // on (that request included, when `way` is requests). Set until it fires; hold/release leave it.
  void holdWhen(std::uint32_t command, Way way);
  // Passes on what waits, in order, and what comes after.
  void release(Way way);
  // Each packet that way is passed on no sooner than `delay` after it came.
  void delay(Way way, std::chrono::milliseconds delay);
  // Closes every connection now, both ways, dropping what waits; later clients connect anew.
  void cut();

  bool holding(Way way);
  std::size_t waiting(Way way);                  // packets queued that way, over all connections
  std::vector<std::uint32_t> commands(Way way);  // seen that way so far, in order

 private:
  using Clock = std::chrono::steady_clock;
  struct Packet {
    Clock::time_point came;
    std::vector<std::uint8_t> bytes;
    std::optional<std::uint32_t> command;  // of a control packet
  };
  struct Flow {  // one way of one connection
    int from = -1, to = -1;
    std::vector<std::uint8_t> partial;  // the start of a packet not yet whole
    std::deque<Packet> queue;
    std::size_t sent = 0;  // of the queue's front
    bool ended = false;    // `from` reached its end
  };
  struct Link {
    Flow flows[2];  // indexed by Way
  };
  struct Gate {
    bool held = false;
    std::chrono::milliseconds delay{0};
  };

  void run();
  int pollTimeout(Clock::time_point now);
  bool passable(const Flow& flow, Way way, Clock::time_point now) const;  // its front may go now
  void accept();
  bool readInto(Flow& flow, Way way);
  bool pass(Flow& flow, Way way, Clock::time_point now);
  static void closeLink(Link& link);
  void wake();

  const std::string path_, server_;
  int listener_ = -1, wake_[2] = {-1, -1};
  std::mutex access_;  // everything below, and the links
  bool stopping_ = false;
  Gate gates_[2];
  std::optional<std::pair<std::uint32_t, Way>> trigger_;
  std::vector<std::uint32_t> seen_[2];
  std::list<Link> links_;
  std::thread worker_;
};

}  // namespace zarn::test
