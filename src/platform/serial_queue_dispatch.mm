// Serial queue on macOS: a labelled serial dispatch queue. dispatch_sync may run the item on the
// calling thread, as the core expects of a synchronous item.
#import <dispatch/dispatch.h>

#include "platform/serial_queue.h"

namespace zarn::platform {

struct SerialQueue::Impl {
  dispatch_queue_t queue;  // ARC-managed: released with the Impl, kept alive by pending items
};

// No attributes: serial, no quality-of-service class, inherited autorelease frequency.
SerialQueue::SerialQueue(const char* label)
    : impl_(new Impl{dispatch_queue_create(label, DISPATCH_QUEUE_SERIAL)}) {}

SerialQueue::~SerialQueue() {
  delete impl_;
}

void SerialQueue::async(std::function<void()> item) {
  // The block keeps its own copy of the item.
  dispatch_async(impl_->queue, ^{
    @autoreleasepool {
      item();
    }
  });
}

void SerialQueue::syncCall(void (*fn)(void*), void* context) {
  dispatch_sync(impl_->queue, ^{
    fn(context);
  });
}

}  // namespace zarn::platform
