#include <windows.h>

#include "platform/wasapi/wakeup.h"

namespace zarn::platform::wasapi {

// An auto-reset event: SetEvent is one call, and a set event lets exactly one wait through.
Wakeup::Wakeup() : object_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

Wakeup::~Wakeup() {
  CloseHandle(object_);
}

void Wakeup::signal() {
  SetEvent(object_);
}

void Wakeup::wait() {
  WaitForSingleObject(object_, INFINITE);
}

}  // namespace zarn::platform::wasapi
