#include "fault_proxy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

namespace zarn::test {
namespace {

// A packet of the native protocol: a header of five big-endian words (payload length, channel,
// two offset words, flags), then the payload; a control packet (channel ~0) starts its payload
// with the command as a tagged word ('L', then big-endian).
constexpr std::size_t kHeader = 20;
constexpr std::uint32_t kControlChannel = 0xFFFFFFFF;
constexpr std::uint32_t kLargestPayload = 1u << 24;  // past this the bytes are no packets of ours

std::uint32_t bigEndian(const std::uint8_t* at) {
  return std::uint32_t(at[0]) << 24 | std::uint32_t(at[1]) << 16 | std::uint32_t(at[2]) << 8 |
         at[3];
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) throw std::runtime_error("too long: " + path);
  path.copy(address.sun_path, path.size());
  return address;
}

int unixSocket() {
  return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

}  // namespace

FaultProxy::FaultProxy(std::string path, std::string server)
    : path_(std::move(path)), server_(std::move(server)) {
  const sockaddr_un address = addressOf(path_);
  listener_ = unixSocket();
  if (listener_ < 0 || ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0 ||
      ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0) {
    for (int fd : {listener_, wake_[0], wake_[1]})
      if (fd >= 0) ::close(fd);
    throw std::runtime_error("the proxy cannot listen on " + path_);
  }
  worker_ = std::thread([this] { run(); });
}

FaultProxy::~FaultProxy() {
  {
    std::lock_guard<std::mutex> hold(access_);
    stopping_ = true;
  }
  wake();
  worker_.join();
  for (auto& link : links_) closeLink(link);
  for (int fd : {listener_, wake_[0], wake_[1]}) ::close(fd);
  ::unlink(path_.c_str());
}

void FaultProxy::hold(Way way) {
  std::lock_guard<std::mutex> hold(access_);
  gates_[way].held = true;
}

void FaultProxy::holdWhen(std::uint32_t command, Way way) {
  std::lock_guard<std::mutex> hold(access_);
  trigger_ = {command, way};
}

void FaultProxy::release(Way way) {
  {
    std::lock_guard<std::mutex> hold(access_);
    gates_[way].held = false;
  }
  wake();
}

void FaultProxy::delay(Way way, std::chrono::milliseconds delay) {
  {
    std::lock_guard<std::mutex> hold(access_);
    gates_[way].delay = delay;
  }
  wake();
}

void FaultProxy::cut() {
  {
    std::lock_guard<std::mutex> hold(access_);
    // Shut down here, closed by the worker: a descriptor it polls must not be closed under it.
    for (auto& link : links_) {
      for (Flow& flow : link.flows) {
        if (flow.from >= 0) ::shutdown(flow.from, SHUT_RDWR);
        flow.queue.clear(), flow.partial.clear(), flow.sent = 0;
      }
    }
  }
  wake();
}

bool FaultProxy::holding(Way way) {
  std::lock_guard<std::mutex> hold(access_);
  return gates_[way].held;
}

std::size_t FaultProxy::waiting(Way way) {
  std::lock_guard<std::mutex> hold(access_);
  std::size_t count = 0;
  for (const auto& link : links_) count += link.flows[way].queue.size();
  return count;
}

std::vector<std::uint32_t> FaultProxy::commands(Way way) {
  std::lock_guard<std::mutex> hold(access_);
  return seen_[way];
}

void FaultProxy::wake() {
  (void)!::write(wake_[1], "", 1);
}

void FaultProxy::closeLink(Link& link) {
  for (int fd : {link.flows[requests].from, link.flows[replies].from})
    if (fd >= 0) ::close(fd);
}

bool FaultProxy::passable(const Flow& flow, Way way, Clock::time_point now) const {
  if (flow.queue.empty() || flow.to < 0) return false;
  return flow.sent > 0 || (!gates_[way].held && now >= flow.queue.front().came + gates_[way].delay);
}

// One thread does all the passing on, under the lock but for its waits.
void FaultProxy::run() {
  std::unique_lock<std::mutex> lock(access_);
  while (!stopping_) {
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    const auto before = Clock::now();
    for (const auto& link : links_) {
      for (Way way : {requests, replies}) {
        const Flow& flow = link.flows[way];
        if (flow.from >= 0 && !flow.ended) fds.push_back({flow.from, POLLIN, 0});
        if (passable(flow, way, before)) fds.push_back({flow.to, POLLOUT, 0});
      }
    }
    const int timeout = pollTimeout(before);
    lock.unlock();
    ::poll(fds.data(), fds.size(), timeout);
    for (char drained[64]; ::read(wake_[0], drained, sizeof drained) > 0;) continue;
    lock.lock();
    if (fds[1].revents != 0) accept();
    const auto now = Clock::now();
    for (auto link = links_.begin(); link != links_.end();) {
      bool open = true;
      for (Way way : {requests, replies}) {
        Flow& flow = link->flows[way];
        open = open && readInto(flow, way) && pass(flow, way, now);
        // A side that ended closes the connection once what it sent is passed on or dropped.
        open = open && !(flow.ended && (flow.queue.empty() || gates_[way].held));
      }
      if (open) {
        ++link;
      } else {
        closeLink(*link);
        link = links_.erase(link);
      }
    }
  }
}

// Until the earliest delayed packet is due (those due wait for POLLOUT); a wake-up brings every
// other change.
int FaultProxy::pollTimeout(Clock::time_point now) {
  auto due = Clock::time_point::max();
  for (const auto& link : links_) {
    for (Way way : {requests, replies}) {
      const Flow& flow = link.flows[way];
      if (!flow.queue.empty() && flow.to >= 0 && !gates_[way].held && !passable(flow, way, now))
        due = std::min(due, flow.queue.front().came + gates_[way].delay);
    }
  }
  if (due == Clock::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1000));
}

