// A labelled serial queue: work items run one at a time, in the order they were submitted, never
// on the main thread. A synchronous item may run on the caller's thread once the queue is idle, as
// a dispatch queue does; it must never be submitted from an item already running on this queue.
#pragma once

#include <functional>
#include <type_traits>

namespace zarn::platform {

class SerialQueue {
 public:
  explicit SerialQueue(const char* label);
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;
  ~SerialQueue();

  // Runs the item and returns when it has run.
  template <class F>
  void sync(F&& item) {
    using Item = std::remove_reference_t<F>;
    syncCall([](void* p) { (*static_cast<Item*>(p))(); }, &item);
  }

  // Queues the item and returns at once.
  void async(std::function<void()> item);

 private:
  void syncCall(void (*fn)(void*), void* context);

  struct Impl;
  Impl* impl_;
};

}  // namespace zarn::platform
