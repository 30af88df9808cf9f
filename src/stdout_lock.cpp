#include "stdout_lock.h"

#include <ctime>

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

// On the monotonic clock: a wall clock stepped back during quit must not stretch quit's bound.
bool StdoutLock::try_lock_for(std::chrono::milliseconds limit) {
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  const auto total = until.tv_nsec + std::chrono::nanoseconds(limit).count();
  until.tv_sec += static_cast<time_t>(total / 1000000000);
  until.tv_nsec = static_cast<long>(total % 1000000000);
  return pthread_mutex_clocklock(&mutex_, CLOCK_MONOTONIC, &until) == 0;
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
bool StdoutLock::try_lock_for(std::chrono::milliseconds limit) {
  return mutex_.try_lock_for(limit);
}

#endif

}  // namespace zarn
