// The service's own versions of the seam's opaque objects.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/capture_service.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/outputs.h"

namespace zarn::platform::pulse {

struct PulseError final : Error {
  explicit PulseError(std::string text) : text(std::move(text)) {}
  std::string text;
};

inline ErrorPtr makeError(std::string text) {
  return std::make_shared<PulseError>(std::move(text));
}

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

// The format of a delivered fragment: the record stream's own sample format.
struct PulseFormat final : FormatDescription {
  double rate = 0;
  std::uint32_t channels = 0;
};

// One fragment, borrowed from the record stream until the delivery returns. A hole in the
// stream has no data.
struct PulseSampleBuffer final : SampleBuffer {
  const void* data = nullptr;
  std::size_t size = 0;
  PulseFormat format;
};

}  // namespace zarn::platform::pulse
