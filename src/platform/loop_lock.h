// Holds a client library's event-loop lock for a scope.
#pragma once

namespace zarn::platform {

template <class Loop, void (*lockLoop)(Loop*), void (*unlockLoop)(Loop*)>
class LoopLock {
 public:
  explicit LoopLock(Loop* loop) : loop_(loop) { lockLoop(loop_); }
  ~LoopLock() { unlockLoop(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  Loop* loop_;
};

}  // namespace zarn::platform
