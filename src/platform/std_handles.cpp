#include "platform/std_handles.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#define ZARN_SANITIZED 1
#endif

namespace zarn::platform {
namespace {

// A parent may hand us a non-blocking pipe; waiting here keeps writes whole and reads blocking.
void waitFor(int fd, short events) {
  pollfd entry{fd, events, 0};
  while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

// A second open file description of the pipe behind `fd`, non-blocking, through /proc; -1 where
// that is not a pipe or cannot be reopened. Elsewhere (macOS) /dev/fd only duplicates the
// descriptor, which would share its blocking mode, so there is none.
int openNonBlockingTwin([[maybe_unused]] int fd) {
#if defined(__linux__)
  static_assert(PIPE_BUF >= OutputHandle::kWholeWriteMost);  // Linux's is 4096; macOS's only 512
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) return -1;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  return ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
#else
  return -1;
#endif
}

}  // namespace

OutputHandle::OutputHandle(int fd, void (*hungUp)())
    : fd_(fd), wholeFd_(openNonBlockingTwin(fd)), hungUp_(hungUp) {}

OutputHandle::~OutputHandle() {
  if (wholeFd_ >= 0) ::close(wholeFd_);
}

bool OutputHandle::tryWriteWhole(const void* data, std::size_t size) noexcept {
  if (wholeFd_ < 0 || size > kWholeWriteMost || broken()) return false;
  return ::write(wholeFd_, data, size) == static_cast<ssize_t>(size);
}

bool OutputHandle::writeAll(const void* data, std::size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    if (broken()) break;
    ssize_t written = ::write(fd_, next, size);
    if (written > 0) {
      next += written;
      size -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      waitFor(fd_, POLLOUT);
    } else {
      const bool hungUp = written < 0 && errno == EPIPE;
      broken_.store(true, std::memory_order_release);
      if (hungUp && hungUp_ != nullptr) hungUp_();
    }
  }
  return !broken();
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

void guardStandardHandles() {
  // open() takes the lowest free number, so going up from 0 refills exactly the closed ones.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) ::close(opened);  // cannot happen; never keep a stray one
  }
#ifdef ZARN_SANITIZED
  const int reports = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (reports >= 0) __sanitizer_set_report_fd(reinterpret_cast<void*>(std::intptr_t{reports}));
#endif
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
  ::dup2(null, STDERR_FILENO);
  ::close(null);
}

int standardInputFd() {
  return STDIN_FILENO;
}
int standardOutputFd() {
  return STDOUT_FILENO;
}

}  // namespace zarn::platform
