// stdoutLock: the lock that keeps each frame whole on standard output. The writer that holds it
// writes its own frame and then every frame that other writers queued meanwhile, each as its two
// writes, before it lets go; a writer that finds it held leaves its frame to the holder and waits
// until the frame is out. So the output never idles while the lock changes hands, and four
// writers move as many frames as one writer alone.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "platform/std_handles.h"

namespace zarn {

class StdoutLock {
 public:
  using Bytes = std::span<const std::uint8_t>;

  // Writes header and payload (if any) as two writes while holding the lock, in the order the
  // writers came; returns once both are on the descriptor.
  void writeFrame(Bytes header, Bytes payload, platform::OutputHandle& output);

  // Holding the lock without writing: nothing is written while it is held.
  void lock();
  void unlock();
  bool try_lock_for(std::chrono::milliseconds limit);  // false if not had within the limit

 private:
  struct Pending {
    Bytes header, payload;
    bool written = false;
  };
  void writeQueued(std::unique_lock<std::mutex>& access, platform::OutputHandle& output);

  std::mutex access_;
  std::condition_variable changed_;
  bool held_ = false;
  std::vector<Pending*> queued_;
  std::vector<Pending*> writing_;  // only touched by the holder
};

}  // namespace zarn