void FaultProxy::accept() {
  for (int client;
       (client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
    int server = -1;
    if (!server_.empty()) {
      const sockaddr_un address = addressOf(server_);
      server = unixSocket();
      // A local server accepts at once or not at all.
      if (server < 0 ||
          ::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(client);
        if (server >= 0) ::close(server);
        continue;
      }
    }
    Link& link = links_.emplace_back();
    link.flows[requests].from = link.flows[replies].to = client;
    link.flows[replies].from = link.flows[requests].to = server;
  }
}

// Takes what `from` has, cut into packets; false when the connection broke.
bool FaultProxy::readInto(Flow& flow, Way way) {
  for (std::uint8_t chunk[65536]; flow.from >= 0 && !flow.ended;) {
    const ssize_t got = ::read(flow.from, chunk, sizeof chunk);
    if (got < 0) return errno == EAGAIN || errno == EINTR;
    flow.ended = got == 0;
    if (flow.to < 0) continue;  // nobody to answer: what the client says is dropped
    flow.partial.insert(flow.partial.end(), chunk, chunk + got);
    while (flow.partial.size() >= kHeader) {
      const std::uint32_t length = bigEndian(flow.partial.data());
      const std::size_t size = length > kLargestPayload ? flow.partial.size() : kHeader + length;
      if (flow.partial.size() < size) break;
      Packet packet{Clock::now(), {flow.partial.begin(), flow.partial.begin() + size}, {}};
      flow.partial.erase(flow.partial.begin(), flow.partial.begin() + size);
      if (bigEndian(&packet.bytes[4]) == kControlChannel && size >= kHeader + 5 &&
          packet.bytes[kHeader] == 'L') {
        packet.command = bigEndian(&packet.bytes[kHeader + 1]);
        seen_[way].push_back(*packet.command);
      }
      if (way == requests && trigger_ && packet.command &&
          (trigger_->first == kAnyCommand || packet.command == trigger_->first)) {
        const Way held = std::exchange(trigger_, std::nullopt)->second;
        // What came before it goes on, also when it came in the same read.
        if (held == requests && !pass(flow, way, Clock::now())) return false;
        gates_[held].held = true;
      }
      flow.queue.push_back(std::move(packet));
    }
  }
  return true;
}

// Passes on the packets that are free to go; false when the connection broke.
bool FaultProxy::pass(Flow& flow, Way way, Clock::time_point now) {
  while (passable(flow, way, now)) {
    Packet& front = flow.queue.front();
    const ssize_t sent = ::send(flow.to, front.bytes.data() + flow.sent,
                                front.bytes.size() - flow.sent, MSG_NOSIGNAL);
    if (sent < 0) return errno == EAGAIN || errno == EINTR;
    flow.sent += static_cast<std::size_t>(sent);
    if (flow.sent < front.bytes.size()) return true;
    flow.sent = 0;
    flow.queue.pop_front();
  }
  return true;
}

}  // namespace zarn::test
