// The capture stream: a PipeWire stream on the default output's monitor, linked by the session
// manager, remade when the default output's format changes or when it stays unlinked.
#pragma once

#include <memory>

#include "platform/float_audio.h"
#include "platform/pipewire/connection.h"

namespace zarn::platform::pipewire {

std::shared_ptr<FloatStream> makeMonitorStream(std::shared_ptr<Connection> connection,
                                               StreamDelegate& delegate);

}  // namespace zarn::platform::pipewire
