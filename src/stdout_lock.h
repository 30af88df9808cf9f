// stdoutLock's type: the lock that keeps each frame whole on standard output. Frames are short, so
// with several writers the lock mostly changes hands while its holder is about to let go; on
// glibc it spins a little before it sleeps (an adaptive mutex), which spares a sleep and a
// wake-up per frame.
#pragma once

#include <chrono>

#if defined(__GLIBC__)
#include <pthread.h>
#else
#include <mutex>
#endif

namespace zarn {

class StdoutLock {
 public:
  StdoutLock();
  StdoutLock(const StdoutLock&) = delete;
  StdoutLock& operator=(const StdoutLock&) = delete;
  ~StdoutLock();

  void lock();
  void unlock();
  // Never waits: false if another thread holds the lock.
  bool try_lock() noexcept;
  // False if the lock was not had within the limit.
  bool try_lock_for(std::chrono::milliseconds limit);

 private:
#if defined(__GLIBC__)
  pthread_mutex_t mutex_;
#else
  std::timed_mutex mutex_;
#endif
};

}  // namespace zarn
