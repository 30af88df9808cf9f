// Fault injection between the product and a private sound server: a proxy on the server's socket
// (PulseAudio's native protocol or PipeWire's) that passes whole packets on, in order, with the
// descriptors that come with them, and can hold them; without a server behind it, a
// server that accepts connections and never answers.
#pragma once

#include <condition_variable>
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
  enum Protocol { pulse, pipewire };

  // Listens on the unix socket `path`; each client gets a connection of its own to `server`, or,
  // with no server, is accepted and never answered. Throws if it cannot listen.
  FaultProxy(std::string path, std::string server, Protocol protocol = pulse);
  ~FaultProxy();

  const std::string& path() const { return path_; }

  // From now on, packets that way wait (a packet half passed on is finished first).
  void hold(Way way) { set(held_[way], true); }
  static constexpr std::uint32_t kAnyCommand = 0xFFFFFFFF;
  // Once the next request comes, replies wait (until released). A command is a control packet's
  // command (PulseAudio) or a message's object id << 8 | opcode (PipeWire).
  void holdRepliesAfterNextRequest() { set(holdOnRequest_, true); }
  // Passes on what waits, in order, and what comes after.
  void release(Way way) { set(held_[way], false); }
  std::vector<std::uint32_t> commands(Way way);  // seen that way so far, in order
  bool holding(Way way) {
    std::lock_guard<std::mutex> lock(access_);
    return held_[way];
  }

 private:
  struct Packet {
    std::vector<std::uint8_t> bytes;
    std::vector<int> fds;  // passed on with the packet's first byte
  };
  struct Link {
    int fds[2] = {-1, -1};  // indexed by the Way read from them: the server's, the client's
    std::deque<Packet> queues[2];
    bool ended[2] = {}, closed = false;
  };

  template <class Value>
  void set(Value& field, Value value) {
    std::lock_guard<std::mutex> lock(access_);
    field = value;
    changed_.notify_all();
  }
  void accept();
  void read(Link& link, Way way);   // a thread per way and link: packets into the queue
  void write(Link& link, Way way);  // ... and out of it, when free to go
  void close(Link& link);           // under the lock

  std::optional<std::uint32_t> commandOf(const Packet& packet) const;

  const std::string path_, server_;
  const Protocol protocol_;
  int listener_ = -1;
  std::mutex access_;  // everything below
  std::condition_variable changed_;
  bool held_[2] = {};
  bool holdOnRequest_ = false;
  std::vector<std::uint32_t> seen_[2];
  std::list<Link> links_;
  std::vector<std::thread> threads_;  // the links'
  std::thread acceptor_;
};

}  // namespace zarn::test
