// The service's own versions of the seam's opaque objects.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/float_audio.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/outputs.h"

namespace zarn::platform::pulse {

struct PulseContent final : ShareableContent {
  std::shared_ptr<Connection> connection;
  std::vector<Output> outputs;  // recordable, the default first
};

struct PulseDisplay final : Display {
  std::shared_ptr<Connection> connection;
  Output output;
};

struct PulseFilter final : ContentFilter {
  std::shared_ptr<Connection> connection;
  Output output;
};

}  // namespace zarn::platform::pulse
