// Standard input and output as the frame writer and the command reader need them: unbuffered
// whole writes and blocking one-byte reads, whatever blocking mode the parent gave the pipes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zarn::platform {

class OutputHandle {
 public:
  explicit OutputHandle(int fd) : fd_(fd) {}

  // Writes every byte before it returns, continuing partial writes, retrying EINTR and waiting
  // out EAGAIN. Any other error makes the handle broken: this and every later write return false
  // without writing, since a stream cut inside a frame can no longer be framed.
  bool writeAll(const void* data, std::size_t size);
  bool broken() const { return broken_.load(std::memory_order_acquire); }

  // How long the write in progress has gone without the reader taking a byte; zero when no write
  // is under way.
  std::chrono::steady_clock::duration stalledFor() const;

 private:
  int fd_;
  std::atomic<bool> broken_{false};
  std::atomic<std::chrono::steady_clock::rep> waitingSince_{0};  // 0: not writing
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

int standardInputFd();
int standardOutputFd();

}  // namespace zarn::platform
