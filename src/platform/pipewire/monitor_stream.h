// The capture stream: a PipeWire stream on the default output's monitor, linked by the session
// manager, remade when the default output's format changes or when it stays unlinked.
#pragma once

#include "platform/float_audio.h"
#include "platform/pipewire/connection.h"

namespace zarn::platform::pipewire {

class MonitorStream final : public FloatStream {
 public:
  MonitorStream(std::shared_ptr<Connection> connection, StreamDelegate& delegate);
  ~MonitorStream() override;

  void setAudioOutput(StreamDelegate* output) override;
  void start(CaptureService::ErrorCompletion completion) override;
  void stop(CaptureService::ErrorCompletion completion) override;

  class State;

 private:
  // Everything the callbacks reach. It outlives this object when a delivery is still blocked at
  // its end (see the destructor).
  State* state_;
};

}  // namespace zarn::platform::pipewire
