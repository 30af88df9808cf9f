#include "platform/output_lock.h"

#include <ctime>

namespace zarn::platform {

#if defined(__GLIBC__)

OutputLock::OutputLock() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(&mutex_, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

OutputLock::~OutputLock() {
  pthread_mutex_destroy(&mutex_);
}

void OutputLock::lock() {
  pthread_mutex_lock(&mutex_);
}

void OutputLock::unlock() {
  pthread_mutex_unlock(&mutex_);
}

bool OutputLock::try_lock_for(std::chrono::milliseconds limit) {
  timespec until{};
  clock_gettime(CLOCK_REALTIME, &until);
  const auto total = until.tv_nsec + std::chrono::nanoseconds(limit).count();
  until.tv_sec += static_cast<time_t>(total / 1000000000);
  until.tv_nsec = static_cast<long>(total % 1000000000);
  return pthread_mutex_timedlock(&mutex_, &until) == 0;
}

#else

OutputLock::OutputLock() = default;
OutputLock::~OutputLock() = default;
void OutputLock::lock() {
  mutex_.lock();
}
void OutputLock::unlock() {
  mutex_.unlock();
}
bool OutputLock::try_lock_for(std::chrono::milliseconds limit) {
  return mutex_.try_lock_for(limit);
}

#endif

}  // namespace zarn::platform
