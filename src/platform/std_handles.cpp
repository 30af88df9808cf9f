#include "platform/std_handles.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace zarn::platform {
namespace {

// A parent may hand us a non-blocking pipe; waiting here keeps writes whole and reads blocking.
void waitFor(int fd, short events) {
  pollfd entry{fd, events, 0};
  while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

std::chrono::steady_clock::rep now() {
  return std::chrono::steady_clock::now().time_since_epoch().count();
}

}  // namespace

bool OutputHandle::writeAll(const void* data, std::size_t size) {
  const char* next = static_cast<const char*>(data);
  waitingSince_.store(now(), std::memory_order_relaxed);
  while (size > 0) {
    if (broken()) break;
    ssize_t written = ::write(fd_, next, size);
    if (written > 0) {
      next += written;
      size -= static_cast<std::size_t>(written);
      waitingSince_.store(now(), std::memory_order_relaxed);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      waitFor(fd_, POLLOUT);
    } else {
      broken_.store(true, std::memory_order_release);
    }
  }
  waitingSince_.store(0, std::memory_order_relaxed);
  return !broken();
}

std::chrono::steady_clock::duration OutputHandle::stalledFor() const {
  const auto since = waitingSince_.load(std::memory_order_relaxed);
  return std::chrono::steady_clock::duration(since == 0 ? 0 : now() - since);
}

int InputHandle::readByte() {
  for (;;) {
    unsigned char byte = 0;
    ssize_t got = ::read(fd_, &byte, 1);
    if (got == 1) return byte;
    if (got == 0) return -1;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      waitFor(fd_, POLLIN);
      continue;
    }
    return -1;
  }
}

int standardInputFd() {
  return STDIN_FILENO;
}
int standardOutputFd() {
  return STDOUT_FILENO;
}

}  // namespace zarn::platform
