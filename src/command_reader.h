// Process start-up and the command reader.
#pragma once

#include "audio_service.h"
#include "platform/serial_queue.h"
#include "sys_audio_capture.h"

namespace zarn {

// Process-wide, created once by start-up in this order after the frame writer's objects, and
// never destroyed, so exit cannot pull them from under a running thread.
inline SysAudioCapture* capture = nullptr;
inline platform::SerialQueue* cmdQueue = nullptr;

// Start-up on the main thread, on the program's capture service, which lives as long as the
// process; does not return in normal operation.
int startUp(AudioService& service);

}  // namespace zarn
