// The one work queue on standard threads: items run in the order they were queued, each not
// before its due time, on worker threads of the queue's own that start as items need them, up
// to a limit. With one worker it is serial, and sync() may run an item on the caller's thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>

namespace zarn::platform {

class WorkQueue {
 public:
  explicit WorkQueue(std::size_t maxWorkers = 1);
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;
  // Ends the workers once their running items return; items not yet begun never run. When an item
  // destroys its own queue, its worker is left to end on its own.
  ~WorkQueue();

  void async(std::function<void()> item,
             std::chrono::milliseconds delay = std::chrono::milliseconds(0));

  // For a queue of one worker: runs the item on the caller's thread once every earlier item has
  // run, and holds later ones until it returns. A read of a flag so costs a lock hand-off and no
  // thread switch. Never from an item of the same queue.
  template <class F>
  void sync(F&& item) {
    using Item = std::remove_reference_t<F>;
    syncCall([](void* p) { (*static_cast<Item*>(p))(); }, &item);
  }

 private:
  void syncCall(void (*fn)(void*), void* context);

  struct State;
  std::shared_ptr<State> state_;  // shared with the workers, which may outlive the queue
};

}  // namespace zarn::platform
