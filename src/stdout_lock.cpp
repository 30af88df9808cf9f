#include "stdout_lock.h"

#include <thread>

namespace zarn {

#if defined(__GLIBC__)

StdoutLock::StdoutLock() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(&mutex_, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

StdoutLock::~StdoutLock() {
  pthread_mutex_destroy(&mutex_);
}

void StdoutLock::lock() {
  pthread_mutex_lock(&mutex_);
}

void StdoutLock::unlock() {
  pthread_mutex_unlock(&mutex_);
}

bool StdoutLock::try_lock() noexcept {
  return pthread_mutex_trylock(&mutex_) == 0;
}

// On the monotonic clock: a wall clock stepped back during quit must not stretch quit's bound.
// Tries, and sleeps a millisecond between tries: quit is the only caller, once per process, when
// nothing but a frame already in progress can want the lock.
bool StdoutLock::try_lock_for(std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (pthread_mutex_trylock(&mutex_) != 0) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

#else

StdoutLock::StdoutLock() = default;
StdoutLock::~StdoutLock() = default;
void StdoutLock::lock() {
  mutex_.lock();
}
void StdoutLock::unlock() {
  mutex_.unlock();
}
bool StdoutLock::try_lock() noexcept {
  return mutex_.try_lock();
}
bool StdoutLock::try_lock_for(std::chrono::milliseconds limit) {
  return mutex_.try_lock_for(limit);
}

#endif

}  // namespace zarn
