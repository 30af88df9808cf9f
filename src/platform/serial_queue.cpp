// Serial queue on standard threads: the work queue with one worker.
#include "platform/serial_queue.h"

#include <utility>

#include "platform/work_queue.h"

namespace zarn::platform {

struct SerialQueue::Impl {
  WorkQueue queue{1};
};

// The label names a dispatch queue on macOS; a thread of our own needs none.
SerialQueue::SerialQueue(const char*) : impl_(new Impl) {}

SerialQueue::~SerialQueue() {
  delete impl_;
}

void SerialQueue::async(std::function<void()> item) {
  impl_->queue.async(std::move(item));
}

void SerialQueue::syncCall(void (*fn)(void*), void* context) {
  impl_->queue.sync([fn, context] { fn(context); });
}

}  // namespace zarn::platform
