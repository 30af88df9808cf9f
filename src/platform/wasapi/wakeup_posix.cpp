// For building and testing the service on Linux: a semaphore, posted without a lock.
#include <semaphore>

#include "platform/wasapi/wakeup.h"

namespace zarn::platform::wasapi {
namespace {

using Semaphore = std::counting_semaphore<>;

}  // namespace

Wakeup::Wakeup() : object_(new Semaphore(0)) {}

Wakeup::~Wakeup() {
  delete static_cast<Semaphore*>(object_);
}

void Wakeup::signal() {
  static_cast<Semaphore*>(object_)->release();
}

void Wakeup::wait() {
  static_cast<Semaphore*>(object_)->acquire();
}

}  // namespace zarn::platform::wasapi
