#include "fault_proxy.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <utility>

namespace zarn::test {
namespace {

// A PulseAudio packet: a header of five big-endian words (payload length, channel, two offset
// words, flags), then the payload; a control packet (channel ~0) starts its payload with the
// command as a tagged word ('L', then big-endian). A PipeWire message: a header of four
// little-endian words (object id, opcode << 24 | payload length, sequence, descriptor count), then
// the payload.
constexpr std::size_t kHeaders[] = {20, 16};
constexpr std::uint32_t kControlChannel = 0xFFFFFFFF, kLargestPayload = 1u << 24;
constexpr std::size_t kMostFds = 64;

std::uint32_t bigEndian(const std::uint8_t* at) {
  return std::uint32_t(at[0]) << 24 | std::uint32_t(at[1]) << 16 | std::uint32_t(at[2]) << 8 |
         at[3];
}
std::uint32_t littleEndian(const std::uint8_t* at) {
  return at[0] | std::uint32_t(at[1]) << 8 | std::uint32_t(at[2]) << 16 |
         std::uint32_t(at[3]) << 24;
}

// A blocking socket of our own, listening on or connected to `path`; -1 if that fails.
int unixSocket(const std::string& path, bool listen) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  path.copy(address.sun_path, path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto* at = reinterpret_cast<const sockaddr*>(&address);
  if (fd >= 0 && (listen ? ::bind(fd, at, sizeof address) == 0 && ::listen(fd, 16) == 0
                         : ::connect(fd, at, sizeof address) == 0))
    return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// All `size` bytes in or out, with descriptors: those received are added to `fds`, those to send
// go with the first byte. False when the connection ended or broke first.
bool transfer(int fd, std::uint8_t* at, std::size_t size, bool out, std::vector<int>& fds) {
  alignas(cmsghdr) char control[CMSG_SPACE(kMostFds * sizeof(int))];
  while (size > 0) {
    iovec data{at, size};
    msghdr message{};
    message.msg_iov = &data, message.msg_iovlen = 1;
    message.msg_control = control, message.msg_controllen = sizeof control;
    if (out && !fds.empty()) {
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET, header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
      std::memcpy(CMSG_DATA(header), fds.data(), fds.size() * sizeof(int));
      message.msg_controllen = CMSG_SPACE(fds.size() * sizeof(int));
    } else if (out) {
      message.msg_control = nullptr, message.msg_controllen = 0;
    }
    const ssize_t n =
        out ? ::sendmsg(fd, &message, MSG_NOSIGNAL) : ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    if (n == 0 || (n < 0 && errno != EINTR)) return false;
    if (n < 0) continue;
    if (out) {
      for (int passed : std::exchange(fds, {})) ::close(passed);  // the receiver has its own
    } else {
      for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
           header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const auto* received = reinterpret_cast<const int*>(CMSG_DATA(header));
        fds.insert(fds.end(), received, received + count);
      }
    }
    at += n, size -= std::size_t(n);
  }
  return true;
}

}  // namespace

FaultProxy::FaultProxy(std::string path, std::string server, Protocol protocol)
    : path_(std::move(path)),
      server_(std::move(server)),
      protocol_(protocol),
      listener_(unixSocket(path_, true)) {
  if (listener_ < 0) throw std::runtime_error("the proxy cannot listen on " + path_);
  acceptor_ = std::thread([this] { accept(); });
}

FaultProxy::~FaultProxy() {
  ::shutdown(listener_, SHUT_RDWR);  // ends the acceptor's wait
  acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(access_);
    for (Link& link : links_) close(link);
  }
  for (auto& thread : threads_) thread.join();
  for (Link& link : links_)
    for (int fd : link.fds)
      if (fd >= 0) ::close(fd);
  ::close(listener_);
  ::unlink(path_.c_str());
}

std::vector<std::uint32_t> FaultProxy::commands(Way way) {
  std::lock_guard<std::mutex> lock(access_);
  return seen_[way];
}

