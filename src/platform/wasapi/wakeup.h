// The one wake-up the capture thread may make: it tells the delivering thread that audio waits,
// without a lock and without ever blocking. One implementation per system, chosen in CMake.
#pragma once

namespace zarn::platform::wasapi {

class Wakeup {
 public:
  Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  ~Wakeup();

  void signal();  // at most one system call
  void wait();    // returns after a signal; signals given while nobody waits are not lost

 private:
  void* object_;
};

}  // namespace zarn::platform::wasapi
