// The capture stream: a PipeWire stream on the default output's monitor, linked by the session
// manager, remade when the default output's format changes or when it stays unlinked.
#pragma once

#include <memory>

#include "audio_service.h"
#include "platform/linux/stream_service.h"
#include "platform/pipewire/connection.h"

namespace zarn::platform::pipewire {

// Delivers to the sink; not started.
std::shared_ptr<linux_audio::CaptureStream> makeMonitorStream(
    std::shared_ptr<Connection> connection, AudioSink& sink);

}  // namespace zarn::platform::pipewire
