// The service's own versions of the seam's opaque objects.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/float_audio.h"
#include "platform/pipewire/connection.h"

namespace zarn::platform::pipewire {

// What a display, a filter and a stream share: the connection. Which output is recorded is the
// session manager's choice, always the default one; the displays only name the outputs.
struct PipeWireContent final : ShareableContent {
  std::shared_ptr<Connection> connection;
  std::vector<std::string> outputs;  // the default first
};

struct PipeWireDisplay final : Display {
  std::shared_ptr<Connection> connection;
  std::string output;
};

struct PipeWireFilter final : ContentFilter {
  std::shared_ptr<Connection> connection;
};

}  // namespace zarn::platform::pipewire
