#include "stdout_lock.h"

#include <utility>

namespace zarn {

void StdoutLock::writeFrame(Bytes header, Bytes payload, platform::OutputHandle& output) {
  Pending frame{header, payload};
  std::unique_lock<std::mutex> access(access_);
  queued_.push_back(&frame);
  changed_.wait(access, [&] { return frame.written || !held_; });
  if (frame.written) return;
  held_ = true;
  writeQueued(access, output);
  held_ = false;
  changed_.notify_all();
}

// Until nothing is queued: the frames are written outside the mutex, so others can queue more.
void StdoutLock::writeQueued(std::unique_lock<std::mutex>& access, platform::OutputHandle& output) {
  while (!queued_.empty()) {
    std::swap(writing_, queued_);
    access.unlock();
    for (Pending* frame : writing_) {
      if (output.writeAll(frame->header.data(), frame->header.size()) && !frame->payload.empty())
        output.writeAll(frame->payload.data(), frame->payload.size());
    }
    access.lock();
    for (Pending* frame : writing_) frame->written = true;
    writing_.clear();
    changed_.notify_all();
  }
}

void StdoutLock::lock() {
  std::unique_lock<std::mutex> access(access_);
  changed_.wait(access, [&] { return !held_; });
  held_ = true;
}

void StdoutLock::unlock() {
  std::lock_guard<std::mutex> access(access_);
  held_ = false;
  changed_.notify_all();  // a queued frame's writer takes over
}

bool StdoutLock::try_lock_for(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> access(access_);
  if (!changed_.wait_for(access, limit, [&] { return !held_; })) return false;
  held_ = true;
  return true;
}

}  // namespace zarn
