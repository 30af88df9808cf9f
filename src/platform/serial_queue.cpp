// Serial queue on standard threads: one worker thread, started with the first asynchronous item,
// runs asynchronous items; a synchronous item runs on the caller's thread once every item before
// it has run, so a read of a flag costs a lock hand-off and no thread switch.
#include "platform/serial_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace zarn::platform {

struct SerialQueue::Impl {
  std::mutex mutex;
  std::condition_variable idle;
  std::deque<std::function<void()>> items;
  bool busy = false;  // an item, synchronous or not, is running
  bool closing = false;
  std::thread worker;

  void runWorker() {
    std::unique_lock<std::mutex> hold(mutex);
    for (;;) {
      idle.wait(hold, [this] { return closing || (!items.empty() && !busy); });
      if (closing) return;
      auto item = std::move(items.front());
      items.pop_front();
      busy = true;
      hold.unlock();
      item();
      hold.lock();
      busy = false;
      idle.notify_all();
    }
  }
};

// The label names a dispatch queue on macOS; a thread of our own needs none.
SerialQueue::SerialQueue(const char*) : impl_(new Impl) {}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard<std::mutex> hold(impl_->mutex);
    impl_->closing = true;
  }
  impl_->idle.notify_all();
  if (impl_->worker.joinable()) {
    if (impl_->worker.get_id() == std::this_thread::get_id()) {
      impl_->worker.detach();
      return;  // the running item owns the worker; leave its state alive
    }
    impl_->worker.join();
  }
  delete impl_;
}

void SerialQueue::async(std::function<void()> item) {
  std::lock_guard<std::mutex> hold(impl_->mutex);
  impl_->items.push_back(std::move(item));
  if (!impl_->worker.joinable()) impl_->worker = std::thread([impl = impl_] { impl->runWorker(); });
  impl_->idle.notify_all();
}

void SerialQueue::syncCall(void (*fn)(void*), void* context) {
  std::unique_lock<std::mutex> hold(impl_->mutex);
  impl_->idle.wait(hold, [this] { return impl_->items.empty() && !impl_->busy; });
  impl_->busy = true;
  hold.unlock();
  fn(context);
  hold.lock();
  impl_->busy = false;
  impl_->idle.notify_all();
}

}  // namespace zarn::platform