// Shut down, not closed: the link's threads may still be inside a call on them.
void FaultProxy::close(Link& link) {
  for (int fd : link.fds)
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  link.closed = true;
  for (auto& queue : link.queues) {
    for (Packet& packet : queue)
      for (int fd : packet.fds) ::close(fd);
    queue.clear();
  }
  changed_.notify_all();
}

void FaultProxy::accept() {
  for (int client; (client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
    // No server: the client is kept, and what it says stays unread.
    const int server = server_.empty() ? -1 : unixSocket(server_, false);
    std::lock_guard<std::mutex> lock(access_);
    Link& link = links_.emplace_back();
    link.fds[replies] = server, link.fds[requests] = client;
    if (server < 0 && !server_.empty()) close(link);
    for (Way way : {replies, requests})
      for (auto pass : {&FaultProxy::read, &FaultProxy::write})
        if (server >= 0) threads_.emplace_back(pass, this, std::ref(link), way);
  }
}

std::optional<std::uint32_t> FaultProxy::commandOf(const Packet& packet) const {
  const std::uint8_t* bytes = packet.bytes.data();
  if (protocol_ == pipewire) return littleEndian(bytes) << 8 | bytes[7];
  if (bigEndian(bytes + 4) != kControlChannel || packet.bytes.size() < kHeaders[pulse] + 5 ||
      bytes[kHeaders[pulse]] != 'L')
    return std::nullopt;
  return bigEndian(bytes + kHeaders[pulse] + 1);
}

void FaultProxy::read(Link& link, Way way) {
  const std::size_t header = kHeaders[protocol_];
  std::vector<int> received;  // descriptors not yet given to a packet
  for (bool whole = true; whole;) {
    Packet packet{std::vector<std::uint8_t>(header), {}};
    whole = transfer(link.fds[way], packet.bytes.data(), header, false, received);
    const std::uint32_t length = protocol_ == pulse ? bigEndian(packet.bytes.data())
                                                    : littleEndian(&packet.bytes[4]) & 0xFFFFFF;
    whole = whole && length <= kLargestPayload;  // past this the bytes are no packets of ours
    packet.bytes.resize(header + (whole ? length : 0));
    whole = whole && transfer(link.fds[way], packet.bytes.data() + header, length, false, received);
    // A PipeWire message names how many of the descriptors that came so far are its own; a
    // PulseAudio packet takes those that came with it.
    const std::size_t own =
        protocol_ == pulse || !whole
            ? received.size()
            : std::min<std::size_t>(littleEndian(&packet.bytes[12]), received.size());
    packet.fds.assign(received.begin(), received.begin() + std::ptrdiff_t(own));
    received.erase(received.begin(), received.begin() + std::ptrdiff_t(own));
    std::lock_guard<std::mutex> lock(access_);
    link.ended[way] = !whole;
    if (const auto command = whole ? commandOf(packet) : std::nullopt) {
      seen_[way].push_back(*command);
      if (way == requests && std::exchange(holdOnRequest_, false)) held_[replies] = true;
    }
    if (whole && !link.closed) {
      link.queues[way].push_back(std::move(packet));
    } else {
      for (int fd : packet.fds) ::close(fd);
    }
    changed_.notify_all();
  }
}

void FaultProxy::write(Link& link, Way way) {
  std::unique_lock<std::mutex> lock(access_);
  for (auto& queue = link.queues[way]; !link.closed;) {
    // A side that ended closes the connection once what it sent is passed on or dropped.
    if (link.ended[way] && (queue.empty() || held_[way])) return close(link);
    if (queue.empty() || held_[way]) {
      changed_.wait(lock);
    } else {
      Packet packet = std::move(queue.front());
      queue.pop_front();
      lock.unlock();
      const bool sent =
          transfer(link.fds[1 - way], packet.bytes.data(), packet.bytes.size(), true, packet.fds);
      for (int fd : packet.fds) ::close(fd);  // not sent
      lock.lock();
      if (!sent) close(link);
    }
  }
}

}  // namespace zarn::test
