// The service's own versions of the seam's opaque objects.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/capture_service.h"
#include "platform/pipewire/connection.h"

namespace zarn::platform::pipewire {

struct PipeWireError final : Error {
  explicit PipeWireError(std::string text) : text(std::move(text)) {}
  std::string text;
};

inline ErrorPtr makeError(std::string text) {
  return std::make_shared<PipeWireError>(std::move(text));
}

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

struct PipeWireFormat final : FormatDescription {
  double rate = 0;
};

// One mono piece, borrowed until the delivery returns.
struct PipeWireSampleBuffer final : SampleBuffer {
  const float* data = nullptr;
  std::size_t size = 0;  // bytes
  PipeWireFormat format;
};

}  // namespace zarn::platform::pipewire
