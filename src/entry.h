// Process start-up and the command reader.
#pragma once

#include "capture_object.h"
#include "platform/serial_queue.h"

namespace zarn {

// Process-wide, created once by start-up in this order after the frame writer's objects, and
// never destroyed, so exit cannot pull them from under a running thread.
inline SysAudioCapture* capture = nullptr;
inline platform::SerialQueue* cmdQueue = nullptr;

// Start-up on the main thread; does not return in normal operation.
int startUp();

}  // namespace zarn
