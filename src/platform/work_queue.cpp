#include "platform/work_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace zarn::platform {

using Clock = std::chrono::steady_clock;

struct WorkQueue::State {
  explicit State(std::size_t max) : maxWorkers(max == 0 ? 1 : max) {}

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::pair<Clock::time_point, std::function<void()>>> items;
  const std::size_t maxWorkers;
  std::size_t running = 0;  // items running now, a synchronous one included
  std::size_t idle = 0;     // workers waiting for an item
  bool closing = false;
  std::vector<std::thread> workers;

  // Under the lock: the front item may start once it is due and a worker is free for it.
  bool mayStart() const { return !items.empty() && running < maxWorkers; }

  void runWorker() {
    std::unique_lock<std::mutex> hold(mutex);
    for (;;) {
      ++idle;
      while (!closing && !(mayStart() && Clock::now() >= items.front().first)) {
        if (mayStart()) {
          changed.wait_until(hold, items.front().first);
        } else {
          changed.wait(hold);
        }
      }
      --idle;
      if (closing) return;
      std::function<void()> item = std::move(items.front().second);
      items.pop_front();
      ++running;
      hold.unlock();
      item();
      item = nullptr;  // whatever the item holds goes before the lock is taken again
      hold.lock();
      --running;
      changed.notify_all();
    }
  }
};

WorkQueue::WorkQueue(std::size_t maxWorkers) : state_(std::make_shared<State>(maxWorkers)) {}

WorkQueue::~WorkQueue() {
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->closing = true;
    workers = std::move(state_->workers);
  }
  state_->changed.notify_all();
  for (std::thread& worker : workers) {
    if (worker.get_id() == std::this_thread::get_id()) {
      worker.detach();  // its loop holds the state through its own reference and ends there
    } else {
      worker.join();
    }
  }
}

void WorkQueue::async(std::function<void()> item, std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> hold(state_->mutex);
  state_->items.emplace_back(Clock::now() + delay, std::move(item));
  if (state_->idle == 0 && state_->workers.size() < state_->maxWorkers) {
    state_->workers.emplace_back([state = state_] { state->runWorker(); });
  }
  state_->changed.notify_all();
}

void WorkQueue::syncCall(void (*fn)(void*), void* context) {
  std::unique_lock<std::mutex> hold(state_->mutex);
  state_->changed.wait(hold, [this] { return state_->items.empty() && state_->running == 0; });
  ++state_->running;
  hold.unlock();
  fn(context);
  hold.lock();
  --state_->running;
  state_->changed.notify_all();
}

}  // namespace zarn::platform
