// Asynchronous tasks and the one-shot hand-over between a platform completion and the task that
// awaits it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

namespace zarn::platform {

// Runs the operation soon on a worker thread of its own; the caller does not wait for it.
void launchTask(std::function<void()> operation);

// A value handed over once from a completion handler to a waiting task. The handler only stores
// the value; the task goes on with it on its own thread.
template <class T>
class Completion {
 public:
  void complete(T value) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (value_) return;  // completions run once; a second call is ignored
    value_.emplace(std::move(value));
    ready_.notify_one();
  }

  // False if the value has not come within the limit.
  bool waitFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(mutex_);
    return ready_.wait_for(hold, limit, [this] { return value_.has_value(); });
  }

  T wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    ready_.wait(hold, [this] { return value_.has_value(); });
    return std::move(*value_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::optional<T> value_;
};

}  // namespace zarn::platform
