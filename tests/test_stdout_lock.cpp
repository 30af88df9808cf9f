// Quit's bound on finishing a frame must follow the time that passes, not the wall clock: this
// binary sees a wall clock an hour ahead of the real one, as after a step back during the wait.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "stdout_lock.h"

extern "C" int clock_gettime(clockid_t clock, timespec* now) {
  const long result = ::syscall(SYS_clock_gettime, clock, now);
  if (result == 0 && clock == CLOCK_REALTIME) now->tv_sec += 3600;
  return static_cast<int>(result);
}

namespace zarn {
namespace {

TEST(StdoutLock, TriesOfAHeldLockEndAfterTheirLimitWhateverTheWallClockSays) {
  StdoutLock lock;
  ASSERT_TRUE(lock.try_lock_for(std::chrono::milliseconds(0)));  // a free lock is taken at once
  // Now held by this thread; the tries below come from another.
  std::thread([&] {
    EXPECT_FALSE(lock.try_lock());  // the real-time writer's try never waits
    for (const auto limit : {std::chrono::milliseconds(0), std::chrono::milliseconds(150)}) {
      const auto began = std::chrono::steady_clock::now();
      EXPECT_FALSE(lock.try_lock_for(limit));
      const auto spent = std::chrono::steady_clock::now() - began;
      EXPECT_GE(spent, limit);
      EXPECT_LT(spent, limit + std::chrono::seconds(2));
    }
  }).join();
  lock.unlock();
}

}  // namespace
}  // namespace zarn
