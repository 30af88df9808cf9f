// Standard input and output as the frame writer and the command reader need them: unbuffered
// whole writes and blocking one-byte reads, whatever blocking mode the parent gave the pipes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zarn::platform {

class OutputHandle {
 public:
  // `hungUp` runs on the writing thread when a write finds the reader gone (EPIPE).
  explicit OutputHandle(int fd, void (*hungUp)() = nullptr);
  OutputHandle(const OutputHandle&) = delete;
  OutputHandle& operator=(const OutputHandle&) = delete;
  ~OutputHandle();

  // Writes every byte before it returns, continuing partial writes, retrying EINTR and waiting
  // out EAGAIN. Any other error makes the handle broken: this and every later write return false
  // without writing, since a stream cut inside a frame can no longer be framed.
  bool writeAll(const void* data, std::size_t size);
  bool broken() const { return broken_.load(std::memory_order_acquire); }

  // For a thread that must never wait: all `size` bytes in one system call that cannot block, or
  // nothing (false). Only where the output is a pipe, `size` is at most kWholeWriteMost (such a
  // write to a pipe is whole or refused) and a descriptor of our own could be opened non-blocking
  // on it, so the blocking mode of the one the parent gave us, which others may share, is left
  // alone. Failures other than a full pipe are left for writeAll to meet and handle.
  bool tryWriteWhole(const void* data, std::size_t size) noexcept;
  static constexpr std::size_t kWholeWriteMost = 4096;  // Linux's PIPE_BUF

 private:
  int fd_;
  int wholeFd_ = -1;  // the non-blocking descriptor of our own, or -1
  void (*hungUp_)();
  std::atomic<bool> broken_{false};
};

class InputHandle {
 public:
  explicit InputHandle(int fd) : fd_(fd) {}

  // Blocks until one byte arrives; returns it (0-255), or -1 at the end of input. A read error
  // other than EINTR or EAGAIN counts as the end of input.
  int readByte();

 private:
  int fd_;
};

// Opens every closed standard descriptor (0-2) on /dev/null, so that no file, pipe or socket
// opened later takes its number: frames must only ever reach the parent's standard output. Then
// points standard error at /dev/null, since libraries log there on their own and the program
// must never write to it. Sanitizer builds keep their reports on a copy of the original.
void guardStandardHandles();

int standardInputFd();
int standardOutputFd();

}  // namespace zarn::platform
